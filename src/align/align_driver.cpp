// The orvane-align entry: options, the checks of the list, the survey and fit, the preview.
#include "align/align_driver.hpp"

#include "align/align_report.hpp"
#include "align/consensus.hpp"
#include "align/preview.hpp"
#include "align/survey.hpp"
#include "align/tiles.hpp"
#include "base/error.hpp"
#include "base/version.hpp"
#include "compat/library_conventions.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <iostream>
#include <optional>

namespace orvane::align {

namespace {

const char* const program = "orvane-align";

const char* const usage_text =
    "usage: orvane-align -i list.txt -s splitnumber [-k SLICE...] [--max-overlap PX]\n"
    "                    [--max-shift PX] [--preview FILE.png] [-x X -y Y]\n"
    "                    [--flat-field auto|FILE]\n"
    "Finds the -x and -y with which orvane's seams meet: for each pair of\n"
    "neighbouring tile columns, over several slices, the overlap in pixel columns\n"
    "and the vertical shift that best align the flipped tiles.\n"
    "  -i, -s           the list file and the number of tile columns, as for orvane\n"
    "  -k SLICE...      the slices to look at (default: up to 8 spread through the stack)\n"
    "  --max-overlap PX the widest overlap searched (default: half the tile width)\n"
    "  --max-shift PX   the largest shift searched, up or down (default: a quarter\n"
    "                   of the tile height)\n"
    "  --preview FILE   also write one slice (the first -k, else the middle one)\n"
    "                   stitched, at most 2048 pixels wide, seams marked, as PNG\n"
    "  -x X -y Y        with --preview: stitch the preview with these, estimate nothing\n"
    "  --flat-field auto|FILE\n"
    "                   correct every tile by a flat field before it is matched, as\n"
    "                   orvane --flat-field does: auto estimates it from the tiles\n"
    "                   (placed by a first estimate, or by -x and -y), FILE reads one\n"
    "                   (a measured one, or the flatfield.tif orvane wrote); the\n"
    "                   preview is then corrected and blended over the whole overlap\n"
    "  -h, --help       print this help and exit\n"
    "  --version        print the version and exit\n"
    "exit status: 0 estimate printed, 1 misuse, 2 the list, a tile, the flat field\n"
    "file or the preview failed, 3 no pair of columns could be aligned (or every\n"
    "one was ambiguous)\n";

constexpr std::uint32_t preview_width = 2048;

// What ends a run short of an estimate without any failure to read or
// write: misuse (status 1) or nothing to estimate from (status 3). Thrown
// where it is found, reported by the driver.
error refusal(std::string why) { return error(failure_kind::usage, "", std::move(why)); }
error no_estimate(std::string why) { return error(failure_kind::no_result, "", std::move(why)); }

// Everything one run works from, once the options and the list are checked.
struct run_plan {
    align_options options;
    acquisition tiles;                // the list's first tile gives the reference size
    std::optional<flat_field> field;  // --flat-field, once read or estimated
};

// The preview is written under a temporary name and renamed into place, so
// a run that fails leaves no half-written picture under the name asked for.
void write_preview(const run_plan& plan, std::int32_t xoverlap, std::int32_t yoffset)
{
    const align_options& o = plan.options;
    const std::int32_t slice = o.slices.empty() ? plan.tiles.slice_count() / 2 : o.slices.front();
    const mosaic_layout layout(plan.tiles, xoverlap, yoffset);
    const reduced_mosaic mosaic = stitch_reduced(plan.tiles, layout, slice, preview_width,
                                                 plan.field ? &*plan.field : nullptr);
    const std::int32_t factor = mosaic.factor;
    std::vector<std::uint32_t> seams;
    for (std::int32_t j = 1; j < layout.columns(); ++j)
        seams.push_back(static_cast<std::uint32_t>(layout.place(j) / factor));
    output_file file(o.preview_path);
    try {
        write_png(file.temp_path(), render_preview(mosaic.image, seams));
        file.commit();
    } catch (const std::exception& e) {
        throw preview_error("cannot write the preview '" + o.preview_path + "': " + e.what());
    }
    std::cout << "preview: " << o.preview_path << " (slice " << slice << ", -x " << xoverlap
              << " -y " << yoffset << ", reduced by " << factor
              << (plan.field ? ", flat field corrected, seams blended" : "") << ")\n"
              << std::flush;
}

search_limits limits_for(const run_plan& plan)
{
    search_limits limits;
    const int width = static_cast<int>(plan.tiles.reference().width);
    const int height = static_cast<int>(plan.tiles.reference().height);
    limits.max_overlap = plan.options.max_overlap.value_or(width / 2);
    limits.max_shift = plan.options.max_shift.value_or(height / 4);
    if (limits.max_overlap > width) {
        warn("--max-overlap " + std::to_string(limits.max_overlap) + " is wider than the tiles (" +
             std::to_string(width) + "): searching up to " + std::to_string(width));
        limits.max_overlap = width;
    }
    // At least half the rows must overlap for a shift to be judged at all.
    if (limits.max_shift > height / 2) {
        warn("--max-shift " + std::to_string(limits.max_shift) + " is more than half the tile " +
             "height: searching up to " + std::to_string(height / 2));
        limits.max_shift = height / 2;
    }
    if (limits.max_overlap < limits.min_overlap)
        throw no_estimate(
            "tiles " + std::to_string(width) +
            " pixels wide are too narrow to align: " + "the search takes overlaps of " +
            std::to_string(limits.min_overlap) + " columns or more" +
            (plan.options.max_overlap ? "" : ", and by default up to half the width"));
    return limits;
}

// The pairs' estimates from the slices' alignments, reported nowhere; a
// pair whose tiles overlap over their whole width has none.
std::vector<pair_estimate> quiet_pairs(const survey_result& survey, tile_size reference)
{
    std::vector<pair_estimate> pairs;
    for (const std::vector<alignment>& slices : survey.by_pair) {
        pairs.push_back(combine_slices(slices));
        if (pairs.back().overlap >= static_cast<int>(reference.width))
            pairs.back().found = false;
    }
    return pairs;
}

// --flat-field auto: the estimate of the field compares the overlaps, so it
// needs their places; a first survey of the tiles as read gives them. Where
// it gives none the stitcher could use, the tiles are matched as read.
void estimate_field(run_plan& plan, survey_input& input)
{
    const tile_size reference = plan.tiles.reference();
    const survey_result first = survey_pairs(input);
    const geometry_fit fit = fit_geometry(quiet_pairs(first, reference));
    if (!fit.found || 2 * std::int64_t{fit.xoverlap} >= reference.width || fit.xoverlap < 0) {
        warn("no first estimate of the overlaps to estimate the flat field with: the tiles " +
             std::string("are matched as read"));
        return;
    }
    plan.field =
        estimate_tiles_flat_field(plan.tiles, mosaic_layout(plan.tiles, fit.xoverlap, fit.yoffset));
    input.field = &*plan.field;
    std::cout << "flat field: estimated from the tiles placed by a first estimate, -x "
              << fit.xoverlap << " -y " << fit.yoffset << "\n"
              << std::flush;
}

int estimate(run_plan& plan)
{
    const align_options& o = plan.options;
    if (o.splitnumber < 2)
        throw no_estimate("one tile column: there is no seam to align");
    const tile_size reference = plan.tiles.reference();
    survey_input input;
    input.tiles = &plan.tiles;
    input.slices = o.slices.empty() ? spread_slices(plan.tiles.slice_count()) : o.slices;
    input.limits = limits_for(plan);
    input.field = plan.field ? &*plan.field : nullptr;
    if (o.flat_field == "auto")
        estimate_field(plan, input);

    const survey_result survey = survey_pairs(input);
    for (const size_mismatch& m : survey.mismatches)
        warn("tile '" + m.name + "' is " + std::to_string(m.width) + " x " +
             std::to_string(m.height) + ", not " + std::to_string(reference.width) + " x " +
             std::to_string(reference.height) + " like the first tile: its seams in slice " +
             std::to_string(m.slice_index) + " are not compared");

    warn_about_sensor(survey.pattern);
    for (std::size_t p = 0; p < survey.explained.size(); ++p)
        if (survey.explained[p] > 0)
            warn("pair " + pair_name(p) + ": " + std::to_string(survey.explained[p]) + " of " +
                 std::to_string(survey.explained[p] + static_cast<int>(survey.by_pair[p].size())) +
                 " slices met where the sensor's fall-off meets itself as well (best at " +
                 "overlap " + std::to_string(survey.sensor_place.overlap) + ", shift " +
                 std::to_string(survey.sensor_place.shift) +
                 "): left out, as the sensor alone can make the tiles meet there");

    std::vector<pair_estimate> pairs;
    for (const std::vector<alignment>& slices : survey.by_pair)
        pairs.push_back(combine_slices(slices));
    print_table(pairs);
    warn_about_pairs(pairs, input.limits);
    // Tiles overlapping over their whole width show one place twice (the
    // stage did not move): no -x can stitch them, so the pair has no estimate.
    for (std::size_t p = 0; p < pairs.size(); ++p)
        if (pairs[p].found && pairs[p].overlap >= static_cast<int>(reference.width)) {
            warn("pair " + pair_name(p) + ": the tiles overlap over their whole width: a " +
                 "column that repeats its neighbour; no estimate");
            pairs[p].found = false;
        }
    const geometry_fit fit = fit_geometry(pairs);
    if (!fit.found)
        throw no_estimate("no pair of columns could be aligned: no estimate");
    warn_about_fit(pairs, fit);
    refuse_as_stitcher_does(plan.tiles, fit.xoverlap, fit.yoffset,
                            no_estimate("the consensus -x " + std::to_string(fit.xoverlap) +
                                        " -y " + std::to_string(fit.yoffset) +
                                        " is one orvane refuses (above): the tiles cannot be " +
                                        "what they seem, for instance a column that repeats " +
                                        "its neighbour; no estimate"));
    print_fit(plan.options, fit, pairs.size());
    if (!o.preview_path.empty())
        write_preview(plan, fit.xoverlap, fit.yoffset);
    return align_ok;
}

// The preview must never replace what it is made from: a path naming the
// list or a tile, under any spelling or link, is refused, and so is one that
// names no regular file (a FIFO would hang the write, a device take it).
void check_preview_path(const align_options& options, const std::vector<std::string>& names)
{
    const std::string& path = options.preview_path;
    if (path.empty())
        return;
    const platform::file_status status = platform::status_of(path);
    if (!status.exists)
        return;  // nothing there to lose; the name of no existing input
    if (!status.regular)
        throw refusal("the preview path '" + path +
                      "' is not a regular file (a directory, a FIFO or a device)");
    const platform::file_identity preview = platform::identity_of(path);
    if (platform::same_file(preview, platform::identity_of(options.list_path)))
        throw refusal("the preview path '" + path + "' is the list file");
    if (!options.flat_field.empty() && options.flat_field != "auto" &&
        platform::same_file(preview, platform::identity_of(options.flat_field)))
        throw refusal("the preview path '" + path + "' is the flat field file");
    for (const std::string& name : names)
        if (platform::same_file(preview, platform::identity_of(name)))
            throw refusal("the preview path '" + path + "' is the tile '" + name + "'");
}

// Checks what the options and the list allow before any tile is read but
// the reference, whose size the checks of -x and -y need.
run_plan make_plan(const align_options& options)
{
    std::vector<std::string> names = read_tile_names(options.list_path);
    if (names.empty())
        throw refusal("the list file '" + options.list_path + "' is missing or names no tile");
    const std::int32_t slice_count = count_slices(names.size(), options.splitnumber);
    if (slice_count == 0)
        throw refusal("the list names " + std::to_string(names.size()) + " tiles, fewer than the " +
                      std::to_string(options.splitnumber) + " columns of -s");
    for (std::int32_t k : options.slices)
        if (k >= slice_count)
            throw refusal("slice " + std::to_string(k) + " (-k) is not below the slice count " +
                          std::to_string(slice_count));
    if (options.max_overlap && *options.max_overlap < search_limits{}.min_overlap)
        throw refusal("--max-overlap " + std::to_string(*options.max_overlap) +
                      " is below the narrowest overlap searched, " +
                      std::to_string(search_limits{}.min_overlap) + " columns");
    check_preview_path(options, names);
    const tile_size reference = read_tile_size(names.front());
    run_plan plan{options, acquisition(std::move(names), options.splitnumber, reference), {}};
    if (options.xoverlap)
        refuse_as_stitcher_does(plan.tiles, *options.xoverlap, *options.yoffset,
                                refusal("orvane refuses -x " + std::to_string(*options.xoverlap) +
                                        " -y " + std::to_string(*options.yoffset) +
                                        " (above): no preview"));
    if (!options.flat_field.empty() && options.flat_field != "auto")
        plan.field = read_tiles_flat_field(options.flat_field, reference);
    return plan;
}

int run(const align_options& options)
{
    run_plan plan = make_plan(options);
    if (!options.xoverlap)
        return estimate(plan);
    if (options.flat_field == "auto")
        plan.field = estimate_tiles_flat_field(
            plan.tiles, mosaic_layout(plan.tiles, *options.xoverlap, *options.yoffset));
    write_preview(plan, *options.xoverlap, *options.yoffset);
    return align_ok;
}

// The status of a failure: misuse, no estimate, or anything else (a tile,
// the list, the preview, memory) as the stitcher reports it.
int status_of(const std::exception& e)
{
    const auto* own = dynamic_cast<const error*>(&e);
    if (own && own->kind() == failure_kind::usage)
        return align_usage;
    if (own && own->kind() == failure_kind::no_result)
        return align_no_estimate;
    return align_unreadable;
}

}  // namespace

int align_driver(int argc, const char* const* argv)
{
    align_options options;
    try {
        options = parse_align_options(argc, argv);
    } catch (const error& e) {
        std::cerr << report_text(e, program) << usage_text << std::flush;
        return align_usage;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? usage_text : version_line(program) + "\n") << std::flush;
        return align_ok;
    }
    prepare_tile_reading(program);
    // Every failure ends here, reported once, with its status.
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::cerr << report_text(e, program) << std::flush;
        return status_of(e);
    }
}

}  // namespace orvane::align
