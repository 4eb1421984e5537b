// The smooth models of the flat-field estimate and their robust least-squares fit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane::flat_detail {

// The most terms a model has.
constexpr std::size_t max_terms = 14;
using terms = std::array<double, max_terms>;

// A smooth function over the tile, in u = 2x / (W - 1) - 1 and
// v = 2y / (H - 1) - 1, as a sum of coefficient times term.
enum class model {
    // The dark field without its constant: u, v, u^2, uv, v^2.
    dark,
    // The flat field over its value at the centre, less 1: u, v, u^2, v^2,
    // light falling as the squared distance from a centre anywhere on the
    // tile, faster along one axis than the other. The overlaps fix the
    // squares (their slopes differ across a seam); the linear terms shift
    // both sides of a seam alike, so the tiles' brightness fixes those.
    shading,
};

std::size_t term_count(model m);
terms evaluate(model m, double u, double v);

// One equation of a fit: the terms' sum, plus the unknown offset of its
// group, equals value. Equations of one kind share a residual scale.
struct equation {
    terms x{};
    double value = 0;
    double weight = 1;  // before the robust weight
    std::int32_t group = 0;
    std::int32_t kind = 0;
};

struct fit_result {
    std::vector<double> coefficients;
    std::vector<double> offsets;  // per group
};

// Iteratively reweighted least squares: Huber weights first, then Tukey's
// biweight, each kind's residual scale from its median absolute residual,
// so that equations which the specimen's structure spoils count for little.
// Directions the equations do not fix stay near 0 (a slight ridge). The
// result depends on the order of the equations alone.
fit_result robust_fit(const std::vector<equation>& equations, std::size_t term_count,
                      std::int32_t groups, std::int32_t kinds);

// What the data say of S = 1 + sum of coefficient times shading term: for a
// pair, log S(a) - log S(b), for a block, log S(a), each plus its group's
// unknown offset, equals value.
struct observation {
    double ua = 0, va = 0, ub = 0, vb = 0;
    bool pair = false;
    double value = 0;
    double weight = 1;
    std::int32_t group = 0;
    std::int32_t kind = 0;
};

// S's coefficients, by Gauss-Newton steps of robust_fit on the logarithm.
std::vector<double> fit_flat(const std::vector<observation>& observations, std::int32_t groups,
                             std::int32_t kinds);

// S at (u, v): never below a twentieth, whatever the coefficients.
double flat_at(const std::vector<double>& coefficients, double u, double v);

}  // namespace orvane::flat_detail
