// Writes a synthetic tiled z-stack: 16-bit tiles with microscopy-like content
// (dark noisy background, bright blurred structures with shot noise) and the
// list file naming them column after column; on request cut with a known
// overlap and shift from one specimen.
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct settings {
    std::string out;
    int columns = 3;
    int slices = 4;
    std::uint32_t width = 256;
    std::uint32_t height = 192;
    bool lzw = false;
    bool stats = false;
    unsigned seed = 1;
    // Cut mode: neighbouring tiles share 2 * xoverlap columns and column j is
    // cut yoffset * j rows lower, so that orvane -x xoverlap -y yoffset puts
    // every specimen pixel back where it belongs.
    bool cut = false;
    int xoverlap = 0;              // --overlap
    int yoffset = 0;               // --shift
    double brightness_step = 0.0;  // column j is (1 + step)^j times as bright
    bool noise_free = false;       // no read or shot noise
    bool truth = false;            // also write the mosaic orvane should make
    double hot_pixels = 0.0;       // share of sensor pixels stuck at full scale
    int grid_period = 0;           // a pure grid of lines instead of blobs
    // What the sensor adds to every tile alike, in file coordinates: lines
    // at 0 and brightness falling towards the corners by this share.
    std::vector<long> dead_rows, dead_columns;
    double falloff = 0.0;
    bool blank = false;     // no specimen: background and noise only
    double contrast = 1.0;  // the blobs' brightness times this
    // What a real camera and stage add to a cut, all off by default:
    bool falloff_sides = false;       // --falloff-shape sides: to 1 - falloff mid-side
    double dark = 0.0;                // --dark: offset added to every pixel
    double column_gain_spread = 0.0;  // --column-gain: gains within 1 +- this
    int drift = 0;                    // --drift: a column's cut walks up to this far
    double density = 1.0;             // --density: a cut's blobs this many times as many

    // The light, the gains and the dark offset are drawn in floating point
    // in one step; without them the tiles keep the integer steps they
    // always had, byte for byte.
    bool camera() const { return falloff_sides || dark > 0.0 || column_gain_spread > 0.0; }
};

// A bright structure: a Gaussian ball in acquisition coordinates (x across all
// tile columns, y, z in slices).
struct blob {
    double x, y, z, radius, brightness;
};

// Camera read noise around a dark offset. Its spread is what sets how well the
// tiles compress: 1.6 units, with the structures below, gives LZW about 2, like
// the cooled-camera stacks this program is meant for; 4 or 8 units fall to 1.6-1.5.
constexpr double background_level = 100.0;
constexpr double background_spread = 1.6;
// Shot noise on a structure: its spread grows with the square root of the signal.
constexpr double shot_spread = 0.5;
// A blob is drawn out to exp(-9), where it no longer adds a unit.
constexpr double blob_reach = 9.0;
constexpr int falloff_steps = 4096;
// Blobs started in each tile and slice; a blob spans several slices.
constexpr double blobs_per_tile_slice = 4.5;

int usage()
{
    std::fprintf(stderr,
                 "usage: orvane_make_acquisition -o DIR [-s COLUMNS] [-n SLICES] [-w WIDTH]\n"
                 "                               [-h HEIGHT] [--lzw] [--seed N] [--stats]\n"
                 "                               [--overlap X] [--shift Y] [--brightness-step B]\n"
                 "                               [--noise-free] [--truth] [--hot-pixels F]\n"
                 "                               [--grid PERIOD] [--dead-row Y] [--dead-column X]\n"
                 "                               [--falloff F] [--blank] [--contrast C]\n"
                 "                               [--falloff-shape corners|sides] [--dark D]\n"
                 "                               [--column-gain SPREAD] [--drift PX]\n"
                 "                               [--density K]\n"
                 "writes DIR/tiles/*.tif and DIR/list.txt; --stats prints the bytes written,\n"
                 "the rate and the LZW ratio of the content. --overlap, --shift and\n"
                 "--brightness-step cut the tiles from one specimen so that orvane -x X -y Y\n"
                 "rebuilds it, column j (1 + B)^j times as bright; --noise-free leaves the\n"
                 "noise out and --truth writes the mosaic orvane should make of each slice\n"
                 "into DIR/truth/; --hot-pixels sets that share of the sensor's pixels to full\n"
                 "scale, at the same places in every tile, as an uncorrected camera shows them;\n"
                 "--grid cuts a specimen of grid lines PERIOD pixels apart, nothing else;\n"
                 "--dead-row and --dead-column (repeatable) set that sensor row or column to 0\n"
                 "in every tile; --falloff makes every tile's brightness fall by that share\n"
                 "from its centre to its corners; --blank leaves the specimen out,\n"
                 "--contrast makes its blobs C times as bright and --density K times as many.\n"
                 "What a microscope adds to a cut: --falloff-shape sides makes the light, its\n"
                 "axis a little off the tile's centre, fall to 1 - F at the middle of the\n"
                 "farther sides (less at the nearer ones), scaled to a mean of 1 over the\n"
                 "tile; --dark adds a dark offset of about D (10 %% more towards one corner of\n"
                 "the sensor than the other) to every pixel; --column-gain gives each column\n"
                 "a gain within 1 +- SPREAD, their mean 1; --drift moves each column's cut\n"
                 "from slice to slice by at most a pixel in x and y, never more than PX from\n"
                 "its nominal place (column 0 stays). With --truth, DIR/truth/columns.csv\n"
                 "holds each slice's and column's true place against the nominal one (the\n"
                 "shift orvane must add) and gain; the truth mosaics stay the specimen at its\n"
                 "nominal place, without light, dark or gain, over the camera's offset of 100\n"
                 "that a plain mosaic keeps and a dark-field correction takes away.\n");
    return 1;
}

// Tables computed once so a pixel costs a lookup, not a call to exp or to the
// random number generator: that keeps a 2 GiB acquisition to seconds.
struct tables {
    std::vector<std::int32_t> background;  // read noise samples, already offset
    std::vector<float> shot;               // unit normal samples
    std::vector<float> falloff;            // exp(-d2) for d2 in [0, blob_reach)

    explicit tables(unsigned seed)
    {
        std::mt19937 rng(seed ^ 0x9e3779b9u);
        std::normal_distribution<double> normal(0.0, 1.0);
        constexpr std::size_t size = 1u << 20;
        background.resize(size);
        shot.resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            const double v = background_level + background_spread * normal(rng);
            background[i] = static_cast<std::int32_t>(std::lround(std::max(v, 0.0)));
            shot[i] = static_cast<float>(normal(rng));
        }
        falloff.resize(falloff_steps + 1);
        for (int i = 0; i <= falloff_steps; ++i)
            falloff[static_cast<std::size_t>(i)] =
                static_cast<float>(std::exp(-blob_reach * i / falloff_steps));
    }
};

// Fills one tile: read noise everywhere, then each blob's signal over its
// bounding box, then shot noise proportional to the signal.
void render_tile(std::vector<std::uint16_t>& pixels, const settings& s, const tables& t,
                 const std::vector<blob>& blobs, int column, int slice, double slice_step)
{
    const std::size_t w = s.width, h = s.height;
    std::vector<float> signal(w * h, 0.0f);
    const double origin_x = static_cast<double>(column) * s.width;
    bool any_signal = false;
    for (const blob& b : blobs) {
        const double dz = (slice - b.z) * slice_step;
        const double r2 = b.radius * b.radius;
        const double reach2 = blob_reach * r2 - dz * dz;
        if (reach2 <= 0.0)
            continue;
        const double reach = std::sqrt(reach2);
        const double cx = b.x - origin_x;
        const long x0 = std::max(0L, static_cast<long>(std::floor(cx - reach)));
        const long x1 =
            std::min(static_cast<long>(w) - 1, static_cast<long>(std::ceil(cx + reach)));
        const long y0 = std::max(0L, static_cast<long>(std::floor(b.y - reach)));
        const long y1 =
            std::min(static_cast<long>(h) - 1, static_cast<long>(std::ceil(b.y + reach)));
        if (x0 > x1 || y0 > y1)
            continue;
        any_signal = true;
        const double to_step = falloff_steps / (blob_reach * r2);
        for (long y = y0; y <= y1; ++y) {
            const double dy = static_cast<double>(y) - b.y;
            const double row_d2 = dy * dy + dz * dz;
            float* out = &signal[static_cast<std::size_t>(y) * w];
            for (long x = x0; x <= x1; ++x) {
                const double dx = static_cast<double>(x) - cx;
                const long step = static_cast<long>((dx * dx + row_d2) * to_step);
                if (step < falloff_steps)
                    out[x] += static_cast<float>(b.brightness) *
                              t.falloff[static_cast<std::size_t>(step)];
            }
        }
    }

    // Each row starts at its own random place in the noise tables, so rows and
    // tiles differ while staying reproducible from the seed.
    std::mt19937 rng(s.seed * 7919u + static_cast<unsigned>(column) * 104729u +
                     static_cast<unsigned>(slice));
    const std::size_t span = t.background.size() - w;
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t start = rng() % span;
        const std::int32_t* noise = &t.background[start];
        const float* shot = &t.shot[(start * 7) % span];
        const float* in = &signal[y * w];
        std::uint16_t* out = &pixels[y * w];
        for (std::size_t x = 0; x < w; ++x) {
            float v = static_cast<float>(noise[x]);
            if (any_signal && in[x] > 1.0f)
                v += in[x] + static_cast<float>(shot_spread) * std::sqrt(in[x]) * shot[x];
            out[x] = static_cast<std::uint16_t>(std::clamp(v, 0.0f, 65535.0f));
        }
    }
}

// Writes a 16-bit grey TIFF in strips of libtiff's default size.
bool write_tiff(const std::string& path, const std::vector<std::uint16_t>& pixels,
                std::uint32_t width, std::uint32_t height, bool lzw)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, lzw ? COMPRESSION_LZW : COMPRESSION_NONE);
    const std::uint32_t rows_per_strip = TIFFDefaultStripSize(tif, 0);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    bool ok = true;
    for (std::uint32_t y = 0, strip = 0; y < height && ok; y += rows_per_strip, ++strip) {
        const std::uint32_t rows = std::min(rows_per_strip, height - y);
        ok = TIFFWriteEncodedStrip(tif, strip,
                                   const_cast<std::uint16_t*>(&pixels[std::size_t{y} * width]),
                                   static_cast<tmsize_t>(std::size_t{rows} * width * 2)) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

// Where a tile of the cut mode lies in the specimen: its pixel (x, y) shows
// specimen column u0 + step * x, row v0 + y.
struct specimen_window {
    long u0 = 0;
    long step = 1;  // -1 for a tile, which orvane flips back
    long v0 = 0;
    std::size_t width = 0, height = 0;
};

// The blobs' signal over one window of the specimen. Every window computes a
// specimen pixel from the same numbers in the same order, so two tiles, or a
// tile and the mosaic, that show one place get the very same value there.
void specimen_signal(std::vector<float>& signal, const specimen_window& win, const tables& t,
                     const std::vector<blob>& blobs, int slice, double slice_step, int grid_period)
{
    const long w = static_cast<long>(win.width), h = static_cast<long>(win.height);
    signal.assign(win.width * win.height, 0.0f);
    if (grid_period > 0) {
        // Lines 4 pixels wide every grid_period pixels across and down, in
        // the specimen's own coordinates: every tile shows the same grid.
        auto on_line = [&](long c) { return ((c % grid_period) + grid_period) % grid_period < 4; };
        for (long y = 0; y < h; ++y)
            for (long x = 0; x < w; ++x)
                if (on_line(win.u0 + win.step * x) || on_line(win.v0 + y))
                    signal[static_cast<std::size_t>(y) * win.width + x] = 3000.0f;
        return;
    }
    for (const blob& b : blobs) {
        const double dz = (slice - b.z) * slice_step;
        const double r2 = b.radius * b.radius;
        const double reach2 = blob_reach * r2 - dz * dz;
        if (reach2 <= 0.0)
            continue;
        const double reach = std::sqrt(reach2);
        const long u_lo = static_cast<long>(std::floor(b.x - reach));
        const long u_hi = static_cast<long>(std::ceil(b.x + reach));
        long x0 = win.step > 0 ? u_lo - win.u0 : win.u0 - u_hi;
        long x1 = win.step > 0 ? u_hi - win.u0 : win.u0 - u_lo;
        x0 = std::max(0L, x0);
        x1 = std::min(w - 1, x1);
        const long y0 = std::max(0L, static_cast<long>(std::floor(b.y - reach)) - win.v0);
        const long y1 = std::min(h - 1, static_cast<long>(std::ceil(b.y + reach)) - win.v0);
        if (x0 > x1 || y0 > y1)
            continue;
        const double to_step = falloff_steps / (blob_reach * r2);
        for (long y = y0; y <= y1; ++y) {
            const double dy = static_cast<double>(win.v0 + y) - b.y;
            const double row_d2 = dy * dy + dz * dz;
            float* out = &signal[static_cast<std::size_t>(y) * win.width];
            for (long x = x0; x <= x1; ++x) {
                const double dx = static_cast<double>(win.u0 + win.step * x) - b.x;
                const long step = static_cast<long>((dx * dx + row_d2) * to_step);
                if (step < falloff_steps)
                    out[x] += static_cast<float>(b.brightness) *
                              t.falloff[static_cast<std::size_t>(step)];
            }
        }
    }
}

// What the camera makes of a cut tile's light, in the sensor's own
// coordinates (the tile as written): each pixel times the light field, plus
// the dark field.
struct camera_fields {
    std::vector<float> light;
    std::vector<float> dark;
};

// The light of --falloff in either shape, and the dark offset of --dark
// with a gentle slope across the sensor, as a real camera's is not flat.
camera_fields make_camera(const settings& s)
{
    const std::size_t w = s.width, h = s.height;
    camera_fields c;
    c.light.assign(w * h, 1.0f);
    c.dark.assign(w * h, 0.0f);
    const double cx = (s.width - 1) / 2.0, cy = (s.height - 1) / 2.0;
    const double corner2 = cx * cx + cy * cy;
    std::vector<double> light(w * h, 1.0);
    double sum = 0.0;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const double dx = x - cx, dy = y - cy;
            double& l = light[y * w + x];
            if (s.falloff_sides) {
                // The optical axis lies off the sensor's centre, as it does on
                // a real microscope, so the two tiles meeting at a seam are
                // not equally dark there: the light falls to 1 - falloff at
                // the farther side, less at the nearer one.
                const double ax = 0.45 * (s.width - 1), ay = 0.48 * (s.height - 1);
                const double reach_x = std::max(ax, s.width - 1 - ax);
                const double reach_y = std::max(ay, s.height - 1 - ay);
                const double u = reach_x > 0 ? (x - ax) / reach_x : 0.0;
                const double v = reach_y > 0 ? (y - ay) / reach_y : 0.0;
                l = (1.0 - s.falloff * u * u) * (1.0 - s.falloff * v * v);
            } else if (corner2 > 0) {
                l = 1.0 - s.falloff * (dx * dx + dy * dy) / corner2;
            }
            sum += l;
        }
    // The sides shape is a flat field of mean 1: a correction by it gives
    // the specimen back at its own brightness, which the truth shows.
    const double scale = s.falloff_sides ? static_cast<double>(w * h) / sum : 1.0;
    const double wx = w > 1 ? 1.0 / static_cast<double>(w - 1) : 0.0;
    const double wy = h > 1 ? 1.0 / static_cast<double>(h - 1) : 0.0;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            c.light[y * w + x] = static_cast<float>(light[y * w + x] * scale);
            const double slope =
                0.7 * static_cast<double>(x) * wx + 0.3 * static_cast<double>(y) * wy;
            c.dark[y * w + x] = static_cast<float>(s.dark * (0.9 + 0.2 * slope));
        }
    return c;
}

// Pixels from a window's signal: read and shot noise as render_tile adds
// them (unless noise_free), all times gain; with a camera, the signal alone
// times gain and light, over the camera's offset and its dark field,
// rounded once.
void cut_pixels(std::vector<std::uint16_t>& pixels, const std::vector<float>& signal, std::size_t w,
                std::size_t h, const tables& t, bool noise_free, float gain, unsigned noise_seed,
                const camera_fields* camera = nullptr)
{
    pixels.resize(w * h);
    std::mt19937 rng(noise_seed);
    const std::size_t span = t.background.size() - std::min(w, t.background.size() / 2);
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t start = rng() % span;
        const std::int32_t* noise = &t.background[start];
        const float* shot = &t.shot[(start * 7) % span];
        const float* in = &signal[y * w];
        std::uint16_t* out = &pixels[y * w];
        for (std::size_t x = 0; x < w; ++x) {
            float v =
                noise_free ? static_cast<float>(background_level) : static_cast<float>(noise[x]);
            if (camera) {
                // The camera's offset and read noise are no light: only the
                // specimen's signal is shaded by the light and the column's
                // gain, and its shot noise grows with what arrives.
                const std::size_t i = y * w + x;
                const float arrived = in[x] > 1.0f ? gain * camera->light[i] * in[x] : 0.0f;
                if (arrived > 0.0f)
                    v += noise_free ? arrived
                                    : arrived + static_cast<float>(shot_spread) *
                                                    std::sqrt(arrived) * shot[x];
                v += camera->dark[i] + 0.5f;
                out[x] = static_cast<std::uint16_t>(std::clamp(v, 0.0f, 65535.0f));
                continue;
            }
            if (in[x] > 1.0f)
                v += noise_free
                         ? in[x]
                         : in[x] + static_cast<float>(shot_spread) * std::sqrt(in[x]) * shot[x];
            out[x] = static_cast<std::uint16_t>(std::clamp(gain * v, 0.0f, 65535.0f));
        }
    }
}

// The cut mode's specimen: blobs over every place some tile shows, as dense
// as in the plain mode.
struct specimen {
    long width = 0;  // columns of the mosaic, P * columns
    long u_min = 0, u_max = 0, v_min = 0, v_max = 0;
    std::vector<blob> blobs;
};

specimen make_specimen(const settings& s, double size_unit, double depth, double margin)
{
    specimen sp;
    const long pitch = static_cast<long>(s.width) - 2L * s.xoverlap;
    const long last_shift = static_cast<long>(s.yoffset) * (s.columns - 1);
    sp.width = pitch * s.columns;
    sp.u_min = -s.xoverlap;
    sp.u_max = sp.width + s.xoverlap;
    sp.v_min = std::min(0L, last_shift);
    sp.v_max = static_cast<long>(s.height) + std::max(0L, last_shift);
    // A drifting cut may show this much more on every side.
    sp.u_min -= s.drift, sp.u_max += s.drift;
    sp.v_min -= s.drift, sp.v_max += s.drift;
    const double specimen_w = static_cast<double>(sp.u_max - sp.u_min);
    const double specimen_h = static_cast<double>(sp.v_max - sp.v_min);
    std::mt19937 rng(s.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double area = specimen_w * specimen_h / (4096.0 * size_unit * size_unit);
    const int count =
        std::max(1, static_cast<int>(blobs_per_tile_slice * s.density * area * depth));
    for (int b = 0; b < count; ++b)
        sp.blobs.push_back({static_cast<double>(sp.u_min) + unit(rng) * specimen_w,
                            static_cast<double>(sp.v_min) + unit(rng) * specimen_h,
                            unit(rng) * depth - margin, (0.1 + unit(rng) * 2.0) * size_unit,
                            1500.0 + unit(rng) * 20000.0});
    return sp;
}

// Where a column's cut lies in one slice against its nominal place (the
// shift orvane must add to put it back), and how bright the column is.
struct column_state {
    long dx = 0, dy = 0;
    double gain = 1.0;
};

// Every column's state in every slice, column after column: the gains of
// --column-gain and --brightness-step, and the walk of --drift. Column 0
// stays where it is, as orvane keeps it.
std::vector<column_state> column_states(const settings& s)
{
    std::vector<column_state> states(static_cast<std::size_t>(s.columns) * s.slices);
    std::vector<double> spread(static_cast<std::size_t>(s.columns), 0.0);
    if (s.column_gain_spread > 0.0) {
        // Spread evenly about their mean, the largest at +-SPREAD exactly.
        std::mt19937 rng(s.seed * 131u + 7u);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        double mean = 0.0, largest = 0.0;
        for (double& u : spread)
            mean += (u = unit(rng)) / s.columns;
        for (double& u : spread)
            largest = std::max(largest, std::abs(u -= mean));
        for (double& u : spread)
            u = largest > 0.0 ? s.column_gain_spread * u / largest : 0.0;
    }
    std::mt19937 walk(s.seed * 977u + 3u);
    std::uniform_int_distribution<long> start(-s.drift, s.drift), step(-1, 1);
    for (int column = 0; column < s.columns; ++column) {
        long dx = 0, dy = 0;
        if (s.drift > 0 && column > 0)
            dx = start(walk), dy = start(walk);
        for (int slice = 0; slice < s.slices; ++slice) {
            if (s.drift > 0 && column > 0 && slice > 0) {
                dx = std::clamp(dx + step(walk), -static_cast<long>(s.drift), long{s.drift});
                dy = std::clamp(dy + step(walk), -static_cast<long>(s.drift), long{s.drift});
            }
            column_state& c = states[static_cast<std::size_t>(column) * s.slices + slice];
            c.dx = dx, c.dy = dy;
            c.gain = std::pow(1.0 + s.brightness_step, column) *
                     (1.0 + spread[static_cast<std::size_t>(column)]);
        }
    }
    return states;
}

// Tile column j, cut so that orvane's trim, shift and flip put it back: its
// pixel (x, y) is specimen column P * j + W - X - 1 - x + dx, row
// y + Y * j + dy for the column's drift (dx, dy).
void render_cut_tile(std::vector<std::uint16_t>& pixels, const settings& s, const tables& t,
                     const specimen& sp, int column, int slice, double slice_step,
                     const column_state& state, const camera_fields* camera)
{
    specimen_window win;
    const long pitch = static_cast<long>(s.width) - 2L * s.xoverlap;
    win.u0 = pitch * column + static_cast<long>(s.width) - s.xoverlap - 1 + state.dx;
    win.step = -1;
    win.v0 = static_cast<long>(s.yoffset) * column + state.dy;
    win.width = s.width;
    win.height = s.height;
    std::vector<float> signal;
    specimen_signal(signal, win, t, sp.blobs, slice, slice_step, s.grid_period);
    cut_pixels(pixels, signal, s.width, s.height, t, s.noise_free, static_cast<float>(state.gain),
               s.seed * 7919u + static_cast<unsigned>(column) * 104729u +
                   static_cast<unsigned>(slice),
               camera);
}

// The mosaic orvane makes of a noise-free cut with -x X -y Y: the specimen
// where a tile lands, 0 in the rows a shifted column leaves uncovered.
void render_truth(std::vector<std::uint16_t>& pixels, const settings& s, const tables& t,
                  const specimen& sp, int slice, double slice_step)
{
    specimen_window win;
    win.width = static_cast<std::size_t>(sp.width);
    win.height = s.height;
    std::vector<float> signal;
    specimen_signal(signal, win, t, sp.blobs, slice, slice_step, s.grid_period);
    cut_pixels(pixels, signal, win.width, win.height, t, true, 1.0f, 0);
    const long pitch = static_cast<long>(s.width) - 2L * s.xoverlap;
    for (std::size_t y = 0; y < win.height; ++y)
        for (std::size_t x = 0; x < win.width; ++x) {
            const long tile_row = static_cast<long>(y) -
                                  static_cast<long>(s.yoffset) * (static_cast<long>(x) / pitch);
            if (tile_row < 0 || tile_row >= static_cast<long>(s.height))
                pixels[y * win.width + x] = 0;
        }
}

// What every tile shows alike because it belongs to the camera, not the
// specimen: brightness falling as the squared distance from the centre, to
// 1 - falloff at the corners, then dead lines at 0.
void apply_sensor(std::vector<std::uint16_t>& pixels, const settings& s)
{
    const double cx = (s.width - 1) / 2.0, cy = (s.height - 1) / 2.0;
    const double corner2 = cx * cx + cy * cy;
    // With a camera the light was drawn with the rest, in floating point.
    for (std::uint32_t y = 0; y < s.height && s.falloff > 0.0 && !s.camera(); ++y)
        for (std::uint32_t x = 0; x < s.width; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            const double gain = 1.0 - s.falloff * (corner2 > 0 ? r2 / corner2 : 0.0);
            std::uint16_t& v = pixels[std::size_t{y} * s.width + x];
            v = static_cast<std::uint16_t>(std::lround(v * gain));
        }
    for (const long row : s.dead_rows)
        std::fill_n(&pixels[static_cast<std::size_t>(row) * s.width], s.width, std::uint16_t{0});
    for (const long column : s.dead_columns)
        for (std::uint32_t y = 0; y < s.height; ++y)
            pixels[std::size_t{y} * s.width + static_cast<std::size_t>(column)] = 0;
}

// The sensor pixels stuck at full scale: the same places in every tile of
// every column and slice, as the camera's defects do not move.
std::vector<std::size_t> hot_pixel_places(const settings& s)
{
    const std::size_t pixels = std::size_t{s.width} * s.height;
    const auto count = static_cast<std::size_t>(std::llround(s.hot_pixels * pixels));
    std::mt19937 rng(s.seed * 31u + 17u);
    std::vector<std::size_t> places;
    for (std::size_t i = 0; i < count; ++i)
        places.push_back(rng() % pixels);
    return places;
}

}  // namespace

int main(int argc, char** argv)
{
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--lzw")
            s.lzw = true;
        else if (arg == "--stats")
            s.stats = true;
        else if (arg == "-o" && has_value)
            s.out = argv[++i];
        else if (arg == "-s" && has_value)
            s.columns = std::atoi(argv[++i]);
        else if (arg == "-n" && has_value)
            s.slices = std::atoi(argv[++i]);
        else if (arg == "-w" && has_value)
            s.width = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        else if (arg == "-h" && has_value)
            s.height = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        else if (arg == "--seed" && has_value)
            s.seed = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (arg == "--overlap" && has_value)
            s.cut = true, s.xoverlap = std::atoi(argv[++i]);
        else if (arg == "--shift" && has_value)
            s.cut = true, s.yoffset = std::atoi(argv[++i]);
        else if (arg == "--brightness-step" && has_value)
            s.cut = true, s.brightness_step = std::atof(argv[++i]);
        else if (arg == "--noise-free")
            s.cut = true, s.noise_free = true;
        else if (arg == "--truth")
            s.cut = true, s.truth = true;
        else if (arg == "--hot-pixels" && has_value)
            s.hot_pixels = std::atof(argv[++i]);
        else if (arg == "--grid" && has_value)
            s.cut = true, s.grid_period = std::atoi(argv[++i]);
        else if (arg == "--dead-row" && has_value)
            s.dead_rows.push_back(std::atol(argv[++i]));
        else if (arg == "--dead-column" && has_value)
            s.dead_columns.push_back(std::atol(argv[++i]));
        else if (arg == "--falloff" && has_value)
            s.falloff = std::atof(argv[++i]);
        else if (arg == "--blank")
            s.blank = true;
        else if (arg == "--contrast" && has_value)
            s.contrast = std::atof(argv[++i]);
        else if (arg == "--falloff-shape" && has_value) {
            const std::string shape = argv[++i];
            if (shape != "sides" && shape != "corners")
                return usage();
            s.cut = true, s.falloff_sides = shape == "sides";
        } else if (arg == "--dark" && has_value)
            s.cut = true, s.dark = std::atof(argv[++i]);
        else if (arg == "--column-gain" && has_value)
            s.cut = true, s.column_gain_spread = std::atof(argv[++i]);
        else if (arg == "--drift" && has_value)
            s.cut = true, s.drift = std::atoi(argv[++i]);
        else if (arg == "--density" && has_value)
            s.cut = true, s.density = std::atof(argv[++i]);
        else
            return usage();
    }
    if (s.out.empty() || s.columns < 1 || s.slices < 1 || s.width < 1 || s.height < 1 ||
        s.hot_pixels < 0.0 || s.hot_pixels > 1.0 || s.grid_period < 0 || s.falloff < 0.0 ||
        s.falloff >= 1.0 || s.contrast < 0.0 || s.dark < 0.0 || s.dark > 60000.0 ||
        s.column_gain_spread < 0.0 || s.column_gain_spread >= 1.0 || s.drift < 0 ||
        s.density <= 0.0 || s.density > 100.0)
        return usage();
    for (const long row : s.dead_rows)
        if (row < 0 || row >= static_cast<long>(s.height))
            return usage();
    for (const long column : s.dead_columns)
        if (column < 0 || column >= static_cast<long>(s.width))
            return usage();
    if (s.cut && (s.xoverlap < 0 || 2L * s.xoverlap >= static_cast<long>(s.width)))
        return usage();

    TIFFSetWarningHandler(nullptr);
    const std::string tiles = s.out + "/tiles";
    std::error_code error;
    std::filesystem::create_directories(tiles, error);

    const auto started = std::chrono::steady_clock::now();
    const tables t(s.seed);
    std::mt19937 rng(s.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    // Cells of a few sizes scattered through the volume. Sizes, depth and count
    // follow the tile size, so a smaller acquisition looks like a scaled-down
    // larger one and compresses alike.
    const double size_unit = std::min(s.width, s.height) / 64.0;
    const double slice_step = size_unit * 0.5;  // pixels of depth per slice
    std::vector<blob> blobs;
    // Blobs centred up to a few slices outside the stack still reach into it:
    // without them the first and last slices, and short stacks, would be darker.
    const double margin = 6.0;
    const double depth = s.slices + 2.0 * margin;
    // Count per area of a square tile, so tall or wide tiles are as dense.
    const double area = static_cast<double>(s.width) * s.height / (4096.0 * size_unit * size_unit);
    const int blob_count =
        std::max(1, static_cast<int>(blobs_per_tile_slice * area * s.columns * depth));
    for (int b = 0; b < blob_count && !s.cut && !s.blank; ++b)
        blobs.push_back({unit(rng) * s.width * s.columns, unit(rng) * s.height,
                         unit(rng) * depth - margin, (0.1 + unit(rng) * 2.0) * size_unit,
                         1500.0 + unit(rng) * 20000.0});
    specimen cut_specimen = s.cut ? make_specimen(s, size_unit, depth, margin) : specimen{};
    if (s.blank)
        cut_specimen.blobs.clear(), blobs.clear(), s.grid_period = 0;
    for (std::vector<blob>* list : {&blobs, &cut_specimen.blobs})
        for (blob& b : *list)
            b.brightness *= s.contrast;

    const std::vector<std::size_t> hot = hot_pixel_places(s);
    const std::vector<column_state> states = column_states(s);
    const camera_fields camera = s.camera() ? make_camera(s) : camera_fields{};
    std::ofstream list(s.out + "/list.txt");
    std::vector<std::uint16_t> pixels(std::size_t{s.width} * s.height);
    double raw_bytes = 0.0, probe_raw = 0.0, probe_lzw = 0.0;
    for (int column = 0; column < s.columns; ++column) {
        for (int slice = 0; slice < s.slices; ++slice) {
            char name[64];
            std::snprintf(name, sizeof name, "tile_c%02d_z%04d.tif", column, slice);
            const std::string path = tiles + "/" + name;
            if (s.cut)
                render_cut_tile(pixels, s, t, cut_specimen, column, slice, slice_step,
                                states[static_cast<std::size_t>(column) * s.slices + slice],
                                s.camera() ? &camera : nullptr);
            else
                render_tile(pixels, s, t, blobs, column, slice, slice_step);
            apply_sensor(pixels, s);
            for (const std::size_t place : hot)
                pixels[place] = 65535;
            if (!write_tiff(path, pixels, s.width, s.height, s.lzw)) {
                std::fprintf(stderr, "orvane_make_acquisition: cannot write %s\n", path.c_str());
                return 1;
            }
            raw_bytes += 2.0 * static_cast<double>(pixels.size());
            // The middle slice of each column, LZW-encoded on the side, tells
            // how compressible the content is whatever the tiles' own format.
            if (s.stats && slice == s.slices / 2) {
                const std::string probe = s.out + "/lzw_probe.tif";
                if (write_tiff(probe, pixels, s.width, s.height, true)) {
                    probe_raw += 2.0 * static_cast<double>(pixels.size());
                    probe_lzw += static_cast<double>(std::filesystem::file_size(probe, error));
                }
                std::filesystem::remove(probe, error);
            }
            list << path << "\n";
        }
    }
    list.close();
    if (s.truth) {
        const std::string truth_dir = s.out + "/truth";
        std::filesystem::create_directories(truth_dir, error);
        std::ofstream places(truth_dir + "/columns.csv");
        places << "slice,column,dx,dy,gain\n";
        for (int slice = 0; slice < s.slices; ++slice)
            for (int column = 0; column < s.columns; ++column) {
                const column_state& c = states[static_cast<std::size_t>(column) * s.slices + slice];
                char row[96];
                std::snprintf(row, sizeof row, "%d,%d,%ld,%ld,%.6f\n", slice, column, c.dx, c.dy,
                              c.gain);
                places << row;
            }
        places.close();
        if (!places) {
            std::fprintf(stderr, "orvane_make_acquisition: cannot write %s/columns.csv\n",
                         truth_dir.c_str());
            return 1;
        }
        std::vector<std::uint16_t> mosaic;
        for (int slice = 0; slice < s.slices; ++slice) {
            char name[64];
            std::snprintf(name, sizeof name, "/truth_z%04d.tif", slice);
            render_truth(mosaic, s, t, cut_specimen, slice, slice_step);
            const auto width = static_cast<std::uint32_t>(cut_specimen.width);
            if (!write_tiff(truth_dir + name, mosaic, width, s.height, false)) {
                std::fprintf(stderr, "orvane_make_acquisition: cannot write %s%s\n",
                             truth_dir.c_str(), name);
                return 1;
            }
        }
    }
    if (s.stats) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("tiles %d, raw %.1f MB, %.2f s, %.0f MB/s, lzw ratio %.3f\n",
                    s.columns * s.slices, raw_bytes / 1e6, seconds, raw_bytes / 1e6 / seconds,
                    probe_lzw > 0 ? probe_raw / probe_lzw : 0.0);
    }
    return list.good() ? 0 : 1;
}
