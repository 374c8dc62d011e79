#include "dsp/window_filter.hpp"

#include <cstdlib>
#include <string>

// The x86 kernels are compiled for AVX and AVX-512 with function attributes and chosen at run
// time; any other target (32-bit ARM among them) builds only the portable two-lane kernel.
#if defined(__x86_64__) && defined(__GNUC__)
#define VELMORA_X86_KERNELS 1
#include <immintrin.h>
#endif

namespace dsp {

namespace {

typedef double Pair __attribute__((vector_size(16)));

// One order-5 section in transposed direct form II over the lanes of V, each lane with its
// own coefficients; every lane does exactly the scalar operations of lfilter.
template <typename V>
struct Order5 {
  V b0, b1, b2, b3, b4, b5, a1, a2, a3, a4, a5;
  V z0{}, z1{}, z2{}, z3{}, z4{};

  inline __attribute__((always_inline)) V step(V x) {
    const V y = z0 + b0 * x;
    z0 = (z1 + x * b1) - y * a1;
    z1 = (z2 + x * b2) - y * a2;
    z2 = (z3 + x * b3) - y * a3;
    z3 = (z4 + x * b4) - y * a4;
    z4 = x * b5 - y * a5;
    return y;
  }
};

// Lane l of the section filters channel first + l (0-2 acceleration, 3-5 velocity; channels
// past 5 are unused lanes with zero coefficients).
template <typename V>
inline __attribute__((always_inline)) Order5<V> section(const WindowFilters& f, int first) {
  constexpr int lanes = sizeof(V) / sizeof(double);
  V b[6] = {}, a[6] = {};
  for (int l = 0; l < lanes; ++l) {
    const int ch = first + l;
    if (ch >= 6) continue;
    const Iir& src = ch < 3 ? f.acc : f.vel;
    for (int k = 0; k < 6; ++k) {
      b[k][l] = src.b[k];
      a[k][l] = src.a[k];
    }
  }
  return Order5<V>{b[0], b[1], b[2], b[3], b[4], b[5], a[1], a[2], a[3], a[4], a[5]};
}

// The Butterworth designs (order 5 for the channels, 1 for the magnitude), all chains in one
// pass over the rows so that the independent recurrences overlap.
inline __attribute__((always_inline)) void filter_pairs(const WindowFilters& f, const double* data,
                                                        std::size_t rows, double* acc, double* vel,
                                                        double* mag) {
  Order5<Pair> s0 = section<Pair>(f, 0), s1 = section<Pair>(f, 2), s2 = section<Pair>(f, 4);
  FirstOrderSection m = FirstOrderSection::of(f.veltot);
  for (std::size_t r = 0; r < rows; ++r, acc += 3, vel += 3) {
    const double* row = data + r * kRowWidth;
    const Pair y0 = s0.step(Pair{row[0], row[1]});
    const Pair y1 = s1.step(Pair{row[2], row[3]});
    const Pair y2 = s2.step(Pair{row[4], row[5]});
    mag[r] = m.step(magnitude(row));
    acc[0] = y0[0];
    acc[1] = y0[1];
    acc[2] = y1[0];
    vel[0] = y1[1];
    vel[1] = y2[0];
    vel[2] = y2[1];
  }
}

void filter_butterworth_pair(const WindowFilters& f, const double* data, std::size_t rows,
                             double* acc, double* vel, double* mag) {
  filter_pairs(f, data, rows, acc, vel, mag);
}

#if VELMORA_X86_KERNELS
typedef double Quad __attribute__((vector_size(32)));

inline __attribute__((always_inline)) void filter_quads(const WindowFilters& f, const double* data,
                                                        std::size_t rows, double* acc, double* vel,
                                                        double* mag) {
  Order5<Quad> s0 = section<Quad>(f, 0), s1 = section<Quad>(f, 4);
  FirstOrderSection m = FirstOrderSection::of(f.veltot);
  for (std::size_t r = 0; r < rows; ++r, acc += 3, vel += 3) {
    const double* row = data + r * kRowWidth;
    const Quad y0 = s0.step(Quad{row[0], row[1], row[2], row[3]});
    const Quad y1 = s1.step(Quad{row[4], row[5], 0.0, 0.0});
    mag[r] = m.step(magnitude(row));
    acc[0] = y0[0];
    acc[1] = y0[1];
    acc[2] = y0[2];
    vel[0] = y0[3];
    vel[1] = y1[0];
    vel[2] = y1[1];
  }
}

// The same operations four lanes wide; no fused multiply-add, so the results are identical.
__attribute__((target("avx"))) void filter_butterworth_avx(const WindowFilters& f,
                                                           const double* data, std::size_t rows,
                                                           double* acc, double* vel, double* mag) {
  filter_quads(f, data, rows, acc, vel, mag);
}

// All six channels in one eight-lane register: a third of the instructions of the four-lane
// kernel for the same arithmetic.
__attribute__((target("avx512f"))) void filter_butterworth_avx512(const WindowFilters& f,
                                                                  const double* data,
                                                                  std::size_t rows, double* acc,
                                                                  double* vel, double* mag) {
  typedef double Oct __attribute__((vector_size(64)));
  Order5<Oct> s = section<Oct>(f, 0);
  FirstOrderSection m = FirstOrderSection::of(f.veltot);
  for (std::size_t r = 0; r < rows; ++r, acc += 3, vel += 3) {
    const double* row = data + r * kRowWidth;
    const Oct y = s.step(reinterpret_cast<Oct>(_mm512_maskz_loadu_pd(0x3f, row)));
    mag[r] = m.step(magnitude(row));
    const __m512d out = reinterpret_cast<__m512d>(y);
    _mm512_mask_storeu_pd(acc, 0x7, out);
    // Lanes 3-5 moved down in the register, then stored: a compressing store to memory is
    // microcoded and many times slower on some CPUs (AMD Zen 4).
    _mm512_mask_storeu_pd(vel, 0x7, _mm512_maskz_compress_pd(0x38, out));
  }
}

using Kernel = void (*)(const WindowFilters&, const double*, std::size_t, double*, double*,
                        double*);

// The widest kernel the CPU runs. VELMORA_FILTER_KERNEL=pair|avx|avx512 caps the choice, so
// that the narrower kernels can be tested on a machine that has the wider ones.
Kernel choose_kernel() {
  const char* cap = std::getenv("VELMORA_FILTER_KERNEL");
  const std::string limit = cap ? cap : "avx512";
  if (limit == "avx512" && __builtin_cpu_supports("avx512f")) return filter_butterworth_avx512;
  if (limit != "pair" && __builtin_cpu_supports("avx")) return filter_butterworth_avx;
  return filter_butterworth_pair;
}

void filter_butterworth(const WindowFilters& f, const double* data, std::size_t rows, double* acc,
                        double* vel, double* mag) {
  static const Kernel kernel = choose_kernel();
  kernel(f, data, rows, acc, vel, mag);
}
#else
void filter_butterworth(const WindowFilters& f, const double* data, std::size_t rows, double* acc,
                        double* vel, double* mag) {
  filter_butterworth_pair(f, data, rows, acc, vel, mag);
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
