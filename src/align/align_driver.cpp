// The orvane-align entry: options, survey, pair table, fit, orvane command, warnings, preview.
#include "align/align_driver.hpp"

#include "align/consensus.hpp"
#include "align/preview.hpp"
#include "align/survey.hpp"
#include "align/tiles.hpp"
#include "base/version.hpp"
#include "compat/library_conventions.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace orvane::align {

namespace {

const char* const program = "orvane-align";

const char* const usage_text =
    "usage: orvane-align -i list.txt -s splitnumber [-k SLICE...] [--max-overlap PX]\n"
    "                    [--max-shift PX] [--preview FILE.png] [-x X -y Y]\n"
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
    "  -h, --help       print this help and exit\n"
    "  --version        print the version and exit\n"
    "exit status: 0 estimate printed, 1 misuse, 2 the list, a tile or the preview\n"
    "failed, 3 no pair of columns could be aligned (or every one was ambiguous)\n";

constexpr std::uint32_t preview_width = 2048;

void warn(const std::string& text)
{
    std::cerr << program << ": warning: " << text << "\n" << std::flush;
}

// What ends a run short of an estimate without any failure to read or
// write: misuse (status 1) or nothing to estimate from (status 3). Thrown
// where it is found, reported by the driver.
class refusal : public std::runtime_error {
public:
    refusal(const std::string& text, int status) : std::runtime_error(text), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

std::string pair_name(std::size_t p) { return std::to_string(p) + "|" + std::to_string(p + 1); }

// Safe to paste into a POSIX shell.
std::string shell_quoted(const std::string& text)
{
    const bool plain = !text.empty() &&
                       text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789_./+-:=@%,") == std::string::npos;
    if (plain)
        return text;
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string fixed(double value, int decimals)
{
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
}

std::string padded(const std::string& text, std::size_t width)
{
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

// Everything one run works from, once the options and the list are checked.
struct run_plan {
    align_options options;
    acquisition tiles;  // the list's first tile gives the reference size
};

void print_table(const std::vector<pair_estimate>& pairs)
{
    std::cout << "pair   overlap  shift  score  slices\n";
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const pair_estimate& e = pairs[p];
        std::cout << padded(pair_name(p), 4) << "   "
                  << padded(e.found ? std::to_string(e.overlap) : "-", 7) << "  "
                  << padded(e.found ? std::to_string(e.shift) : "-", 5) << "  "
                  << padded(fixed(e.score, 3), 5) << "  " << e.agreeing << "/" << e.examined
                  << "\n";
    }
    std::cout << std::flush;
}

void warn_about_pairs(const std::vector<pair_estimate>& pairs, const search_limits& limits)
{
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const pair_estimate& e = pairs[p];
        const std::string name = "pair " + pair_name(p) + ": ";
        if (e.ambiguous > 0)
            warn(name + "ambiguous in " + std::to_string(e.ambiguous) + " of " +
                 std::to_string(e.examined) + " slices: overlap " +
                 std::to_string(e.ambiguity.overlap) + ", shift " +
                 std::to_string(e.ambiguity.shift) + " (score " + fixed(e.ambiguity.score, 3) +
                 ") and overlap " + std::to_string(e.ambiguity.rival_overlap) + ", shift " +
                 std::to_string(e.ambiguity.rival_shift) + " (score " +
                 fixed(e.ambiguity.rival_score, 3) +
                 ") match alike: a periodic specimen or a column that repeats its neighbour" +
                 (e.only_ambiguous ? "; no estimate" : "; those slices are left out"));
        if (e.examined == 0) {
            warn(name + "no slice could be compared");
        } else if (!e.found && !e.only_ambiguous) {
            warn(name + "no slice scored " + fixed(min_score, 2) + " or more (best " +
                 fixed(e.score, 2) + "): blank or dark tiles, no structure where they overlap, " +
                 "or a meeting place outside the search (overlap " +
                 std::to_string(limits.min_overlap) + " to " + std::to_string(limits.max_overlap) +
                 ", shift up to " + std::to_string(limits.max_shift) +
                 "; see --max-overlap and --max-shift); no estimate");
            continue;
        }
        if (!e.found)
            continue;
        if (2 * e.usable <= e.examined && e.examined > 1)
            warn(name + "only " + std::to_string(e.usable) + " of " + std::to_string(e.examined) +
                 " slices compared scored " + fixed(min_score, 2) +
                 " or more: the estimate rests on few slices; try others with -k");
        if (e.score < 0.5)
            warn(name + "low score " + fixed(e.score, 2) + ": check the result in a preview");
        if (2 * e.agreeing <= e.usable && e.usable > 1)
            warn(name + "only " + std::to_string(e.agreeing) + " of " + std::to_string(e.usable) +
                 " slices agree on overlap " + std::to_string(e.overlap) + ", shift " +
                 std::to_string(e.shift));
        if (e.at_edge)
            warn(name + "overlap " + std::to_string(e.overlap) + ", shift " +
                 std::to_string(e.shift) + " lies at the edge of the search (overlap " +
                 std::to_string(limits.min_overlap) + " to " + std::to_string(limits.max_overlap) +
                 ", shift up to " + std::to_string(limits.max_shift) +
                 "): the best may lie beyond; see --max-overlap and --max-shift");
    }
}

void warn_about_fit(const std::vector<pair_estimate>& pairs, const geometry_fit& fit)
{
    for (int p : fit.left_out) {
        const pair_estimate& e = pairs[static_cast<std::size_t>(p)];
        warn("pair " + pair_name(static_cast<std::size_t>(p)) + " (overlap " +
             std::to_string(e.overlap) + ", shift " + std::to_string(e.shift) +
             ") is far from the other pairs and was left out of the fit");
    }
    if (fit.overlap_spread > 2 || fit.shift_spread > 2)
        warn("the pairs disagree by up to " + std::to_string(fit.overlap_spread) +
             " px in overlap and " + std::to_string(fit.shift_spread) +
             " px in shift: one -x and -y cannot make every seam exact");
}

void print_fit(const run_plan& plan, const geometry_fit& fit, std::size_t pair_count)
{
    std::cout << "consensus: xoverlap " << fit.xoverlap << " (overlap " << fit.overlap << " px";
    if (fit.odd)
        std::cout << ", odd: rounded down, so one column at each seam shows twice";
    std::cout << "), yoffset " << fit.yoffset << ", from " << fit.used.size() << " of "
              << pair_count << " pairs\n";
    std::cout << "orvane -i " << shell_quoted(plan.options.list_path) << " -s "
              << shell_quoted(plan.options.splitnumber_text) << " -x " << fit.xoverlap << " -y "
              << fit.yoffset << " -o OUTPUTDIR\n"
              << std::flush;
}

// The preview is written under a temporary name and renamed into place, so
// a run that fails leaves no half-written picture under the name asked for.
void write_preview(const run_plan& plan, std::int32_t xoverlap, std::int32_t yoffset)
{
    const align_options& o = plan.options;
    const std::int32_t slice = o.slices.empty() ? plan.tiles.slice_count() / 2 : o.slices.front();
    const mosaic_layout layout(plan.tiles, xoverlap, yoffset);
    const reduced_mosaic mosaic = stitch_reduced(plan.tiles, layout, slice, preview_width);
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
              << " -y " << yoffset << ", reduced by " << factor << ")\n"
              << std::flush;
}

// What the tiles share because it belongs to the camera was taken out
// before matching; the user should know that the sensor has it.
void warn_about_sensor(const sensor_pattern& pattern)
{
    auto count = [](const std::vector<bool>& lines, const std::string& what) {
        const auto n = std::count(lines.begin(), lines.end(), true);
        return std::to_string(n) + " sensor " + what + (n == 1 ? "" : "s");
    };
    if (!pattern.dead_rows.empty() || !pattern.dead_columns.empty())
        warn(count(pattern.dead_rows, "row") + " and " + count(pattern.dead_columns, "column") +
             " hold one value in every tile (dead or stuck lines): matched as their live " +
             "neighbours");
    if (pattern.only_sensor)
        warn("every tile holds the same pixels: they show the sensor, not a specimen");
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
        throw refusal("tiles " + std::to_string(width) + " pixels wide are too narrow to align: " +
                          "the search takes overlaps of " + std::to_string(limits.min_overlap) +
                          " columns or more" +
                          (plan.options.max_overlap ? "" : ", and by default up to half the width"),
                      align_no_estimate);
    return limits;
}

int estimate(const run_plan& plan)
{
    const align_options& o = plan.options;
    if (o.splitnumber < 2)
        throw refusal("one tile column: there is no seam to align", align_no_estimate);
    const tile_size reference = plan.tiles.reference();
    survey_input input;
    input.tiles = &plan.tiles;
    input.slices = o.slices.empty() ? spread_slices(plan.tiles.slice_count()) : o.slices;
    input.limits = limits_for(plan);

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
        throw refusal("no pair of columns could be aligned: no estimate", align_no_estimate);
    warn_about_fit(pairs, fit);
    if (!stitcher_accepts(plan.tiles, fit.xoverlap, fit.yoffset))
        throw refusal("the consensus -x " + std::to_string(fit.xoverlap) + " -y " +
                          std::to_string(fit.yoffset) +
                          " is one orvane refuses (above): the tiles cannot be what they seem, " +
                          "for instance a column that repeats its neighbour; no estimate",
                      align_no_estimate);
    print_fit(plan, fit, pairs.size());
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
                          "' is not a regular file (a directory, a FIFO or a device)",
                      align_usage);
    const platform::file_identity preview = platform::identity_of(path);
    if (platform::same_file(preview, platform::identity_of(options.list_path)))
        throw refusal("the preview path '" + path + "' is the list file", align_usage);
    for (const std::string& name : names)
        if (platform::same_file(preview, platform::identity_of(name)))
            throw refusal("the preview path '" + path + "' is the tile '" + name + "'",
                          align_usage);
}

// Checks what the options and the list allow before any tile is read but
// the reference, whose size the checks of -x and -y need.
run_plan make_plan(const align_options& options)
{
    std::vector<std::string> names = read_tile_names(options.list_path);
    if (names.empty())
        throw refusal("the list file '" + options.list_path + "' is missing or names no tile",
                      align_usage);
    const std::int32_t slice_count = count_slices(names.size(), options.splitnumber);
    if (slice_count == 0)
        throw refusal("the list names " + std::to_string(names.size()) + " tiles, fewer than the " +
                          std::to_string(options.splitnumber) + " columns of -s",
                      align_usage);
    for (std::int32_t k : options.slices)
        if (k >= slice_count)
            throw refusal("slice " + std::to_string(k) + " (-k) is not below the slice count " +
                              std::to_string(slice_count),
                          align_usage);
    if (options.max_overlap && *options.max_overlap < search_limits{}.min_overlap)
        throw refusal("--max-overlap " + std::to_string(*options.max_overlap) +
                          " is below the narrowest overlap searched, " +
                          std::to_string(search_limits{}.min_overlap) + " columns",
                      align_usage);
    check_preview_path(options, names);
    const tile_size reference = read_tile_size(names.front());
    run_plan plan{options, acquisition(std::move(names), options.splitnumber, reference)};
    if (options.xoverlap && !stitcher_accepts(plan.tiles, *options.xoverlap, *options.yoffset))
        throw refusal("orvane refuses -x " + std::to_string(*options.xoverlap) + " -y " +
                          std::to_string(*options.yoffset) + " (above): no preview",
                      align_usage);
    return plan;
}

int run(const align_options& options)
{
    const run_plan plan = make_plan(options);
    if (!options.xoverlap)
        return estimate(plan);
    write_preview(plan, *options.xoverlap, *options.yoffset);
    return align_ok;
}

}  // namespace

int align_driver(int argc, const char* const* argv)
{
    align_options options;
    std::string error;
    if (!parse_align_options(argc, argv, options, error) || argc < 2) {
        if (!error.empty())
            std::cerr << program << ": " << error << "\n";
        std::cerr << usage_text << std::flush;
        return align_usage;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? usage_text : version_line(program) + "\n") << std::flush;
        return align_ok;
    }
    prepare_tile_reading(program);
    // Every failure ends here, reported once: a refusal with its own status,
    // anything else (a tile, the list, the preview, memory) as the stitcher
    // reports it, with status 2.
    try {
        return run(options);
    } catch (const refusal& r) {
        std::cerr << program << ": " << r.what() << "\n" << std::flush;
        return r.status();
    } catch (const std::exception& e) {
        std::cerr << report_text(e, program) << std::flush;
        return align_unreadable;
    }
}

}  // namespace orvane::align
