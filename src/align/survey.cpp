// The two reading passes of each slice and the parallel loop over slices.
#include "align/survey.hpp"

#include "align/bands.hpp"
#include "align/consensus.hpp"
#include "align/sensor_correction.hpp"
#include "align/tiles.hpp"
#include "base/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>

namespace orvane::align {

namespace {

// What one slice gives: an alignment per pair where both tiles compare.
struct slice_outcome {
    std::vector<std::optional<alignment>> pairs;
    std::vector<size_mismatch> mismatches;
};

class size_only : public row_consumer {
public:
    void begin(std::uint32_t w, std::uint32_t h) override
    {
        width = w;
        height = h;
    }
    void rows(std::uint32_t, std::uint32_t, const std::uint16_t*) override {}
    std::uint32_t width = 0, height = 0;
};

class slice_survey {
public:
    slice_survey(const survey_input& input, const sensor_pattern& pattern, std::int32_t slice_index)
        : in_(input), pattern_(pattern), slice_(slice_index), columns_(input.tiles->columns()),
          reference_(input.tiles->reference()),
          band_(std::min<int>(input.limits.max_overlap, static_cast<int>(reference_.width))),
          factor_(coarse_factor(band_, static_cast<int>(reference_.height)))
    {
        band_ -= band_ % factor_;
    }

    slice_outcome run()
    {
        out_.pairs.resize(static_cast<std::size_t>(std::max(0, columns_ - 1)));
        coarse_pass();
        refine_pass();
        return std::move(out_);
    }

private:
    const std::string& name_of(int column) const { return in_.tiles->tile_name(column, slice_); }

    // Reads a tile into the keeper; false when its size is not the reference's.
    bool read(int column, band_keeper& keeper)
    {
        const std::string& name = name_of(column);
        sensor_corrected_rows sensor(pattern_, keeper);
        row_consumer& after_field = pattern_.corrects_anything()
                                        ? static_cast<row_consumer&>(sensor)
                                        : static_cast<row_consumer&>(keeper);
        if (in_.field) {
            flat_corrected_rows corrected(*in_.field, after_field);
            read_tile_rows(name, corrected);
        } else {
            read_tile_rows(name, after_field);
        }
        if (keeper.size_matches())
            return true;
        out_.mismatches.push_back({name, slice_, keeper.width(), keeper.height()});
        return false;
    }

    void coarse_pass()
    {
        const auto n = static_cast<std::size_t>(columns_);
        std::vector<plane> right(n), left(n);
        std::vector<bool> usable(n);
        for (int j = 0; j < columns_; ++j) {
            band_keeper keeper(reference_.width, reference_.height);
            if (j + 1 < columns_)
                keeper.want(band_side::right, band_, factor_, &right[static_cast<std::size_t>(j)]);
            if (j > 0)
                keeper.want(band_side::left, band_, factor_, &left[static_cast<std::size_t>(j)]);
            usable[static_cast<std::size_t>(j)] = read(j, keeper);
        }
        candidates_.resize(out_.pairs.size());
        window_.resize(out_.pairs.size());
        for (std::size_t p = 0; p < out_.pairs.size(); ++p) {
            if (!usable[p] || !usable[p + 1])
                continue;
            candidates_[p] =
                coarse_candidates(std::move(right[p]), std::move(left[p + 1]), factor_, in_.limits);
            window_[p] =
                refine_columns(candidates_[p], factor_, static_cast<int>(reference_.width));
            if (candidates_[p].empty())
                out_.pairs[p] = alignment{};  // compared, nothing found
        }
    }

    void refine_pass()
    {
        pixels previous_right;
        for (int j = 0; j < columns_; ++j) {
            const auto p = static_cast<std::size_t>(j);
            const bool with_left = j > 0 && !candidates_[p - 1].empty();
            const bool with_right = j + 1 < columns_ && !candidates_[p].empty();
            pixels left, right;
            if (with_left || with_right) {
                band_keeper keeper(reference_.width, reference_.height);
                if (with_left)
                    keeper.want(band_side::left, window_[p - 1], &left);
                if (with_right)
                    keeper.want(band_side::right, window_[p], &right);
                read(j, keeper);
            }
            if (with_left)
                out_.pairs[p - 1] = refine(std::move(previous_right), std::move(left),
                                           candidates_[p - 1], factor_, in_.limits);
            previous_right = std::move(right);
        }
    }

    const survey_input& in_;
    const sensor_pattern& pattern_;
    std::int32_t slice_;
    int columns_;
    tile_size reference_;
    int band_;
    int factor_;
    std::vector<std::vector<candidate>> candidates_;
    std::vector<int> window_;
    slice_outcome out_;
};

// The fall-off rendered as the two bands of a pair would show it: the left
// tile's right band is the file's first columns read backwards, the right
// tile's left band its last ones.
struct sensor_bands {
    pixels right_of_left, left_of_right;
};

sensor_bands render_sensor(const sensor_pattern& pattern, const search_limits& limits)
{
    const int width = static_cast<int>(pattern.width), height = static_cast<int>(pattern.height);
    const int band = std::min(limits.max_overlap, width);
    double highest = 0.0;
    for (int y = 0; y < height; y += std::max(1, height / 64))
        for (int x = 0; x < width; x += std::max(1, width / 64))
            highest = std::max(highest, pattern.gain_at(x, y));
    sensor_bands bands{pixels(band, height), pixels(band, height)};
    for (int y = 0; y < height; ++y)
        for (int c = 0; c < band; ++c) {
            auto level = [&](int x) {
                return static_cast<std::uint16_t>(
                    std::lround(30000.0 * std::max(0.0, pattern.gain_at(x, y)) / highest));
            };
            bands.right_of_left.row(y)[c] = level(band - 1 - c);
            bands.left_of_right.row(y)[c] = level(width - 1 - c);
        }
    return bands;
}

// Leaves out the slices that scored where the sensor's fall-off meets
// itself nearly as well as it does at best: a smooth fall-off meets itself
// along a broad ridge, not at one place.
void leave_out_sensor_matches(survey_result& result, const search_limits& limits)
{
    result.explained.assign(result.by_pair.size(), 0);
    if (!result.pattern.fitted || result.pattern.variation < sensor_match_variation)
        return;
    const sensor_bands bands = render_sensor(result.pattern, limits);
    result.sensor_place = estimate_pair(bands.right_of_left, bands.left_of_right, limits);
    const alignment& place = result.sensor_place;
    if (!place.found)
        return;
    for (std::size_t p = 0; p < result.by_pair.size(); ++p) {
        std::vector<alignment>& slices = result.by_pair[p];
        const auto kept = std::remove_if(slices.begin(), slices.end(), [&](const alignment& a) {
            return a.found && a.score >= min_score &&
                   overlap_ncc(bands.right_of_left, bands.left_of_right, a.overlap, a.shift) >=
                       place.score - sensor_match_margin;
        });
        result.explained[p] = static_cast<int>(slices.end() - kept);
        slices.erase(kept, slices.end());
    }
}

}  // namespace

tile_size read_tile_size(const std::string& name)
{
    size_only size;
    read_tile_rows(name, size);
    return {size.width, size.height};
}

namespace {

// Hands each row to two consumers.
class both_rows : public row_consumer {
public:
    both_rows(row_consumer& first, row_consumer& second) : first_(first), second_(second) {}
    void begin(std::uint32_t width, std::uint32_t height) override
    {
        first_.begin(width, height);
        second_.begin(width, height);
    }
    void rows(std::uint32_t y0, std::uint32_t count, const std::uint16_t* values) override
    {
        first_.rows(y0, count, values);
        second_.rows(y0, count, values);
    }

private:
    row_consumer& first_;
    row_consumer& second_;
};

// Every tile of the chosen slices, one estimator per slice, merged in order.
// With a flat field, the dead lines are found in the tiles as read, where
// they hold one value, and the fall-off in the corrected tiles: what the
// field leaves of the shading (the dark field's share included, which a
// fall-off fitted to the tiles as read would divide wrongly).
sensor_pattern estimate_sensor_pattern(const survey_input& input)
{
    const auto count = static_cast<std::size_t>(input.slices.size());
    const tile_size reference = input.tiles->reference();
    const sensor_pattern_estimator empty(reference.width, reference.height);
    std::vector<sensor_pattern_estimator> as_read(count, empty), corrected(count, empty);
    parallel_for(static_cast<std::int64_t>(count), omp_get_max_threads(), loop_schedule::one_by_one,
                 [&](std::int64_t i) {
                     const auto k = static_cast<std::size_t>(i);
                     for (int j = 0; j < input.tiles->columns(); ++j) {
                         const std::string& name = input.tiles->tile_name(j, input.slices[k]);
                         if (!input.field) {
                             read_tile_rows(name, as_read[k]);
                             continue;
                         }
                         flat_corrected_rows field(*input.field, corrected[k]);
                         both_rows both(as_read[k], field);
                         read_tile_rows(name, both);
                     }
                 });
    sensor_pattern_estimator all = empty, all_corrected = empty;
    for (std::size_t k = 0; k < count; ++k) {
        all.merge(as_read[k]);
        all_corrected.merge(corrected[k]);
    }
    sensor_pattern pattern = all.finish();
    if (input.field) {
        const sensor_pattern left = all_corrected.finish();
        pattern.fitted = left.fitted;
        pattern.shaded = left.shaded;
        pattern.variation = left.variation;
        pattern.gain = left.gain;
    }
    return pattern;
}

}  // namespace

survey_result survey_pairs(const survey_input& input)
{
    const sensor_pattern pattern = estimate_sensor_pattern(input);
    const auto count = static_cast<int>(input.slices.size());
    std::vector<slice_outcome> outcomes(static_cast<std::size_t>(count));
    parallel_for(count, omp_get_max_threads(), loop_schedule::one_by_one, [&](std::int64_t i) {
        outcomes[static_cast<std::size_t>(i)] =
            slice_survey(input, pattern, input.slices[static_cast<std::size_t>(i)]).run();
    });

    survey_result result;
    result.by_pair.resize(static_cast<std::size_t>(std::max(0, input.tiles->columns() - 1)));
    for (slice_outcome& o : outcomes) {
        for (std::size_t p = 0; p < o.pairs.size(); ++p)
            if (o.pairs[p])
                result.by_pair[p].push_back(*o.pairs[p]);
        result.mismatches.insert(result.mismatches.end(), o.mismatches.begin(), o.mismatches.end());
    }
    result.pattern = pattern;
    leave_out_sensor_matches(result, input.limits);
    return result;
}

}  // namespace orvane::align
