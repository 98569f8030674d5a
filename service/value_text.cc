// SPDX-License-Identifier: Apache-2.0
#include "service/value_text.h"

#include <bit>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace histfeed::service {

int64_t DoubleBits(double value) { return std::bit_cast<int64_t>(value); }

double DoubleOfBits(int64_t bits) { return std::bit_cast<double>(bits); }

std::string ExactValueText(double value) {
  char text[40];
  if (std::isnan(value)) {
    // Sign and payload of a NaN are data too.
    std::snprintf(text, sizeof text, "nan(0x%016" PRIx64 ")",
                  std::bit_cast<uint64_t>(value));
    return text;
  }
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace histfeed::service
