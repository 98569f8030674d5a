// SPDX-License-Identifier: Apache-2.0
// The text of a stored number that reads back to the very same bits:
// the shortest decimal that round-trips, "inf", "-inf", "-0", and for a
// NaN its whole bit pattern, "nan(0x7ff8000000000000)".
#ifndef HISTFEED_SERVICE_VALUE_TEXT_H_
#define HISTFEED_SERVICE_VALUE_TEXT_H_

#include <cstdint>
#include <string>

namespace histfeed::service {

int64_t DoubleBits(double value);
double DoubleOfBits(int64_t bits);
std::string ExactValueText(double value);

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_VALUE_TEXT_H_
