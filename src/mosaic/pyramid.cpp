// Halving a plane for the level below, and the sizes of the levels.
#include "mosaic/pyramid.hpp"

#include "base/parallel.hpp"

#include <algorithm>
#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace orvane {

std::vector<plane_size> pyramid_sizes(plane_size full, std::int64_t max_side)
{
    max_side = std::max<std::int64_t>(max_side, 1);
    std::vector<plane_size> sizes{full};
    while (sizes.back().width > max_side || sizes.back().height > max_side)
        sizes.push_back(half_size(sizes.back()));
    return sizes;
}

std::vector<pyramid_level> volume_pyramid(std::int64_t depth, plane_size full,
                                          const std::optional<voxel_size>& voxel,
                                          std::int64_t max_side)
{
    max_side = std::max<std::int64_t>(max_side, 1);
    std::vector<pyramid_level> levels{{depth, full, 0}};
    const auto largest = [&](const pyramid_level& level) {
        const std::int64_t plane = std::max(level.plane.width, level.plane.height);
        return voxel ? std::max(plane, level.depth) : plane;
    };
    while (largest(levels.back()) > max_side) {
        const pyramid_level& last = levels.back();
        const auto l = static_cast<double>(levels.size() - 1);
        // The last level's slice spacing and pixel width, as multiples of
        // the first level's: z_l = Z 2^kz, x_l = X 2^l.
        const bool halves_z =
            voxel && voxel->z * std::exp2(last.z_halvings) < 2 * voxel->x * std::exp2(l);
        pyramid_level next{halves_z ? (last.depth + 1) / 2 : last.depth, half_size(last.plane),
                           last.z_halvings + (halves_z ? 1 : 0)};
        if (next.depth == last.depth && next.plane.width == last.plane.width &&
            next.plane.height == last.plane.height)
            break;  // no axis halves any more
        levels.push_back(next);
    }
    return levels;
}

void sum_quads(const std::uint16_t* in, plane_size size, std::uint32_t* out, int threads)
{
    const plane_size half = half_size(size);
    parallel_for(half.height, threads, loop_schedule::blocks, [&](std::int64_t y) {
        const std::uint16_t* top = in + 2 * y * size.width;
        const std::uint16_t* bottom = 2 * y + 1 < size.height ? top + size.width : nullptr;
        std::uint32_t* row = out + y * half.width;
        for (std::int64_t x = 0; x < half.width; ++x) {
            const std::int64_t left = 2 * x, right = 2 * x + 1 < size.width ? 2 * x + 1 : -1;
            std::uint32_t sum = top[left] + (right >= 0 ? top[right] : 0u);
            if (bottom)
                sum += bottom[left] + (right >= 0 ? bottom[right] : 0u);
            row[x] = sum;
        }
    });
}

namespace {

// One output row from input rows `top` and `bottom` (the same row at an odd
// bottom edge, then counted once).
void halve_row(const std::uint16_t* top, const std::uint16_t* bottom, std::int64_t width,
               std::uint16_t* out)
{
    const std::int64_t pairs = width / 2;
    if (top != bottom) {
        std::int64_t x = 0;
#ifdef __SSE2__
        // Eight outputs at a time. _mm_madd_epi16 adds neighbours into 32
        // bits but reads its lanes as signed, so the samples are moved down
        // by 32768 first and the four sums' 131072 added back; the results
        // are moved down again to fit the signed pack and up after it.
        const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
        const __m128i ones = _mm_set1_epi16(1);
        const __m128i round = _mm_set1_epi32(131072 + 2);
        const __m128i half = _mm_set1_epi32(32768);
        const auto pair_sums = [&](const std::uint16_t* at) {
            return _mm_madd_epi16(
                _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), bias), ones);
        };
        for (; x + 8 <= pairs; x += 8) {
            const __m128i low = _mm_srai_epi32(
                _mm_add_epi32(_mm_add_epi32(pair_sums(top + 2 * x), pair_sums(bottom + 2 * x)),
                              round),
                2);
            const __m128i high =
                _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(pair_sums(top + 2 * x + 8),
                                                           pair_sums(bottom + 2 * x + 8)),
                                             round),
                               2);
            const __m128i packed =
                _mm_packs_epi32(_mm_sub_epi32(low, half), _mm_sub_epi32(high, half));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_xor_si128(packed, bias));
        }
#endif
        for (; x < pairs; ++x) {
            const std::uint32_t sum =
                std::uint32_t{top[2 * x]} + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1];
            out[x] = static_cast<std::uint16_t>((sum + 2) / 4);
        }
        if (width % 2 != 0)
            out[pairs] = static_cast<std::uint16_t>(
                (std::uint32_t{top[width - 1]} + bottom[width - 1] + 1) / 2);
        return;
    }
    for (std::int64_t x = 0; x < pairs; ++x)
        out[x] = static_cast<std::uint16_t>((std::uint32_t{top[2 * x]} + top[2 * x + 1] + 1) / 2);
    if (width % 2 != 0)
        out[pairs] = top[width - 1];
}

}  // namespace

void halve_plane(const std::uint16_t* in, plane_size size, std::uint16_t* out, int threads)
{
    const plane_size half = half_size(size);
    parallel_for(half.height, threads, loop_schedule::blocks, [&](std::int64_t y) {
        const std::uint16_t* top = in + 2 * y * size.width;
        const std::uint16_t* bottom = 2 * y + 1 < size.height ? top + size.width : top;
        halve_row(top, bottom, size.width, out + y * half.width);
    });
}

}  // namespace orvane
