// SPDX-License-Identifier: Apache-2.0
// What a checked universal frame stores: one row per record.
#ifndef HISTFEED_SERVICE_LISTENERS_UNIVERSAL_FRAME_ROWS_H_
#define HISTFEED_SERVICE_LISTENERS_UNIVERSAL_FRAME_ROWS_H_

#include "service/storage/batch.h"
#include "wire/frame_format.h"

namespace histfeed::service {

Batch UniversalFrameRows(const universal::DecodedFrame& frame);

// What is wrong with a frame, for messages.
const char* FrameErrorText(universal::FrameError error);

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_UNIVERSAL_FRAME_ROWS_H_
