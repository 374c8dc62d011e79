// IIR filtering from rest in transposed direct form II, with the operation order of
// SciPy's lfilter so that results match it bit for bit:
//   y = z[0] + b[0]*x;  z[k] = (z[k+1] + x*b[k+1]) - y*a[k+1];  z[N-1] = x*b[N] - y*a[N].
#pragma once

#include <array>
#include <cstddef>

#include "dsp/strided.hpp"

namespace dsp {

constexpr std::size_t kMaxTaps = 16;

// Coefficients divided by a[0], both padded with zeros to the same length.
struct Iir {
  std::array<double, kMaxTaps> b{};
  std::array<double, kMaxTaps> a{};
  std::size_t taps = 0;
  std::size_t order() const { return taps - 1; }
};

// A first-order filter run sample by sample, with lfilter's operations.
struct FirstOrderSection {
  double b0, b1, a1, z = 0.0;
  static FirstOrderSection of(const Iir& f) { return {f.b[0], f.b[1], f.a[1]}; }
  double step(double x) {
    const double y = z + b0 * x;
    z = x * b1 - y * a1;
    return y;
  }
};

enum class IirStatus { ok, empty, too_long, zero_leading };

IirStatus make_iir(Strided b, std::size_t nb, Strided a, std::size_t na, Iir* out);

// Filters n samples of x (stride xs) into y (stride ys), starting from rest.
void lfilter(const Iir& f, const double* x, std::ptrdiff_t xs, double* y, std::ptrdiff_t ys,
             std::size_t n);

}  // namespace dsp
