#include "dsp/resample.hpp"

namespace dsp {

namespace {

double linspace_point(double t0, double t1, std::size_t k) {
  if (k == kResamplePoints - 1) return t1;
  const double step = (t1 - t0) / static_cast<double>(kResamplePoints - 1);
  return static_cast<double>(k) * step + t0;
}

}  // namespace

ResampleResult resample_segment(LinearFormula formula, Strided time, Strided acc, Strided vel,
                                std::size_t n, double t0, double t1, double* acc_int,
                                double* vel_int) {
  if (n < 2) return {ResampleStatus::too_few_rows};
  for (std::size_t i = 1; i < n; ++i) {
    if (!(time.at(i - 1) <= time.at(i))) return {ResampleStatus::unsorted_time};
  }
  const double first = time.at(0);
  const double last = time.at(n - 1);
  double query[kResamplePoints];
  for (std::size_t k = 0; k < kResamplePoints; ++k) {
    query[k] = linspace_point(t0, t1, k);
    if (query[k] < first) return {ResampleStatus::below_range, query[k], first};
    if (query[k] > last) return {ResampleStatus::above_range, query[k], last};
  }
  std::size_t hi = 1;
  for (std::size_t k = 0; k < kResamplePoints; ++k) {
    const double t = query[k];
    // Left insertion index of t among the stamps, clipped to [1, n - 1].
    if (k > 0 && t < query[k - 1]) hi = 1;
    while (hi < n - 1 && time.at(hi) < t) ++hi;
    const std::size_t lo = hi - 1;
    const double x_lo = time.at(lo);
    const double x_hi = time.at(hi);
    for (std::size_t c = 0; c < 3; ++c) {
      acc_int[3 * k + c] = interpolate_linear(formula, x_lo, x_hi, acc.at(lo, c), acc.at(hi, c), t);
      vel_int[3 * k + c] = interpolate_linear(formula, x_lo, x_hi, vel.at(lo, c), vel.at(hi, c), t);
    }
  }
  return {ResampleStatus::ok};
}

void feature_vector(const double* acc_int, const double* vel_int, double* out) {
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t k = 0; k < kResamplePoints; ++k) {
      out[c * kResamplePoints + k] = acc_int[3 * k + c];
      out[(3 + c) * kResamplePoints + k] = vel_int[3 * k + c];
    }
  }
}

}  // namespace dsp
