/*
 * CIC droop compensation by derivative matching at DC.
 *
 * The normalised CIC response H(w) = [sin(w/2) / (R sin(w/(2R)))]^N has
 * ln(1/H) = sum_k a(k) w^(2k) / (2k)!, with a(k) = (1 - R^-2k) N |B(2k)| / (2k)
 * (B the Bernoulli numbers). From those coefficients we form target values
 * T(m) and ask the symmetric compensator's zero-phase response
 *     odd  count 2M+1: G(w) = c + sum_q 2 x(q) cos((q+1) w)
 *     even count 2M:   G(w) =     sum_q 2 x(q) cos((q+1/2) w)
 * for G(0) = 1 and even derivatives at DC equal to the targets: one linear
 * equation per free tap, solved by Gaussian elimination with partial pivoting
 * in fixed local storage (at most 9 x 9). Double precision throughout.
 */
#include "ciccomp.h"

#include <cmath>

namespace {

constexpr int kMaxFree = 9; // largest system: one equation per free tap

// B2, B4, ..., B18 with their signs; only magnitudes enter the design.
constexpr double _berno[kMaxFree] = {
    1.0 / 6.0,     -1.0 / 30.0,     1.0 / 42.0,       -1.0 / 30.0,      5.0 / 66.0,
    -691.0 / 2730.0, 7.0 / 6.0,     -3617.0 / 510.0,  43867.0 / 798.0,
};

// Solves A x = b in place: b receives x, A (n x n, row stride n) is destroyed.
// Pivots on the largest magnitude below the diagonal; ties keep the upper row.
void _solve(double *A, double *b, int n)
{
    if (n < 1)
        return;
    for (int i = 0; i < n; ++i) {
        int p = i;
        for (int k = i + 1; k < n; ++k)
            if (std::fabs(A[k * n + i]) > std::fabs(A[p * n + i]))
                p = k;
        if (p != i) {
            for (int j = 0; j < n; ++j) {
                const double t = A[i * n + j];
                A[i * n + j] = A[p * n + j];
                A[p * n + j] = t;
            }
            const double t = b[i];
            b[i] = b[p];
            b[p] = t;
        }
        for (int k = i + 1; k < n; ++k) {
            const double f = A[k * n + i] / A[i * n + i];
            for (int j = i; j < n; ++j)
                A[k * n + j] = A[k * n + j] - f * A[i * n + j];
            b[k] = b[k] - f * b[i];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        double s = b[r];
        for (int j = r + 1; j < n; ++j)
            s = s - A[r * n + j] * b[j];
        b[r] = s / A[r * n + r];
    }
}

} // namespace

extern "C" void ciccompmf(double *taps, uint32_t order, uint32_t ratio, uint32_t ntaps)
{
    if (!taps)
        return;
    const uint32_t limit = (ntaps & 1u) ? 19u : 18u;
    if (ntaps - 1u >= limit) { // also catches 0, which writes nothing
        for (uint32_t j = 0; j < ntaps; ++j)
            taps[j] = 0.0;
        return;
    }
    if (ntaps == 1) {
        taps[0] = 1.0;
        return;
    }

    const double N = static_cast<double>(order);
    const double R = static_cast<double>(ratio);

    // a[k-1] = 2k-th derivative of ln(1/H) at DC.
    double a[kMaxFree];
    for (int k = 1; k <= kMaxFree; ++k)
        a[k - 1] = ((1.0 - std::pow(R, -2.0 * k)) * (N * std::fabs(_berno[k - 1]))) / (2.0 * k);

    // T[m-1] = sum_{p=1..m} (2p-1) a(m+1-p)^p
    double T[kMaxFree];
    for (int m = 1; m <= kMaxFree; ++m) {
        double s = 0.0;
        for (int p = 1; p <= m; ++p)
            s = s + (2.0 * p - 1.0) * std::pow(a[m - p], static_cast<double>(p));
        T[m - 1] = s;
    }

    const bool odd = (ntaps & 1u) != 0;
    const int M = static_cast<int>(ntaps / 2);
    double A[kMaxFree * kMaxFree];
    double x[kMaxFree];

    if (odd) {
        // Row r: the 2(r+1)-th derivative of G at DC; the centre tap drops out.
        for (int r = 0; r < M; ++r) {
            const double sr = (r % 2 == 0) ? -2.0 : 2.0;
            for (int q = 0; q < M; ++q)
                A[r * M + q] = sr * std::pow(static_cast<double>(q + 1), 2.0 * (r + 1));
            x[r] = T[r];
        }
    } else {
        // Row 0: DC gain; row r >= 1: the 2r-th derivative of G at DC.
        for (int r = 0; r < M; ++r) {
            const double sr = (r % 2 == 0) ? 2.0 : -2.0;
            for (int q = 0; q < M; ++q)
                A[r * M + q] = sr * std::pow(static_cast<double>(q) + 0.5, 2.0 * r);
            x[r] = (r == 0) ? 1.0 : T[r - 1];
        }
    }
    _solve(A, x, M);

    for (int j = 0; j < M; ++j) {
        taps[j] = x[M - 1 - j];
        taps[ntaps - 1 - j] = x[M - 1 - j];
    }
    if (odd) {
        double c = 1.0;
        for (int q = 0; q < M; ++q)
            c = c - 2.0 * x[q];
        taps[M] = c;
    }
}
