// The seam report's picture: an SVG file any browser opens, with the shifts and the gains of every
// seam along the stack and the slices whose match was unreliable marked.
#include "io/seam_report.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <locale>
#include <map>
#include <sstream>

namespace orvane {

namespace {

constexpr double plot_left = 80, plot_width = 760, panel_height = 220, panel_gap = 70;
constexpr double top_margin = 50;
const char* const colours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd",
                               "#8c564b", "#e377c2", "#17becf", "#7f7f7f"};

// A value range with a little room, never empty.
struct range {
    double low = 0, high = 1;
    void widen()
    {
        if (high - low < 1e-9) {
            low -= 1;
            high += 1;
        }
        const double room = (high - low) * 0.08;
        low -= room;
        high += room;
    }
};

// About `count` round steps across the range.
double step_for(double span, int count)
{
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw)
            return m * power;
    return 10 * power;
}

class svg_writer {
public:
    svg_writer() { out_.imbue(std::locale::classic()); }
    std::ostringstream& out() { return out_; }

    void text(double x, double y, const std::string& words, const char* anchor = "middle",
              int size = 12, const char* extra = "")
    {
        out_ << "<text x=\"" << num(x) << "\" y=\"" << num(y) << "\" font-size=\"" << size
             << "\" text-anchor=\"" << anchor << "\"" << extra << ">" << words << "</text>\n";
    }
    void line(double x0, double y0, double x1, double y1, const char* style)
    {
        out_ << "<line x1=\"" << num(x0) << "\" y1=\"" << num(y0) << "\" x2=\"" << num(x1)
             << "\" y2=\"" << num(y1) << "\" style=\"" << style << "\"/>\n";
    }
    static std::string num(double v)
    {
        std::ostringstream s;
        s.imbue(std::locale::classic());
        s << std::fixed << std::setprecision(std::abs(v) < 10 ? 3 : 1) << v;
        std::string t = s.str();
        while (t.find('.') != std::string::npos && (t.back() == '0' || t.back() == '.'))
            t.pop_back();
        return t == "-0" ? "0" : t;
    }

private:
    std::ostringstream out_;
};

// One panel: axes, ticks, labels and a line per series, each series a map
// from slice to value.
void panel(svg_writer& svg, double top, const std::string& label, range slices, range values,
           const std::vector<std::pair<std::string, std::map<std::int32_t, double>>>& series,
           const char* dash)
{
    values.widen();
    const auto px = [&](double s) {
        return plot_left + (s - slices.low) / (slices.high - slices.low) * plot_width;
    };
    const auto py = [&](double v) {
        return top + panel_height - (v - values.low) / (values.high - values.low) * panel_height;
    };
    svg.out() << "<rect x=\"" << plot_left << "\" y=\"" << svg_writer::num(top) << "\" width=\""
              << plot_width << "\" height=\"" << panel_height
              << "\" style=\"fill:none;stroke:#444\"/>\n";
    const double vstep = step_for(values.high - values.low, 5);
    for (double v = std::ceil(values.low / vstep) * vstep; v <= values.high; v += vstep) {
        svg.line(plot_left, py(v), plot_left + plot_width, py(v), "stroke:#ddd");
        svg.text(plot_left - 6, py(v) + 4, svg_writer::num(v), "end", 11);
    }
    const double sstep = std::max(1.0, step_for(slices.high - slices.low, 10));
    for (double s = std::ceil(slices.low / sstep) * sstep; s <= slices.high; s += sstep)
        svg.text(px(s), top + panel_height + 16, svg_writer::num(s), "middle", 11);
    svg.text(plot_left + plot_width / 2, top + panel_height + 34, "slice");
    svg.text(
        24, top + panel_height / 2, label, "middle", 12,
        (" transform=\"rotate(-90 24 " + svg_writer::num(top + panel_height / 2) + ")\"").c_str());
    for (std::size_t k = 0; k < series.size(); ++k) {
        const char* colour = colours[k % (sizeof colours / sizeof *colours)];
        std::string points;
        for (const auto& [slice, value] : series[k].second)
            points += svg_writer::num(px(slice)) + "," + svg_writer::num(py(value)) + " ";
        svg.out() << "<polyline points=\"" << points << "\" style=\"fill:none;stroke:" << colour
                  << ";stroke-width:1.5" << (k % 2 && dash ? dash : "") << "\"><title>"
                  << series[k].first << "</title></polyline>\n";
        svg.text(plot_left + plot_width + 8, top + 14 + 14 * static_cast<double>(k),
                 series[k].first, "start", 11, (std::string(" fill=\"") + colour + "\"").c_str());
    }
}

}  // namespace

std::string seam_picture(const std::vector<seam_row>& rows, bool registered)
{
    range slices{0, 1}, shifts{0, 0}, gains{1, 1};
    std::map<std::int32_t, std::map<std::int32_t, double>> dx, dy, gain;
    std::map<std::int32_t, bool> unreliable;
    if (!rows.empty())
        slices = {static_cast<double>(rows.front().slice), static_cast<double>(rows.front().slice)};
    for (const seam_row& r : rows) {
        const seam_measure& m = r.seam;
        slices.low = std::min<double>(slices.low, r.slice);
        slices.high = std::max<double>(slices.high, r.slice);
        dx[m.left_column][r.slice] = m.dx;
        dy[m.left_column][r.slice] = m.dy;
        if (m.left_column == 0)
            gain[0][r.slice] = m.gain_left;
        gain[m.left_column + 1][r.slice] = m.gain_right;
        shifts.low = std::min<double>({shifts.low, double(m.dx), double(m.dy)});
        shifts.high = std::max<double>({shifts.high, double(m.dx), double(m.dy)});
        gains.low = std::min({gains.low, m.gain_left, m.gain_right});
        gains.high = std::max({gains.high, m.gain_left, m.gain_right});
        if (registered && !m.reliable)
            unreliable[r.slice] = true;
    }
    if (slices.high <= slices.low)
        slices.high = slices.low + 1;
    std::vector<std::pair<std::string, std::map<std::int32_t, double>>> shift_series, gain_series;
    for (const auto& [seam, values] : dx) {
        const std::string name = "seam " + std::to_string(seam) + "|" + std::to_string(seam + 1);
        shift_series.push_back({name + " dx", values});
        shift_series.push_back({name + " dy", dy[seam]});
    }
    for (const auto& [column, values] : gain)
        gain_series.push_back({"column " + std::to_string(column), values});

    const double second = top_margin + panel_height + panel_gap;
    const double height = second + panel_height + 60;
    svg_writer svg;
    svg.out() << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\""
              << svg_writer::num(height) << "\" viewBox=\"0 0 1000 " << svg_writer::num(height)
              << "\" font-family=\"sans-serif\">\n"
              << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg.text(plot_left + plot_width / 2, 22,
             "Seams along the stack: each column's shift against its left neighbour and its gain",
             "middle", 14);
    if (rows.empty())
        svg.text(plot_left + plot_width / 2, top_margin + panel_height / 2, "no slice made yet");
    // Unreliable slices: a red band across both panels, drawn first, under the lines.
    const double slice_width = plot_width / (slices.high - slices.low);
    for (const auto& [slice, flag] : unreliable) {
        const double x = plot_left + (slice - slices.low) / (slices.high - slices.low) * plot_width;
        const double w = std::max(2.0, std::min(slice_width * 0.8, 12.0));
        for (double top : {top_margin, second})
            svg.out() << "<rect x=\"" << svg_writer::num(x - w / 2) << "\" y=\""
                      << svg_writer::num(top) << "\" width=\"" << svg_writer::num(w)
                      << "\" height=\"" << panel_height
                      << "\" style=\"fill:#d62728;fill-opacity:0.25\"><title>slice " << slice
                      << ": a match was unreliable, the nominal place kept</title></rect>\n";
    }
    panel(svg, top_margin, "shift against the -x/-y place (pixels)", slices, shifts, shift_series,
          ";stroke-dasharray:4 3");
    panel(svg, second, "gain", slices, gains, gain_series, nullptr);
    if (registered)
        svg.text(plot_left, height - 12,
                 "red bands: slices where a seam's match was unreliable (nominal place kept); "
                 "dashed: dy",
                 "start", 11);
    svg.out() << "</svg>\n";
    return svg.out().str();
}

}  // namespace orvane
