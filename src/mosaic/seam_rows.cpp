// The loops over a row's pixels where a seamless slice spends its drawing time.
#include "mosaic/seam_rows.hpp"

#include "base/avx2_clones.hpp"

#include <algorithm>

namespace orvane::seam_detail {

namespace {

inline std::uint16_t rounded(float v)
{
    // v >= 0 (the values and the weights are): rounded half up and clamped
    // to 65535 without a branch, so the loops that call it run on vectors.
    return static_cast<std::uint16_t>(static_cast<std::int32_t>(std::min(v + 0.5f, 65535.0f)));
}

}  // namespace

// out[i] = in[base - i] * gain, rounded, for i in [begin, end).
ORVANE_AVX2_CLONES
void copy_scaled(std::uint16_t* out, const std::uint16_t* in, std::int64_t base, std::int64_t begin,
                 std::int64_t end, float gain)
{
#pragma omp simd
    for (std::int64_t i = begin; i < end; ++i)
        out[i] = rounded(static_cast<float>(in[base - i]) * gain);
}

// out[i] the mean of in_l[base_l - i] * gain_l and in_r[base_r - i] * gain_r
// weighted by w[i - begin] (the right tile's share), rounded, for i in [begin, end).
ORVANE_AVX2_CLONES
void blend_scaled(std::uint16_t* out, const std::uint16_t* in_l, std::int64_t base_l, float gain_l,
                  const std::uint16_t* in_r, std::int64_t base_r, float gain_r, const float* w,
                  std::int64_t begin, std::int64_t end)
{
#pragma omp simd
    for (std::int64_t i = begin; i < end; ++i) {
        const float vl = static_cast<float>(in_l[base_l - i]) * gain_l;
        const float vr = static_cast<float>(in_r[base_r - i]) * gain_r;
        out[i] = rounded(vl + (vr - vl) * w[i - begin]);
    }
}

}  // namespace orvane::seam_detail
