#include "dsp/segmentation.hpp"

#include <limits>

#include "dsp/window_filter.hpp"

namespace dsp {

bool find_segment(const FilteredWindow& w, double last_peak_time, const SegmentTuning& t,
                  Segment* out) {
  // A peak must exceed max_th: with no such value in the search range there is no segment.
  // This pass has no branch that depends on the data, and most windows end here.
  bool above = false;
  for (std::size_t r = t.peak_begin; r < t.peak_end; ++r) above |= w.veltot.at(r) > t.max_th;
  if (!above) return false;
  // The first row holding the largest value is the peak; NaN never compares greater.
  double peak = -std::numeric_limits<double>::infinity();
  std::size_t peak_row = t.peak_begin;
  for (std::size_t r = t.peak_begin; r < t.peak_end; ++r) {
    const double v = w.veltot.at(r);
    if (v > peak) {
      peak = v;
      peak_row = r;
    }
  }
  if (!(peak > t.max_th)) return false;
  const double peak_time = w.time.at(peak_row);
  if (!(peak_time - last_peak_time > t.max_time_th)) return false;

  const double bound = peak / t.min_th;
  std::size_t right = peak_row;
  while (right < w.rows && !(w.veltot.at(right) < bound)) ++right;
  if (right == w.rows) return false;
  // Rows from the peak down to left_stop (exclusive); a peak at or below left_stop has none.
  std::size_t left = peak_row;
  while (left > t.left_stop && !(w.veltot.at(left) < bound)) --left;
  if (left <= t.left_stop) return false;

  *out = Segment{peak_row, left, right, peak_time, w.time.at(left), w.time.at(right)};
  return true;
}

bool window_finite(const FilteredWindow& w) {
  const std::size_t n = w.rows;
  for (std::size_t c = 0; c < 3; ++c) {
    if (!all_finite(w.acc.data + c * w.acc.col_stride, w.acc.row_stride, n) ||
        !all_finite(w.vel.data + c * w.vel.col_stride, w.vel.row_stride, n)) {
      return false;
    }
  }
  return all_finite(w.veltot.data, w.veltot.row_stride, n) &&
         all_finite(w.time.data, w.time.row_stride, n);
}

}  // namespace dsp
