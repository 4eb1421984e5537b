// The fall-off fit: a robust least-squares polynomial surface through the blocks' levels.
#include "align/fall_off_fit.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace orvane::align {

namespace {

// The terms u^i v^j, i + j <= fall_off_degree, in a fixed order.
std::vector<std::pair<int, int>> terms()
{
    std::vector<std::pair<int, int>> t;
    for (int i = 0; i <= fall_off_degree; ++i)
        for (int j = 0; i + j <= fall_off_degree; ++j)
            t.emplace_back(i, j);
    return t;
}

double power(double base, int exponent)
{
    double result = 1.0;
    for (int e = 0; e < exponent; ++e)
        result *= base;
    return result;
}

// Solves a x = b (n x n, row-major) by elimination with partial pivoting;
// false when a is singular.
bool solve(std::vector<double> a, std::vector<double>& b)
{
    const auto n = b.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::abs(a[r * n + c]) > std::abs(a[pivot * n + c]))
                pivot = r;
        if (std::abs(a[pivot * n + c]) < 1e-12)
            return false;
        for (std::size_t k = 0; k < n; ++k)
            std::swap(a[c * n + k], a[pivot * n + k]);
        std::swap(b[c], b[pivot]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (std::size_t k = c; k < n; ++k)
                a[r * n + k] -= f * a[c * n + k];
            b[r] -= f * b[c];
        }
    }
    for (std::size_t c = n; c-- > 0;) {
        for (std::size_t k = c + 1; k < n; ++k)
            b[c] -= a[c * n + k] * b[k];
        b[c] /= a[c * n + c];
    }
    return true;
}

double median(std::vector<double> values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

bool fit_fall_off(const std::vector<fall_off_sample>& samples, fall_off_surface& out)
{
    const std::vector<std::pair<int, int>> t = terms();
    const std::size_t n = t.size();
    std::vector<bool> kept(samples.size(), true);
    std::vector<double> coefficients;
    for (int round = 0; round < 5; ++round) {
        std::vector<double> a(n * n, 0.0), b(n, 0.0), row(n);
        std::size_t used = 0;
        for (std::size_t s = 0; s < samples.size(); ++s) {
            if (!kept[s])
                continue;
            ++used;
            for (std::size_t k = 0; k < n; ++k)
                row[k] = power(samples[s].u, t[k].first) * power(samples[s].v, t[k].second);
            for (std::size_t r = 0; r < n; ++r) {
                b[r] += row[r] * samples[s].value;
                for (std::size_t c = 0; c < n; ++c)
                    a[r * n + c] += row[r] * row[c];
            }
        }
        if (used < 2 * n || !solve(a, b))
            return false;
        coefficients = b;
        auto at = [&](const fall_off_sample& s) {
            double v = 0.0;
            for (std::size_t k = 0; k < n; ++k)
                v += coefficients[k] * power(s.u, t[k].first) * power(s.v, t[k].second);
            return v;
        };
        std::vector<double> residuals;
        for (const fall_off_sample& s : samples)
            residuals.push_back(std::abs(s.value - at(s)));
        const double spread = 1.4826 * median(residuals);
        bool changed = false;
        for (std::size_t s = 0; s < samples.size(); ++s) {
            const bool keep = residuals[s] <= 3.0 * spread;
            changed = changed || keep != kept[s];
            kept[s] = keep;
        }
        if (!changed)
            break;
    }
    for (auto& r : out)
        r.fill(0.0);
    for (std::size_t k = 0; k < n; ++k)
        out[static_cast<std::size_t>(t[k].first)][static_cast<std::size_t>(t[k].second)] =
            coefficients[k];
    return true;
}

}  // namespace orvane::align
