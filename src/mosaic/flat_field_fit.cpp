// Robust least squares of smooth models over the tile, with an unknown offset per group of
// equations.
#include "mosaic/flat_field_fit.hpp"

#include <algorithm>
#include <cmath>

namespace orvane::flat_detail {

namespace {

constexpr int huber_rounds = 4;
constexpr int tukey_rounds = 6;
constexpr double huber_k = 1.5;
constexpr double tukey_c = 4.685;
constexpr double ridge = 1e-6;
constexpr int gauss_newton_steps = 6;
// How firmly the tilt is held at 0 where neither the overlaps nor the
// brightness fix it (a perfect acquisition, where S has no curvature).
constexpr double tilt_prior = 100.0;

// Solves the symmetric system a x = b (n x n, row-major) by Cholesky; a
// direction with no weight is left at 0.
std::vector<double> solve(std::vector<double> a, std::vector<double> b, std::size_t n)
{
    for (std::size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (std::size_t k = 0; k < j; ++k)
            d -= a[j * n + k] * a[j * n + k];
        if (d <= 1e-300) {
            for (std::size_t i = j; i < n; ++i)
                a[i * n + j] = 0;
            a[j * n + j] = 0;
            continue;
        }
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k)
                s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / d;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        double s = b[i];
        for (std::size_t k = 0; k < i; ++k)
            s -= a[i * n + k] * b[k];
        b[i] = a[i * n + i] > 0 ? s / a[i * n + i] : 0;
    }
    for (std::size_t i = n; i-- > 0;) {
        double s = b[i];
        for (std::size_t k = i + 1; k < n; ++k)
            s -= a[k * n + i] * b[k];
        b[i] = a[i * n + i] > 0 ? s / a[i * n + i] : 0;
    }
    return b;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// The weighted least-squares fit of the terms, each group's offset taken
// out by centring its equations on their weighted means.
fit_result weighted_fit(const std::vector<equation>& eqs, const std::vector<double>& w,
                        std::size_t n, std::int32_t groups)
{
    const auto g_count = static_cast<std::size_t>(groups);
    std::vector<double> sum_w(g_count, 0), sum_v(g_count, 0), sum_x(g_count * n, 0);
    for (std::size_t e = 0; e < eqs.size(); ++e) {
        if (eqs[e].group < 0)
            continue;
        const auto g = static_cast<std::size_t>(eqs[e].group);
        sum_w[g] += w[e];
        sum_v[g] += w[e] * eqs[e].value;
        for (std::size_t k = 0; k < n; ++k)
            sum_x[g * n + k] += w[e] * eqs[e].x[k];
    }
    std::vector<double> a(n * n, 0), b(n, 0), xc(n);
    for (std::size_t e = 0; e < eqs.size(); ++e) {
        const bool grouped = eqs[e].group >= 0;
        const auto g = static_cast<std::size_t>(std::max(eqs[e].group, 0));
        if (w[e] <= 0 || (grouped && sum_w[g] <= 0))
            continue;
        for (std::size_t k = 0; k < n; ++k)
            xc[k] = eqs[e].x[k] - (grouped ? sum_x[g * n + k] / sum_w[g] : 0.0);
        const double vc = eqs[e].value - (grouped ? sum_v[g] / sum_w[g] : 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            b[i] += w[e] * xc[i] * vc;
            for (std::size_t k = 0; k <= i; ++k)
                a[i * n + k] += w[e] * xc[i] * xc[k];
        }
    }
    double trace = 0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k)
            a[k * n + i] = a[i * n + k];
        trace += a[i * n + i];
    }
    for (std::size_t i = 0; i < n; ++i)
        a[i * n + i] += ridge * trace / static_cast<double>(std::max<std::size_t>(n, 1)) + 1e-300;
    fit_result r;
    r.coefficients = solve(a, b, n);
    r.offsets.assign(g_count, 0);
    for (std::size_t g = 0; g < g_count; ++g) {
        if (sum_w[g] <= 0)
            continue;
        double o = sum_v[g];
        for (std::size_t k = 0; k < n; ++k)
            o -= r.coefficients[k] * sum_x[g * n + k];
        r.offsets[g] = o / sum_w[g];
    }
    return r;
}

}  // namespace

std::size_t term_count(model m) { return m == model::dark ? 2 : 4; }

terms evaluate(model m, double u, double v)
{
    terms t{};
    const double u2 = u * u, v2 = v * v;
    if (m == model::dark) {
        t = {u, v};
        return t;
    }
    t = {u, v, u2, v2};
    return t;
}

fit_result robust_fit(const std::vector<equation>& equations, std::size_t term_count,
                      std::int32_t groups, std::int32_t kinds)
{
    std::vector<double> w(equations.size());
    for (std::size_t e = 0; e < equations.size(); ++e)
        w[e] = equations[e].weight;
    fit_result r = weighted_fit(equations, w, term_count, groups);
    for (int round = 0; round < huber_rounds + tukey_rounds; ++round) {
        std::vector<double> residual(equations.size());
        std::vector<std::vector<double>> by_kind(static_cast<std::size_t>(kinds));
        for (std::size_t e = 0; e < equations.size(); ++e) {
            const equation& q = equations[e];
            double fitted = q.group >= 0 ? r.offsets[static_cast<std::size_t>(q.group)] : 0.0;
            for (std::size_t k = 0; k < term_count; ++k)
                fitted += r.coefficients[k] * q.x[k];
            residual[e] = q.value - fitted;
            if (q.weight > 0 && q.kind >= 0)
                by_kind[static_cast<std::size_t>(q.kind)].push_back(std::abs(residual[e]));
        }
        std::vector<double> scale(by_kind.size());
        for (std::size_t k = 0; k < by_kind.size(); ++k)
            scale[k] = std::max(1.4826 * median(by_kind[k]), 1e-9);
        for (std::size_t e = 0; e < equations.size(); ++e) {
            if (equations[e].kind < 0)
                continue;
            const double s = scale[static_cast<std::size_t>(equations[e].kind)];
            const double z = std::abs(residual[e]) / s;
            double robust = 0;
            if (round < huber_rounds)
                robust = z <= huber_k ? 1.0 : huber_k / z;
            else if (z < tukey_c)
                robust = (1 - (z / tukey_c) * (z / tukey_c)) * (1 - (z / tukey_c) * (z / tukey_c));
            // Each kind counts by its own scale: precise equations outweigh rough ones.
            w[e] = equations[e].weight * robust / (s * s);
        }
        r = weighted_fit(equations, w, term_count, groups);
    }
    return r;
}

double flat_at(const std::vector<double>& coefficients, double u, double v)
{
    const terms t = evaluate(model::shading, u, v);
    double s = 1;
    for (std::size_t k = 0; k < coefficients.size(); ++k)
        s += coefficients[k] * t[k];
    return std::max(s, 0.05);
}

std::vector<double> fit_flat(const std::vector<observation>& observations, std::int32_t groups,
                             std::int32_t kinds)
{
    const std::size_t n = term_count(model::shading);
    std::vector<double> c(n, 0.0);
    std::vector<equation> eqs(observations.size());
    for (int step = 0; step < gauss_newton_steps; ++step) {
        // log S(c + dc) = log S(c) + sum dc_k term_k / S(c), to first order.
        for (std::size_t i = 0; i < observations.size(); ++i) {
            const observation& o = observations[i];
            equation& e = eqs[i];
            const double sa = flat_at(c, o.ua, o.va);
            const terms ta = evaluate(model::shading, o.ua, o.va);
            e.value = o.value - std::log(sa);
            for (std::size_t k = 0; k < n; ++k)
                e.x[k] = ta[k] / sa;
            if (o.pair) {
                const double sb = flat_at(c, o.ub, o.vb);
                const terms tb = evaluate(model::shading, o.ub, o.vb);
                e.value += std::log(sb);
                for (std::size_t k = 0; k < n; ++k)
                    e.x[k] -= tb[k] / sb;
            }
            e.weight = o.weight;
            e.group = o.group;
            e.kind = o.kind;
        }
        // The tilt is held near 0 unless the data say otherwise.
        std::vector<equation> all = eqs;
        for (std::size_t k = 0; k < 2; ++k) {
            equation p;
            p.x[k] = 1;
            p.value = -c[k];
            p.weight = tilt_prior;
            p.group = -1;
            p.kind = -1;
            all.push_back(p);
        }
        const fit_result r = robust_fit(all, n, groups, kinds);
        for (std::size_t k = 0; k < n; ++k)
            c[k] += r.coefficients[k];
    }
    return c;
}

}  // namespace orvane::flat_detail
