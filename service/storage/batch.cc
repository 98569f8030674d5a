// SPDX-License-Identifier: Apache-2.0
#include "service/storage/batch.h"

namespace histfeed::service {

const char* IdKindName(IdKind kind) {
  switch (kind) {
    case IdKind::kPoint: return "point";
    case IdKind::kLong: return "long";
    case IdKind::kExtended: return "extended";
  }
  return "point";
}

}  // namespace histfeed::service
