// Gesture segmentation: one peak of the filtered velocity magnitude, high enough and far
// enough in time from the last accepted peak, bounded on each side by the first row
// (outward from the peak) whose value is below a fraction of the peak.
#pragma once

#include <cstddef>

#include "dsp/strided.hpp"

namespace dsp {

struct SegmentTuning {
  std::size_t peak_begin;  // first row searched for the peak
  std::size_t peak_end;    // end (exclusive) of the peak search
  double max_th;           // the peak must exceed this
  double max_time_th;      // ... and lie more than this many seconds after the last peak
  double min_th;           // a bound is a row below peak / min_th
  std::size_t left_stop;   // the start bound lies above this row
};

struct FilteredWindow {
  std::size_t rows;
  Strided veltot;  // rows
  Strided time;    // rows
  Strided acc;     // rows x 3
  Strided vel;     // rows x 3
};

struct Segment {
  std::size_t peak;
  std::size_t left;
  std::size_t right;
  double peak_time;
  double left_time;
  double right_time;
};

// Looks for a segment on the magnitude and time stamps alone.
bool find_segment(const FilteredWindow& w, double last_peak_time, const SegmentTuning& t,
                  Segment* out);

// True if no buffer of the window holds a NaN or an infinite value. A window that does gives
// no segment until the bad rows have slid out.
bool window_finite(const FilteredWindow& w);

}  // namespace dsp
