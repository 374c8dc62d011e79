// The filtering of one sample window: acceleration and velocity columns with their low-pass
// filters, and the filtered velocity magnitude, each from rest at the oldest row.
#pragma once

#include <cstddef>

#include "dsp/iir_filter.hpp"

namespace dsp {

// Columns of a window row: acceleration x, y, z, velocity x, y, z, time stamp.
constexpr std::size_t kRowWidth = 7;

struct WindowFilters {
  Iir acc;
  Iir vel;
  Iir veltot;
};

// data: rows x 7, C order. acc_out, vel_out: rows x 3; veltot_out: rows.
void filter_window(const WindowFilters& f, const double* data, std::size_t rows, double* acc_out,
                   double* vel_out, double* veltot_out);

// Only the filtered velocity magnitude of the window.
void filter_magnitude(const Iir& veltot, const double* data, std::size_t rows, double* out);

// sqrt((vx*vx + vy*vy) + vz*vz): NumPy's order for summing the three squares of a row.
inline double magnitude(const double* row);

// True if none of the n values (stride s) is NaN or infinite.
bool all_finite(const double* p, std::ptrdiff_t s, std::size_t n);

}  // namespace dsp

#include <cmath>

inline double dsp::magnitude(const double* row) {
  return std::sqrt((row[3] * row[3] + row[4] * row[4]) + row[5] * row[5]);
}
