// The joint fit of an exposure's extensions: a pass per extension and fit (on
// any thread), then the joint equations solved by eliminating each extension's
// own three numbers, on the calling thread in the extensions' order.
#include "exposure_fit.h"

#include "fit_lean.h"
#include "lufit.h"
#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The extension's own numbers: the constant and the two gradients.
constexpr int OWN = 3;

// A square matrix of doubles indexed from 1, as lu_decompose takes it.
class Square {
  public:
    explicit Square(int n) : cells_(size_t(n + 1) * size_t(n + 1), 0.0), rows_(size_t(n) + 1)
    {
        for (int i = 0; i <= n; i++) rows_[size_t(i)] = cells_.data() + size_t(i) * size_t(n + 1);
    }
    double &at(int i, int j) { return rows_[size_t(i)][j]; }
    double **rows() { return rows_.data(); }

  private:
    std::vector<double> cells_;
    std::vector<double *> rows_;
};

// One extension of the exposure between its fits.
struct Member {
    explicit Member(const FitGeometry &g)
        : sums(g), model(size_t(g.npar) + 1, 0.0), acc(size_t(g.npar) + 1, 0.0), own_shared(size_t(g.nfringe) * OWN),
          own_rhs(OWN)
    {
    }
    int extn = 0;
    ClippedSums sums;
    std::vector<double> model, acc; // [1..npar]: the model so far, the coefficients as the table shows them
    float limit = 0.0f;             // the clip of the next pass
    int nfit = 0;                   // the pixels of the fit at hand
    // A^-1 B (column k at k * OWN) and A^-1 b of the fit at hand.
    std::vector<double> own_shared, own_rhs;
};

// The element (i, j) of the extension's normal matrix, 0-based, either triangle.
double gram(const Member &m, int i, int j) { return i >= j ? m.sums.gram(i, j) : m.sums.gram(j, i); }

// A^-1 B and A^-1 b of the member's fit at hand; false when A is singular.
bool eliminate_own(const FitGeometry &g, Member &m)
{
    Square a(OWN);
    for (int i = 0; i < OWN; i++)
        for (int j = 0; j < OWN; j++) a.at(i + 1, j + 1) = gram(m, i, j);
    int indx[OWN + 1];
    double parity;
    if (!lu_decompose(a.rows(), OWN, indx, &parity)) return false;
    double column[OWN + 1];
    for (int k = 0; k <= g.nfringe; k++) {
        for (int i = 0; i < OWN; i++)
            column[i + 1] = k < g.nfringe ? gram(m, i, OWN + k) : m.sums.latest().rhs[size_t(i)];
        lubksb(a.rows(), OWN, indx, column);
        double *to = k < g.nfringe ? &m.own_shared[size_t(k) * OWN] : m.own_rhs.data();
        for (int i = 0; i < OWN; i++) to[i] = column[i + 1];
    }
    return true;
}

// The amplitudes' step of the fit at hand: S g = t over every member, added in
// the members' order; false when S is singular.
bool solve_shared(const FitGeometry &g, const std::vector<Member> &members, double *step)
{
    const int nf = g.nfringe;
    Square s(nf);
    std::vector<double> t(size_t(nf) + 1, 0.0);
    for (const Member &m : members)
        for (int k = 0; k < nf; k++) {
            double reduced = m.sums.latest().rhs[size_t(OWN + k)];
            for (int i = 0; i < OWN; i++) reduced -= gram(m, i, OWN + k) * m.own_rhs[size_t(i)];
            t[size_t(k) + 1] += reduced;
            for (int l = 0; l < nf; l++) {
                double cell = gram(m, OWN + k, OWN + l);
                for (int i = 0; i < OWN; i++) cell -= gram(m, i, OWN + k) * m.own_shared[size_t(l) * OWN + size_t(i)];
                s.at(k + 1, l + 1) += cell;
            }
        }
    // A pivot lost in rounding against the largest diagonal element is no
    // pivot: two frames alike (a copy named twice) give one of rounding only.
    double scale = 0.0;
    for (int k = 1; k <= nf; k++) scale = std::max(scale, std::fabs(s.at(k, k)));
    std::vector<int> indx(size_t(nf) + 1);
    double parity;
    if (!lu_decompose(s.rows(), nf, indx.data(), &parity)) return false;
    for (int k = 1; k <= nf; k++)
        if (!(std::fabs(s.at(k, k)) > 1e-12 * scale)) return false;
    lubksb(s.rows(), nf, indx.data(), t.data());
    for (int k = 0; k < nf; k++) step[k] = t[size_t(k) + 1];
    return true;
}

// The member's step under the amplitudes' step, its chisq and sigma, the table's
// row of fit `iter`, and its model for the next pass.
void finish_fit(const FitGeometry &g, FitSettings settings, int iter, const double *shared, Member &m,
                std::vector<FitRow> &rows)
{
    std::vector<double> step(size_t(g.npar), 0.0);
    for (int i = 0; i < OWN; i++) {
        double own = m.own_rhs[size_t(i)];
        for (int k = 0; k < g.nfringe; k++) own -= m.own_shared[size_t(k) * OWN + size_t(i)] * shared[k];
        step[size_t(i)] = own;
    }
    for (int k = 0; k < g.nfringe; k++) step[size_t(OWN + k)] = shared[k];
    // sum w (r - u.s)^2 = sum w r^2 - 2 s.beta + s^T G s: the member's own rows
    // of the equations hold at the joint solution, the amplitudes' do not.
    const PassSums &sums = m.sums.latest();
    double fitted = 0.0, spread = 0.0;
    for (int i = 0; i < g.npar; i++) {
        fitted += step[size_t(i)] * sums.rhs[size_t(i)];
        double row = 0.0;
        for (int j = 0; j < g.npar; j++) row += gram(m, i, j) * step[size_t(j)];
        spread += step[size_t(i)] * row;
    }
    const double chisq = std::max(0.0, sums.squares - 2.0 * fitted + spread);
    const float sigma = float(std::sqrt(chisq / m.nfit));
    for (int i = 1; i <= g.npar; i++) {
        // What the first fit adds to a model of 0: its constant starts from the sky.
        m.acc[size_t(i)] += step[size_t(i - 1)] + (iter == 0 && i == 1 ? m.model[1] : 0.0);
        m.model[size_t(i)] += step[size_t(i - 1)];
    }
    m.limit = settings.clip * sigma;
    rows.push_back({m.extn, iter, sigma, m.nfit, m.acc});
}

} // namespace

bool exposure_fit(const FitGeometry &g, FitSettings settings, size_t count, int threads, const ExposureData &data,
                  const ExposurePassed &passed, ExposureFit *out, bool masks, const std::vector<double> *shared)
{
    *out = ExposureFit{};
    out->rows.resize(count);
    std::vector<Member> members(count, Member(g));
    std::vector<char> singular(count, 0);
    std::vector<double> step(size_t(g.nfringe));
    for (int iter = 0; iter < settings.iterations; iter++) {
        const size_t mask_bytes = masks ? size_t(g.npix) : 0;
        auto buffer = [mask_bytes] { return std::vector<unsigned char>(mask_bytes); };
        parallel_for(count, threads, buffer, [&](size_t j, std::vector<unsigned char> &mask) {
            Member &m = members[j];
            const ExtensionData x = data(j, mask);
            m.extn = x.extn;
            if (iter == 0) m.model[1] = sky_level(g, x);
            m.nfit = iter == 0 ? m.sums.first_pass(x, m.model.data()) : m.sums.later_pass(x, m.model.data(), double(m.limit));
            if (passed) passed(j);
            singular[j] = !eliminate_own(g, m);
        });
        for (size_t j = 0; j < count; j++)
            if (singular[j]) {
                out->singular_fit = iter;
                out->singular_extn = members[j].extn;
                return false;
            }
        if (shared) {
            for (int k = 0; k < g.nfringe; k++) step[size_t(k)] = (*shared)[size_t(iter) * size_t(g.nfringe) + size_t(k)];
        } else if (!solve_shared(g, members, step.data())) {
            out->singular_fit = iter;
            return false;
        }
        out->shared.insert(out->shared.end(), step.begin(), step.end());
        for (size_t j = 0; j < count; j++) finish_fit(g, settings, iter, step.data(), members[j], out->rows[j]);
    }
    for (Member &m : members) out->models.push_back(std::move(m.model));
    return true;
}

namespace {

constexpr char SHARED_LINE[] = "#shared ";

} // namespace

std::string recorded_rows(const std::string &rows, const std::vector<double> &shared)
{
    std::string text = rows + SHARED_LINE;
    char number[40];
    for (size_t i = 0; i < shared.size(); i++) {
        std::snprintf(number, sizeof number, "%s%a", i ? " " : "", shared[i]);
        text += number;
    }
    return text + "\n";
}

int64_t shared_line_bound(size_t steps) { return int64_t(sizeof SHARED_LINE) + 1 + int64_t(steps) * 26; }

std::string table_rows_of(const std::string &recorded, std::vector<double> *shared)
{
    if (shared) shared->clear();
    const size_t at = recorded.rfind(SHARED_LINE);
    if (at == std::string::npos || (at > 0 && recorded[at - 1] != '\n')) return recorded;
    if (shared) {
        const char *p = recorded.c_str() + at + sizeof SHARED_LINE - 1;
        for (;;) {
            char *end = nullptr;
            const double v = std::strtod(p, &end);
            if (end == p || !std::isfinite(v)) break;
            shared->push_back(v);
            p = end;
        }
        if (*p != '\n') shared->clear();
    }
    return recorded.substr(0, at);
}
