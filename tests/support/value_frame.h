// SPDX-License-Identifier: Apache-2.0
// A universal frame of point-id values, as a test's source sends it.
#ifndef HISTFEED_TESTS_SUPPORT_VALUE_FRAME_H_
#define HISTFEED_TESTS_SUPPORT_VALUE_FRAME_H_

#include <cstdint>
#include <vector>

#include "wire/frame_format.h"

namespace histfeed::testing {

std::vector<uint8_t> ValueFrame(const std::vector<universal::PointValue>& points);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_VALUE_FRAME_H_
