#include "dsp/window_filter.hpp"

#include <cstring>

namespace dsp {

namespace {

// Two channels per vector register; each lane does exactly the scalar operations.
typedef double Pair __attribute__((vector_size(16)));

Pair pair(double lo, double hi) { return Pair{lo, hi}; }

Pair load(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The six acceleration and velocity channels as three lane pairs, (ax, ay), (az, vx),
// (vy, vz), plus the magnitude as a scalar chain, all in one pass over the rows so that
// the independent recurrences overlap. N: order of both channel filters; M: of the magnitude.
template <std::size_t N, std::size_t M>
void filter_fused(const WindowFilters& f, const double* data, std::size_t rows, double* acc_out,
                  double* vel_out, double* veltot_out) {
  Pair b[3][N + 1];
  Pair a[3][N + 1];
  for (std::size_t k = 0; k <= N; ++k) {
    b[0][k] = pair(f.acc.b[k], f.acc.b[k]);
    b[1][k] = pair(f.acc.b[k], f.vel.b[k]);
    b[2][k] = pair(f.vel.b[k], f.vel.b[k]);
    a[0][k] = pair(f.acc.a[k], f.acc.a[k]);
    a[1][k] = pair(f.acc.a[k], f.vel.a[k]);
    a[2][k] = pair(f.vel.a[k], f.vel.a[k]);
  }
  Pair z[3][N] = {};
  double zm[M] = {};
  const double* mb = f.veltot.b.data();
  const double* ma = f.veltot.a.data();
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = data + r * kRowWidth;
    Pair y[3];
#pragma GCC unroll 3
    for (std::size_t p = 0; p < 3; ++p) {
      const Pair x = load(row + 2 * p);
      y[p] = z[p][0] + b[p][0] * x;
#pragma GCC unroll 16
      for (std::size_t k = 0; k + 1 < N; ++k) {
        z[p][k] = (z[p][k + 1] + x * b[p][k + 1]) - y[p] * a[p][k + 1];
      }
      z[p][N - 1] = x * b[p][N] - y[p] * a[p][N];
    }
    double* acc = acc_out + 3 * r;
    double* vel = vel_out + 3 * r;
    acc[0] = y[0][0];
    acc[1] = y[0][1];
    acc[2] = y[1][0];
    vel[0] = y[1][1];
    vel[1] = y[2][0];
    vel[2] = y[2][1];

    const double xm = magnitude(row);
    const double ym = zm[0] + mb[0] * xm;
#pragma GCC unroll 16
    for (std::size_t k = 0; k + 1 < M; ++k) zm[k] = (zm[k + 1] + xm * mb[k + 1]) - ym * ma[k + 1];
    zm[M - 1] = xm * mb[M] - ym * ma[M];
    veltot_out[r] = ym;
  }
}

}  // namespace

void filter_magnitude(const Iir& veltot, const double* data, std::size_t rows, double* out) {
  // The magnitudes go into `out` first; filtering in place is safe because each output
  // sample is written after its input sample was read.
  for (std::size_t r = 0; r < rows; ++r) out[r] = magnitude(data + r * kRowWidth);
  lfilter(veltot, out, 1, out, 1, rows);
}

void filter_window(const WindowFilters& f, const double* data, std::size_t rows, double* acc_out,
                   double* vel_out, double* veltot_out) {
  if (f.acc.order() == 5 && f.vel.order() == 5 && f.veltot.order() == 1) {
    filter_fused<5, 1>(f, data, rows, acc_out, vel_out, veltot_out);
    return;
  }
  const auto width = static_cast<std::ptrdiff_t>(kRowWidth);
  for (std::size_t c = 0; c < 3; ++c) {
    lfilter(f.acc, data + c, width, acc_out + c, 3, rows);
    lfilter(f.vel, data + 3 + c, width, vel_out + c, 3, rows);
  }
  filter_magnitude(f.veltot, data, rows, veltot_out);
}

bool all_finite(const double* p, std::ptrdiff_t s, std::size_t n) {
  // x - x is 0 for finite x and NaN otherwise; summing keeps any NaN.
  double acc = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = p[static_cast<std::ptrdiff_t>(i) * s];
    acc += v - v;
  }
  return acc == 0.0;
}

}  // namespace dsp
