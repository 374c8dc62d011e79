// Displacement of a gesture: the raw acceleration of one axis over the segment rows shifted
// back by a delay, centred on its mean, integrated twice with the trapezoidal rule.
#pragma once

#include <cstddef>

#include "dsp/strided.hpp"

namespace dsp {

// Rows [start, end) of one column of a rows x 7 window, as Python slicing cuts them
// (|bound - delay|, clipped to the window; an empty range when end <= start).
struct DisplacementWindow {
  std::size_t start;
  std::size_t end;
  std::size_t size() const { return end > start ? end - start : 0; }
};

// Bounds and delay must lie within +-2^62 so that the differences cannot overflow.
DisplacementWindow displacement_window(long long left, long long right, long long delay,
                                       std::size_t rows);

// Subtracts the column's mean (a running sum in row order, divided by the row count).
// out receives w.size() values.
void centred_column(const double* data, std::size_t row_width, std::size_t column,
                    DisplacementWindow w, double* out);

// Velocity from rest by the trapezoidal rule, then its trapezoidal integral, accumulated
// sample by sample. n >= 2.
double double_integral(Strided acc, std::size_t n, double dt);

// NumPy's rounding to 3 decimals: rint(x * 1000) / 1000, ties to even.
double round_thousandths(double x);

}  // namespace dsp
