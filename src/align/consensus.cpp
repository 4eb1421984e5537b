// Votes across slices per pair, then a least-squares fit across pairs that bad pairs cannot pull.
#include "align/consensus.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace orvane::align {

namespace {

// The integer nearest to value, ties towards the smaller one or towards 0.
int nearest(double value, bool ties_down)
{
    const double below = std::floor(value);
    const double fraction = value - below;
    if (fraction < 0.5)
        return static_cast<int>(below);
    if (fraction > 0.5)
        return static_cast<int>(below) + 1;
    if (ties_down || value > 0)
        return static_cast<int>(below);
    return static_cast<int>(below) + 1;
}

struct means {
    double overlap = 0.0, shift = 0.0;
};

means mean_of(const std::vector<pair_estimate>& pairs, const std::vector<int>& used)
{
    means m;
    for (int p : used) {
        m.overlap += pairs[static_cast<std::size_t>(p)].overlap;
        m.shift += pairs[static_cast<std::size_t>(p)].shift;
    }
    m.overlap /= static_cast<double>(used.size());
    m.shift /= static_cast<double>(used.size());
    return m;
}

// Pairs this close in overlap and in shift count as agreeing.
constexpr int agreement_distance = 2;

bool close(const pair_estimate& a, const pair_estimate& b)
{
    return std::abs(a.overlap - b.overlap) <= agreement_distance &&
           std::abs(a.shift - b.shift) <= agreement_distance;
}

}  // namespace

pair_estimate combine_slices(const std::vector<alignment>& slices)
{
    pair_estimate result;
    struct vote {
        int count = 0;
        double total = 0.0;
        std::vector<double> scores;
        bool at_edge = false;
    };
    std::map<std::pair<int, int>, vote> votes;
    for (const alignment& a : slices) {
        ++result.examined;
        if (!a.found || a.score < min_score) {
            result.score = std::max(result.score, a.score);
            continue;
        }
        if (a.ambiguous) {
            if (result.ambiguous++ == 0 || a.score > result.ambiguity.score)
                result.ambiguity = a;
            continue;
        }
        ++result.usable;
        vote& v = votes[{a.overlap, a.shift}];
        ++v.count;
        v.total += a.score;
        v.scores.push_back(a.score);
        v.at_edge = v.at_edge || a.at_edge;
    }
    const vote* winner = nullptr;
    for (const auto& [place, v] : votes) {
        if (!winner || v.count > winner->count ||
            (v.count == winner->count && v.total > winner->total)) {
            winner = &v;
            result.overlap = place.first;
            result.shift = place.second;
        }
    }
    // The winner needs most of the slices that scored, the ambiguous ones
    // counted: where they are many, the others may have met an alias.
    if (!winner ||
        (result.ambiguous > 0 && 2 * winner->count <= result.usable + result.ambiguous)) {
        result.only_ambiguous = result.ambiguous > 0;
        if (result.only_ambiguous)
            result.score = result.ambiguity.score;
        return result;
    }
    std::vector<double> scores = winner->scores;
    std::sort(scores.begin(), scores.end());
    result.found = true;
    result.agreeing = winner->count;
    result.score = scores[scores.size() / 2];
    result.at_edge = winner->at_edge;
    return result;
}

geometry_fit fit_geometry(const std::vector<pair_estimate>& pairs)
{
    geometry_fit fit;
    for (std::size_t p = 0; p < pairs.size(); ++p)
        if (pairs[p].found)
            fit.used.push_back(static_cast<int>(p));
    if (fit.used.empty())
        return fit;
    fit.found = true;

    int lo_o = pairs[static_cast<std::size_t>(fit.used.front())].overlap, hi_o = lo_o;
    int lo_s = pairs[static_cast<std::size_t>(fit.used.front())].shift, hi_s = lo_s;
    for (int p : fit.used) {
        const pair_estimate& e = pairs[static_cast<std::size_t>(p)];
        lo_o = std::min(lo_o, e.overlap);
        hi_o = std::max(hi_o, e.overlap);
        lo_s = std::min(lo_s, e.shift);
        hi_s = std::max(hi_s, e.shift);
    }
    fit.overlap_spread = hi_o - lo_o;
    fit.shift_spread = hi_s - lo_s;

    // The fit rests on the largest group of pairs that agree within a few
    // pixels, counted in the slices behind them: pairs that went wrong (a
    // seam without structure in the slices looked at) do not pull it, and of
    // two pairs that disagree the better supported one wins.
    std::vector<int> best_group;
    double best_support = -1.0;
    for (int p : fit.used) {
        std::vector<int> group;
        double support = 0.0;
        for (int q : fit.used)
            if (close(pairs[static_cast<std::size_t>(p)], pairs[static_cast<std::size_t>(q)])) {
                group.push_back(q);
                const pair_estimate& e = pairs[static_cast<std::size_t>(q)];
                // Slices first; the score only breaks ties.
                support += e.agreeing + 0.001 * e.score;
            }
        if (support > best_support) {
            best_support = support;
            best_group = group;
        }
    }
    for (int p : fit.used)
        if (std::find(best_group.begin(), best_group.end(), p) == best_group.end())
            fit.left_out.push_back(p);
    fit.used = best_group;
    const means m = mean_of(pairs, fit.used);
    fit.mean_overlap = m.overlap;
    fit.overlap = nearest(m.overlap, true);
    fit.odd = fit.overlap % 2 != 0;
    fit.xoverlap = (fit.overlap - (fit.odd ? 1 : 0)) / 2;
    fit.yoffset = nearest(m.shift, false);
    return fit;
}

}  // namespace orvane::align
