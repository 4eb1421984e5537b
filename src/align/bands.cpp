// Keeps the seam bands of a tile as its rows stream past, and reduces grids by block averaging.
#include "align/bands.hpp"

#include <algorithm>

namespace orvane::align {

namespace {

template <class T> plane reduce_grid(const grid<T>& source, int factor)
{
    plane out(source.width / factor, source.height / factor);
    const float scale = 1.0f / static_cast<float>(factor * factor);
    std::vector<float> sums(static_cast<std::size_t>(out.width));
    for (int y = 0; y < out.height; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (int dy = 0; dy < factor; ++dy) {
            const T* in = source.row(y * factor + dy);
            for (int x = 0; x < out.width; ++x)
                for (int dx = 0; dx < factor; ++dx)
                    sums[static_cast<std::size_t>(x)] += static_cast<float>(in[x * factor + dx]);
        }
        float* row = out.row(y);
        for (int x = 0; x < out.width; ++x)
            row[x] = sums[static_cast<std::size_t>(x)] * scale;
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
    requests_.push_back({side, columns, std::max(1, factor), into, nullptr, {}});
}

void band_keeper::want(band_side side, int columns, pixels* into)
{
    requests_.push_back({side, columns, 1, nullptr, into, {}});
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
        r.sums.assign(static_cast<std::size_t>(r.columns / r.factor), 0.0f);
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
    float* sums = r.sums.data();
    const int blocks = r.columns / f;
    for (int b = 0; b < blocks; ++b) {
        const std::uint16_t* block = first - b * f;
        std::uint32_t sum = 0;
        for (int c = 0; c < f; ++c)
            sum += block[-c];
        sums[b] += static_cast<float>(sum);
    }
    if ((static_cast<int>(y) + 1) % f != 0)
        return;
    const float scale = 1.0f / static_cast<float>(f * f);
    float* out = r.reduced->row(out_row);
    for (std::size_t c = 0; c < r.sums.size(); ++c) {
        out[c] = r.sums[c] * scale;
        r.sums[c] = 0.0f;
    }
}

}  // namespace orvane::align
