// The table, the consensus line, the orvane command and the warnings orvane-align prints.
#include "align/align_report.hpp"

#include <algorithm>
#include <iostream>
#include <sstream>

namespace orvane::align {

namespace {

const char* const program = "orvane-align";

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

}  // namespace

void warn(const std::string& text)
{
    std::cerr << program << ": warning: " << text << "\n" << std::flush;
}

std::string pair_name(std::size_t p) { return std::to_string(p) + "|" + std::to_string(p + 1); }

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

void print_fit(const align_options& options, const geometry_fit& fit, std::size_t pair_count)
{
    std::cout << "consensus: xoverlap " << fit.xoverlap << " (overlap " << fit.overlap << " px";
    if (fit.odd)
        std::cout << ", odd: rounded down, so one column at each seam shows twice";
    std::cout << "), yoffset " << fit.yoffset << ", from " << fit.used.size() << " of "
              << pair_count << " pairs\n";
    std::cout << "orvane -i " << shell_quoted(options.list_path) << " -s "
              << shell_quoted(options.splitnumber_text) << " -x " << fit.xoverlap << " -y "
              << fit.yoffset << " -o OUTPUTDIR\n"
              << std::flush;
}

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

}  // namespace orvane::align
