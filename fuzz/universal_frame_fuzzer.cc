// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the service's reading of a universal frame: the
// length peek a stream reader makes, the frame check and split, the rows
// built from a frame that passed, and the configuration records inside.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "service/listeners/universal_frame_rows.h"
#include "wire/config_record.h"
#include "wire/frame_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace histfeed;
  uint8_t head[6] = {};
  std::memcpy(head, data, size < sizeof head ? size : sizeof head);
  universal::PeekFrameLength(head);

  universal::DecodedFrame frame;
  if (universal::DecodeFrame(std::span<const uint8_t>(data, size), &frame) ==
      universal::FrameError::kNone) {
    service::Batch rows = service::UniversalFrameRows(frame);
    (void)rows;
  }
  // Either configuration layout, from the input's first bytes.
  for (bool extended : {false, true}) {
    size_t bytes = extended ? 904 : 607;
    if (size < bytes) break;
    universal::ConfigFields fields = universal::DecodeConfigRecord(data, extended);
    (void)fields;
  }
  return 0;
}
