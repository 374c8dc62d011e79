#include "dsp/displacement.hpp"

#include <cmath>
#include <cstdlib>

namespace dsp {

DisplacementWindow displacement_window(long long left, long long right, long long delay,
                                       std::size_t rows) {
  auto row = [rows](long long bound) {
    const unsigned long long m = static_cast<unsigned long long>(std::llabs(bound));
    return m > rows ? rows : static_cast<std::size_t>(m);
  };
  return {row(left - delay), row(right - delay)};
}

void centred_column(const double* data, std::size_t row_width, std::size_t column,
                    DisplacementWindow w, double* out) {
  const std::size_t n = w.size();
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += data[(w.start + i) * row_width + column];
  const double mean = sum / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = data[(w.start + i) * row_width + column] - mean;
}

double double_integral(Strided acc, std::size_t n, double dt) {
  double vel = 0.0;
  double disp = 0.0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const double next = vel + ((acc.at(i) + acc.at(i + 1)) * dt) / 2.0;
    disp = disp + ((vel + next) * dt) / 2.0;
    vel = next;
  }
  return disp;
}

double round_thousandths(double x) { return std::nearbyint(x * 1000.0) / 1000.0; }

}  // namespace dsp
