// SPDX-License-Identifier: Apache-2.0
#include "tests/support/value_frame.h"

namespace histfeed::testing {

std::vector<uint8_t> ValueFrame(const std::vector<universal::PointValue>& points) {
  const universal::RecordType& type = *universal::FindRecordType(1);
  std::vector<uint8_t> records(points.size() * type.recordBytes);
  for (size_t i = 0; i < points.size(); ++i) {
    universal::EncodeRecord(type, points[i], &records[i * type.recordBytes]);
  }
  std::vector<uint8_t> frame(universal::FrameLength(type, points.size()));
  universal::EncodeFrame(type, nullptr, records.data(), static_cast<uint16_t>(points.size()),
                         frame.data());
  return frame;
}

}  // namespace histfeed::testing
