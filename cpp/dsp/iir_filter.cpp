#include "dsp/iir_filter.hpp"

namespace dsp {

IirStatus make_iir(Strided b, std::size_t nb, Strided a, std::size_t na, Iir* out) {
  if (nb == 0 || na == 0) return IirStatus::empty;
  const std::size_t taps = nb > na ? nb : na;
  if (taps > kMaxTaps) return IirStatus::too_long;
  const double a0 = a.at(0);
  if (a0 == 0.0) return IirStatus::zero_leading;
  out->taps = taps;
  // Dividing by a0 == 1 changes nothing; most designs have it.
  for (std::size_t k = 0; k < taps; ++k) {
    const double bk = k < nb ? b.at(k) : 0.0;
    const double ak = k < na ? a.at(k) : 0.0;
    out->b[k] = a0 == 1.0 ? bk : bk / a0;
    out->a[k] = a0 == 1.0 ? ak : ak / a0;
  }
  return IirStatus::ok;
}

void lfilter(const Iir& f, const double* x, std::ptrdiff_t xs, double* y, std::ptrdiff_t ys,
             std::size_t n) {
  const std::size_t order = f.order();
  const auto count = static_cast<std::ptrdiff_t>(n);
  if (order == 0) {
    for (std::ptrdiff_t i = 0; i < count; ++i) y[i * ys] = x[i * xs] * f.b[0];
    return;
  }
  std::array<double, kMaxTaps> z{};
  for (std::ptrdiff_t i = 0; i < count; ++i) {
    const double xi = x[i * xs];
    const double yi = z[0] + f.b[0] * xi;
    for (std::size_t k = 0; k + 1 < order; ++k) {
      z[k] = (z[k + 1] + xi * f.b[k + 1]) - yi * f.a[k + 1];
    }
    z[order - 1] = xi * f.b[order] - yi * f.a[order];
    y[i * ys] = yi;
  }
}

}  // namespace dsp
