#include "dsp/window_filter.hpp"


namespace dsp {

namespace {

template <int W>
struct Lanes;
template <>
struct Lanes<2> {
  typedef double type __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
  typedef double type __attribute__((vector_size(32)));
};


// The six acceleration and velocity channels in groups of W vector lanes (acceleration x, y,
// z, then velocity x, y, z; unused lanes carry zeros), plus the magnitude as a scalar chain,
// all in one pass over the rows so that the independent recurrences overlap. Each lane does
// exactly the scalar operations. N: order of both channel filters; M: of the magnitude.
template <int W, std::size_t N, std::size_t M>
inline __attribute__((always_inline)) void filter_fused(const WindowFilters& f,
                                                        const double* data, std::size_t rows,
                                                        double* acc_out, double* vel_out,
                                                        double* veltot_out) {
  using V = typename Lanes<W>::type;
  constexpr int G = (6 + W - 1) / W;
  V b[G][N + 1];
  V a[G][N + 1];
  for (int g = 0; g < G; ++g) {
    for (std::size_t k = 0; k <= N; ++k) {
      for (int l = 0; l < W; ++l) {
        const int ch = g * W + l;
        const Iir& src = ch < 3 ? f.acc : f.vel;
        b[g][k][l] = ch < 6 ? src.b[k] : 0.0;
        a[g][k][l] = ch < 6 ? src.a[k] : 0.0;
      }
    }
  }
  V z[G][N] = {};
  double zm[M] = {};
  const double* mb = f.veltot.b.data();
  const double* ma = f.veltot.a.data();
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = data + r * kRowWidth;
    V y[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      V x;
      for (int l = 0; l < W; ++l) x[l] = g * W + l < 6 ? row[g * W + l] : 0.0;
      y[g] = z[g][0] + b[g][0] * x;
#pragma GCC unroll 16
      for (std::size_t k = 0; k + 1 < N; ++k) {
        z[g][k] = (z[g][k + 1] + x * b[g][k + 1]) - y[g] * a[g][k + 1];
      }
      z[g][N - 1] = x * b[g][N] - y[g] * a[g][N];
    }
    for (int ch = 0; ch < 6; ++ch) {
      const double v = y[ch / W][ch % W];
      if (ch < 3) {
        acc_out[3 * r + ch] = v;
      } else {
        vel_out[3 * r + ch - 3] = v;
      }
    }
    const double xm = magnitude(row);
    const double ym = zm[0] + mb[0] * xm;
#pragma GCC unroll 16
    for (std::size_t k = 0; k + 1 < M; ++k) zm[k] = (zm[k + 1] + xm * mb[k + 1]) - ym * ma[k + 1];
    zm[M - 1] = xm * mb[M] - ym * ma[M];
    veltot_out[r] = ym;
  }
}

void filter_butterworth_pair(const WindowFilters& f, const double* data, std::size_t rows,
                             double* acc_out, double* vel_out, double* veltot_out) {
  filter_fused<2, 5, 1>(f, data, rows, acc_out, vel_out, veltot_out);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same operations four lanes wide; no fused multiply-add, so the results are identical.
__attribute__((target("avx"))) void filter_butterworth_avx(const WindowFilters& f,
                                                           const double* data, std::size_t rows,
                                                           double* acc_out, double* vel_out,
                                                           double* veltot_out) {
  filter_fused<4, 5, 1>(f, data, rows, acc_out, vel_out, veltot_out);
}

using FilterKernel = void (*)(const WindowFilters&, const double*, std::size_t, double*, double*,
                              double*);

FilterKernel best_kernel() {
  if (__builtin_cpu_supports("avx")) return filter_butterworth_avx;
  return filter_butterworth_pair;
}

void filter_butterworth(const WindowFilters& f, const double* data, std::size_t rows,
                        double* acc_out, double* vel_out, double* veltot_out) {
  static const FilterKernel kernel = best_kernel();
  kernel(f, data, rows, acc_out, vel_out, veltot_out);
}
#else
void filter_butterworth(const WindowFilters& f, const double* data, std::size_t rows,
                        double* acc_out, double* vel_out, double* veltot_out) {
  filter_butterworth_pair(f, data, rows, acc_out, vel_out, veltot_out);
}
#endif

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
    filter_butterworth(f, data, rows, acc_out, vel_out, veltot_out);
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
