// Resampling of a segment: linear interpolation of the filtered acceleration and velocity at
// evenly spaced times between the segment bounds, with the arithmetic of NumPy's linspace
// (point k = k*step + t0, the last point exactly t1) and of SciPy's linear interp1d, where hi
// is the left insertion index of t among the stamps, clipped to [1, n - 1], and lo = hi - 1.
#pragma once

#include <cstddef>

#include "dsp/strided.hpp"

namespace dsp {

constexpr std::size_t kResamplePoints = 50;
constexpr std::size_t kFeatureLength = 6 * kResamplePoints;

// SciPy's linear interp1d has computed the value in two ways, which differ in the last bit:
//   weighted (SciPy 1.18 on):
//     ((t - x[lo]) / (x[hi] - x[lo])) * y[hi] + ((x[hi] - t) / (x[hi] - x[lo])) * y[lo]
//   slope (before 1.18): ((y[hi] - y[lo]) / (x[hi] - x[lo])) * (t - x[lo]) + y[lo]
enum class LinearFormula { weighted, slope };

// One interpolated value by the given formula.
inline double interpolate_linear(LinearFormula formula, double x_lo, double x_hi, double y_lo,
                                 double y_hi, double t) {
  if (formula == LinearFormula::slope) return ((y_hi - y_lo) / (x_hi - x_lo)) * (t - x_lo) + y_lo;
  return ((t - x_lo) / (x_hi - x_lo)) * y_hi + ((x_hi - t) / (x_hi - x_lo)) * y_lo;
}

enum class ResampleStatus { ok, too_few_rows, unsorted_time, below_range, above_range };

struct ResampleResult {
  ResampleStatus status;
  double value = 0.0;  // the query time outside the range
  double bound = 0.0;  // the range end it passed
};

// time: n stamps; acc, vel: n x 3. acc_int, vel_int: 50 x 3, C order.
ResampleResult resample_segment(LinearFormula formula, Strided time, Strided acc, Strided vel,
                                std::size_t n, double t0, double t1, double* acc_int,
                                double* vel_int);

// The six resampled channels end to end: acc x, y, z, then vel x, y, z.
void feature_vector(const double* acc_int, const double* vel_int, double* out);

}  // namespace dsp
