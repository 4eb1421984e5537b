// The loops over a row's pixels where a seamless slice spends its drawing time:
// a tile's row scaled by its gain, and two tiles' rows blended across a seam.
#pragma once

#include <cstdint>

namespace orvane::seam_detail {

// out[i] = in[base - i] * gain, rounded, for i in [begin, end).
void copy_scaled(std::uint16_t* out, const std::uint16_t* in, std::int64_t base, std::int64_t begin,
                 std::int64_t end, float gain);

// out[i] the mean of in_l[base_l - i] * gain_l and in_r[base_r - i] * gain_r
// weighted by w[i - begin] (the right tile's share), rounded, for i in [begin, end).
void blend_scaled(std::uint16_t* out, const std::uint16_t* in_l, std::int64_t base_l, float gain_l,
                  const std::uint16_t* in_r, std::int64_t base_r, float gain_r, const float* w,
                  std::int64_t begin, std::int64_t end);

}  // namespace orvane::seam_detail
