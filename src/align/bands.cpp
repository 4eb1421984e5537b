// Keeps the seam bands of a tile as its rows stream past, and reduces grids by block averaging.
#include "align/bands.hpp"

#include <algorithm>
#include <cstdint>

namespace orvane::align {

namespace {

plane reduce_grid(const plane& source, int factor)
{
    plane out(source.width / factor, source.height / factor);
    const float scale = 1.0f / static_cast<float>(factor * factor);
    std::vector<float> sums(static_cast<std::size_t>(out.width));
    for (int y = 0; y < out.height; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (int dy = 0; dy < factor; ++dy) {
            const float* in = source.row(y * factor + dy);
            for (int x = 0; x < out.width; ++x)
                for (int dx = 0; dx < factor; ++dx)
                    sums[static_cast<std::size_t>(x)] += in[x * factor + dx];
        }
        float* row = out.row(y);
        for (int x = 0; x < out.width; ++x)
            row[x] = sums[static_cast<std::size_t>(x)] * scale;
    }
    return out;
}

// The means of the blocks of a block row of 16-bit values, from the sums
// down its columns (in file order, `blocks * factor` of them): block b's
// mean goes to out[b], or with `reversed` to out[blocks - 1 - b]. The sums
// are exact integers. A power-of-two factor is halved pass by pass, each
// pass adding neighbouring sums in vector lanes into `spare` (a buffer as
// large as `sums`, which the passes swap with it), as long as a block's sum
// fits 32 bits.
void block_means(std::vector<std::uint32_t>& sums, std::vector<std::uint32_t>& spare, int blocks,
                 int factor, bool reversed, float* out)
{
    const float scale = 1.0f / (static_cast<float>(factor) * static_cast<float>(factor));
    auto put = [&](int b, std::uint64_t sum) {
        out[reversed ? blocks - 1 - b : b] = static_cast<float>(sum) * scale;
    };
    if ((factor & (factor - 1)) != 0 || factor > 256) {
        for (int b = 0; b < blocks; ++b) {
            std::uint64_t sum = 0;
            for (int c = 0; c < factor; ++c)
                sum += sums[static_cast<std::size_t>(b) * factor + c];
            put(b, sum);
        }
        return;
    }
    for (int n = blocks * factor; n > blocks; n /= 2) {
        const std::uint32_t* in = sums.data();
        std::uint32_t* halved = spare.data();
        const int half = n / 2;
#pragma omp simd
        for (int i = 0; i < half; ++i)
            halved[i] = in[2 * i] + in[2 * i + 1];
        sums.swap(spare);
    }
    for (int b = 0; b < blocks; ++b)
        put(b, sums[static_cast<std::size_t>(b)]);
}

// 16-bit values are summed as integers, exactly: first down each column of
// a block row, in vector lanes, then across each block.
plane reduce_grid(const pixels& source, int factor)
{
    plane out(source.width / factor, source.height / factor);
    const auto columns = static_cast<std::size_t>(out.width) * factor;
    std::vector<std::uint32_t> sums(columns), spare(columns);
    for (int y = 0; y < out.height; ++y) {
        std::fill(sums.begin(), sums.end(), 0u);
        std::uint32_t* column = sums.data();
        for (int dy = 0; dy < factor; ++dy) {
            const std::uint16_t* in = source.row(y * factor + dy);
#pragma omp simd
            for (std::size_t x = 0; x < columns; ++x)
                column[x] += in[x];
        }
        block_means(sums, spare, out.width, factor, false, out.row(y));
    }
    return out;
}

}  // namespace

plane reduce(const pixels& source, int factor) { return reduce_grid(source, factor); }
plane reduce(const plane& source, int factor) { return reduce_grid(source, factor); }

band_keeper::band_keeper(std::uint32_t expected_width, std::uint32_t expected_height)
    : expected_width_(expected_width), expected_height_(expected_height)
{
}

void band_keeper::want(band_side side, int columns, int factor, plane* into)
{
    requests_.push_back({side, columns, std::max(1, factor), into, nullptr, {}, {}});
}

void band_keeper::want(band_side side, int columns, pixels* into)
{
    requests_.push_back({side, columns, 1, nullptr, into, {}, {}});
}

void band_keeper::begin(std::uint32_t width, std::uint32_t height)
{
    width_ = width;
    height_ = height;
    matches_ = width == expected_width_ && height == expected_height_;
    for (request& r : requests_) {
        if (!matches_) {
            r.columns = 0;
            if (r.reduced)
                *r.reduced = plane();
            if (r.full)
                *r.full = pixels();
            continue;
        }
        r.columns = std::min(r.columns, static_cast<int>(width));
        r.columns -= r.columns % r.factor;
        const int rows = static_cast<int>(height) / r.factor;
        if (r.reduced)
            *r.reduced = plane(r.columns / r.factor, rows);
        if (r.full)
            *r.full = pixels(r.columns, rows);
        r.sums.assign(r.full ? 0 : static_cast<std::size_t>(r.columns), 0u);
        r.spare.assign(r.sums.size(), 0u);
    }
}

void band_keeper::rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values)
{
    if (!matches_)
        return;
    for (std::uint32_t i = 0; i < count; ++i)
        for (request& r : requests_)
            take_row(r, y0 + i, values + std::size_t{i} * width_);
}

void band_keeper::take_row(request& r, std::uint32_t y, const std::uint16_t* row)
{
    const int f = r.factor;
    const int out_row = static_cast<int>(y) / f;
    if (r.columns == 0 || out_row >= static_cast<int>(height_) / f)
        return;
    // The flipped tile's column c is the file's column width - 1 - c: its
    // right band is the file's first columns, read backwards.
    const std::uint16_t* first =
        r.side == band_side::right ? row + r.columns - 1 : row + width_ - 1;
    if (r.full) {
        std::uint16_t* out = r.full->row(out_row);
        for (int c = 0; c < r.columns; ++c)
            out[c] = first[-c];
        return;
    }
    // The band's file columns, summed down the block row in file order.
    const std::uint16_t* in = first - (r.columns - 1);
    std::uint32_t* sums = r.sums.data();
    const int columns = r.columns;
#pragma omp simd
    for (int x = 0; x < columns; ++x)
        sums[x] += in[x];
    if ((static_cast<int>(y) + 1) % f != 0)
        return;
    // Flipped block b holds flipped columns b * f ... b * f + f - 1: file
    // order reversed, block by block.
    block_means(r.sums, r.spare, columns / f, f, true, r.reduced->row(out_row));
    std::fill(r.sums.begin(), r.sums.end(), 0u);
}

}  // namespace orvane::align
