// Read access to float64 data laid out with arbitrary strides (counted in elements).
#pragma once

#include <cstddef>

namespace dsp {

struct Strided {
  const double* data = nullptr;
  std::ptrdiff_t row_stride = 1;
  std::ptrdiff_t col_stride = 0;
  double at(std::size_t row, std::size_t col = 0) const {
    return data[static_cast<std::ptrdiff_t>(row) * row_stride +
                static_cast<std::ptrdiff_t>(col) * col_stride];
  }
};

}  // namespace dsp
