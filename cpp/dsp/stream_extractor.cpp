#include "dsp/stream_extractor.hpp"

#include <algorithm>

#include "dsp/resample.hpp"

namespace dsp {

namespace {

// Whether the continuous magnitude filter bounds the windowed one from above.
bool magnitude_bound_holds(const Iir& f) {
  return f.order() == 1 && f.b[0] >= 0.0 && f.b[1] >= 0.0 && f.a[1] <= 0.0 && f.a[1] > -1.0;
}

class Recording {
 public:
  Recording(const double* samples, std::size_t n, double dt) : samples_(samples), n_(n), dt_(dt) {}

  // Window of `rows` rows ending before sample `end`: rows before the first sample are zero.
  void window(std::ptrdiff_t end, std::size_t rows, double* out) const {
    const std::ptrdiff_t start = end - static_cast<std::ptrdiff_t>(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      double* row = out + r * kRowWidth;
      const std::ptrdiff_t j = start + static_cast<std::ptrdiff_t>(r);
      if (j < 0) {
        std::fill(row, row + kRowWidth, 0.0);
      } else {
        std::copy(samples_ + j * 6, samples_ + j * 6 + 6, row);
        row[6] = static_cast<double>(j + 1) * dt_;
      }
    }
  }
  double time(std::ptrdiff_t j) const { return j < 0 ? 0.0 : static_cast<double>(j + 1) * dt_; }
  std::size_t size() const { return n_; }

 private:
  const double* samples_;
  std::size_t n_;
  double dt_;
};

// The largest continuous magnitude over the samples of the peak search range that lie far
// enough after the last accepted peak. Both ends of that range only move forward, so a
// queue of indices with decreasing values gives the maximum in constant amortised time.
class CandidateMaximum {
 public:
  explicit CandidateMaximum(const std::vector<double>& upper) : upper_(upper) {}

  double over(std::ptrdiff_t first, std::ptrdiff_t end) {
    for (; next_ < end; ++next_) {
      while (head_ < queue_.size() && upper_[queue_.back()] <= upper_[next_]) queue_.pop_back();
      queue_.push_back(next_);
    }
    while (head_ < queue_.size() && queue_[head_] < first) ++head_;
    return head_ < queue_.size() ? upper_[queue_[head_]] : 0.0;
  }

 private:
  const std::vector<double>& upper_;
  std::vector<std::ptrdiff_t> queue_;
  std::size_t head_ = 0;
  std::ptrdiff_t next_ = 0;
};

}  // namespace

void extract_segments(const ExtractorSettings& s, const double* samples, std::size_t n,
                      std::size_t step, Extracted* out) {
  const Recording rec(samples, n, s.dt);
  const std::size_t rows = s.rows;
  const bool bounded = magnitude_bound_holds(s.filters.veltot);

  // Per sample, with `rows` zero rows in front so that every window is a plain slice: the
  // magnitude and the time stamp as a window row holds them. Also the magnitude filtered
  // continuously (restarted after every non-finite sample), and the last non-finite sample
  // at or before each index.
  std::vector<double> magnitudes(rows + n, 0.0), stamps(rows + n, 0.0), upper(n);
  std::vector<std::ptrdiff_t> last_bad(n);
  FirstOrderSection continuous = FirstOrderSection::of(s.filters.veltot);
  std::ptrdiff_t bad = -1;
  for (std::size_t j = 0; j < n; ++j) {
    const double* row = samples + j * 6;
    const double x = magnitude(row);  // velocity at columns 3-5, as in a window row
    magnitudes[rows + j] = x;
    stamps[rows + j] = rec.time(static_cast<std::ptrdiff_t>(j));
    if (!all_finite(row, 1, 6)) {
      bad = static_cast<std::ptrdiff_t>(j);
      continuous.z = 0.0;
      upper[j] = 0.0;
    } else if (bounded) {
      upper[j] = continuous.step(x);
    }
    last_bad[j] = bad;
  }

  std::vector<double> window(rows * kRowWidth), acc(rows * 3), vel(rows * 3), veltot(rows);
  double acc_int[kResamplePoints * 3], vel_int[kResamplePoints * 3];
  const SegmentTuning& t = s.segment;
  double last_peak_time = 0.0;
  CandidateMaximum candidates(upper);
  std::ptrdiff_t far = 0;  // first sample more than max_time_th after the last peak
  for (std::size_t end = step; end <= n; end += step) {
    const auto c = static_cast<std::ptrdiff_t>(end);
    const std::ptrdiff_t start = c - static_cast<std::ptrdiff_t>(rows);
    if (last_bad[end - 1] >= std::max<std::ptrdiff_t>(start, 0)) continue;
    if (bounded) {
      while (far < c && !(rec.time(far) - last_peak_time > t.max_time_th)) ++far;
      const std::ptrdiff_t first =
          std::max({start + static_cast<std::ptrdiff_t>(t.peak_begin), far, std::ptrdiff_t{0}});
      const double highest =
          candidates.over(first, start + static_cast<std::ptrdiff_t>(t.peak_end));
      // Rounding differences between the two filters are far below this margin.
      if (highest * (1.0 + 1e-9) < t.max_th) continue;
    }
    // The peak tests on the filtered magnitude alone; all channels only for a segment.
    lfilter(s.filters.veltot, magnitudes.data() + end, 1, veltot.data(), 1, rows);
    FilteredWindow w{rows,
                     {veltot.data(), 1, 0},
                     {stamps.data() + end, 1, 0},
                     {acc.data(), 3, 1},
                     {vel.data(), 3, 1}};
    Segment seg;
    if (!find_segment(w, last_peak_time, t, &seg)) continue;
    rec.window(c, rows, window.data());
    filter_window(s.filters, window.data(), rows, acc.data(), vel.data(), veltot.data());
    if (!window_finite(w)) continue;
    const std::size_t count = seg.right - seg.left + 1;
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(seg.left);
    const ResampleResult r =
        resample_segment(s.formula, {window.data() + first * kRowWidth + 6, kRowWidth, 0},
                         {acc.data() + first * 3, 3, 1}, {vel.data() + first * 3, 3, 1}, count,
                         seg.left_time, seg.right_time, acc_int, vel_int);
    if (r.status != ResampleStatus::ok) continue;
    last_peak_time = seg.peak_time;
    const std::size_t at = out->features.size();
    out->features.resize(at + kFeatureLength);
    feature_vector(acc_int, vel_int, out->features.data() + at);
    out->bounds.push_back(start + static_cast<std::ptrdiff_t>(seg.left));
    out->bounds.push_back(start + static_cast<std::ptrdiff_t>(seg.right));
  }
}

}  // namespace dsp
