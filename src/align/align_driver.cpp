// The orvane-align entry: options, survey, pair table, fit, orvane command, warnings, preview.
#include "align/align_driver.hpp"

#include "align/consensus.hpp"
#include "align/preview.hpp"
#include "align/survey.hpp"
#include "align/tiles.hpp"

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
    "exit status: 0 estimate printed, 1 misuse, 2 a tile could not be read,\n"
    "3 no pair of columns could be aligned\n";

constexpr std::uint32_t preview_width = 2048;

void warn(const std::string& text)
{
    std::cerr << program << ": warning: " << text << "\n" << std::flush;
}

int fail(const std::string& text, int status)
{
    std::cerr << program << ": " << text << "\n" << std::flush;
    return status;
}

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
    std::vector<std::string> names;
    std::int32_t slice_count = 0;
    std::uint32_t width = 0, height = 0;  // of the reference tile, the list's first
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
        if (e.examined == 0) {
            warn(name + "no slice could be compared");
        } else if (!e.found) {
            warn(name + "no slice scored " + fixed(min_score, 2) + " or more (best " +
                 fixed(e.score, 2) +
                 "): blank or dark tiles, or no structure where they overlap; no estimate");
            continue;
        }
        if (!e.found)
            continue;
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

int write_preview(const run_plan& plan, std::int32_t xoverlap, std::int32_t yoffset)
{
    const align_options& o = plan.options;
    const std::int32_t slice = o.slices.empty() ? plan.slice_count / 2 : o.slices.front();
    const std::int64_t pitch = std::int64_t{plan.width} - 2 * std::int64_t{xoverlap};
    if (pitch <= 0)
        return fail("the x overlap " + std::to_string(xoverlap) + " leaves no pixel of a tile " +
                        std::to_string(plan.width) + " wide",
                    align_usage);
    std::int32_t factor = 1;
    grey_image mosaic;
    try {
        mosaic = stitch_reduced(plan.names, plan.slice_count, slice, o.splitnumber, plan.width,
                                plan.height, xoverlap, yoffset, preview_width, factor);
    } catch (const std::exception& e) {
        std::cerr << failure_report(e, program, "cannot stitch slice " + std::to_string(slice))
                  << std::flush;
        return align_unreadable;
    }
    std::vector<std::uint32_t> seams;
    for (std::int32_t j = 1; j < o.splitnumber; ++j)
        seams.push_back(static_cast<std::uint32_t>(pitch * j / factor));
    try {
        write_png(o.preview_path, render_preview(mosaic, seams));
    } catch (const preview_error& e) {
        return fail("cannot write the preview '" + o.preview_path + "': " + e.what(),
                    align_unreadable);
    }
    std::cout << "preview: " << o.preview_path << " (slice " << slice << ", -x " << xoverlap
              << " -y " << yoffset << ", reduced by " << factor << ")\n"
              << std::flush;
    return align_ok;
}

search_limits limits_for(const run_plan& plan)
{
    search_limits limits;
    const int width = static_cast<int>(plan.width), height = static_cast<int>(plan.height);
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
    return limits;
}

int estimate(const run_plan& plan)
{
    const align_options& o = plan.options;
    if (o.splitnumber < 2)
        return fail("one tile column: there is no seam to align", align_no_estimate);
    survey_input input;
    input.names = &plan.names;
    input.slice_count = plan.slice_count;
    input.columns = o.splitnumber;
    input.slices = o.slices.empty() ? spread_slices(plan.slice_count) : o.slices;
    input.width = plan.width;
    input.height = plan.height;
    input.limits = limits_for(plan);

    const survey_result survey = survey_pairs(input);
    if (survey.failure) {
        try {
            std::rethrow_exception(survey.failure);
        } catch (const std::exception& e) {
            std::cerr << failure_report(e, program, "cannot read tile '" + survey.failed_name + "'")
                      << std::flush;
        }
        return align_unreadable;
    }
    for (const size_mismatch& m : survey.mismatches)
        warn("tile '" + m.name + "' is " + std::to_string(m.width) + " x " +
             std::to_string(m.height) + ", not " + std::to_string(plan.width) + " x " +
             std::to_string(plan.height) + " like the first tile: its seams in slice " +
             std::to_string(m.slice_index) + " are not compared");

    std::vector<pair_estimate> pairs;
    for (const std::vector<alignment>& slices : survey.by_pair)
        pairs.push_back(combine_slices(slices));
    print_table(pairs);
    warn_about_pairs(pairs, input.limits);
    const geometry_fit fit = fit_geometry(pairs);
    if (!fit.found)
        return fail("no pair of columns could be aligned: no estimate", align_no_estimate);
    warn_about_fit(pairs, fit);
    print_fit(plan, fit, pairs.size());
    if (o.preview_path.empty())
        return align_ok;
    return write_preview(plan, fit.xoverlap, fit.yoffset);
}

// Checks what the options and the list allow before any tile is read.
bool make_plan(const align_options& options, run_plan& plan, int& status)
{
    plan.options = options;
    plan.names = read_tile_names(options.list_path);
    if (plan.names.empty()) {
        status = fail("the list file '" + options.list_path + "' is missing or names no tile",
                      align_usage);
        return false;
    }
    plan.slice_count = count_slices_of(plan.names.size(), options.splitnumber);
    if (plan.slice_count == 0) {
        status =
            fail("the list names " + std::to_string(plan.names.size()) + " tiles, fewer than the " +
                     std::to_string(options.splitnumber) + " columns of -s",
                 align_usage);
        return false;
    }
    for (std::int32_t k : options.slices)
        if (k >= plan.slice_count) {
            status = fail("slice " + std::to_string(k) + " (-k) is not below the slice count " +
                              std::to_string(plan.slice_count),
                          align_usage);
            return false;
        }
    try {
        read_tile_size(plan.names.front(), plan.width, plan.height);
    } catch (const std::exception& e) {
        std::cerr << failure_report(e, program,
                                    "cannot read the reference tile '" + plan.names.front() + "'")
                  << std::flush;
        status = align_unreadable;
        return false;
    }
    return true;
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
    if (options.help) {
        std::cout << usage_text << std::flush;
        return align_ok;
    }
    prepare_tile_reading();
    run_plan plan;
    int status = align_ok;
    if (!make_plan(options, plan, status))
        return status;
    if (options.xoverlap)
        return write_preview(plan, *options.xoverlap, *options.yoffset);
    return estimate(plan);
}

}  // namespace orvane::align
