// Cuts a whole recording into segments exactly as a fresh sample window would, fed every
// row in order with a cycle after every `step`-th row, without building most windows.
//
// A cycle can only accept a segment if some row of its peak search range lies far enough
// after the last accepted peak and has a filtered magnitude above the threshold. For a
// magnitude filter of order 1 with non-negative impulse response, filtering from rest at
// the window start never exceeds filtering the recording continuously (the samples before
// the window add a non-negative amount), so the continuous filter gives an upper bound that
// rules most cycles out. The remaining cycles first filter the magnitude of their window
// alone and run the peak tests, and only a cycle that finds a segment filters all channels.
#pragma once

#include <cstddef>
#include <vector>

#include "dsp/resample.hpp"
#include "dsp/segmentation.hpp"
#include "dsp/window_filter.hpp"

namespace dsp {

struct ExtractorSettings {
  WindowFilters filters;
  SegmentTuning segment;
  std::size_t rows;  // rows of the window
  double dt;         // time between samples; sample j (from 0) is stamped (j + 1) * dt
  LinearFormula formula;
};

struct Extracted {
  std::vector<double> features;   // 300 values per segment
  std::vector<long long> bounds;  // start and end sample index per segment
};

// samples: n x 6, C order. step >= 1.
void extract_segments(const ExtractorSettings& s, const double* samples, std::size_t n,
                      std::size_t step, Extracted* out);

}  // namespace dsp
