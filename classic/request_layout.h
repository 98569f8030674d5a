// The byte layouts of the classic requests, defined once for the library
// that writes them and the service that reads them: the records of a data
// request and the configuration record. Each field is its offset and size.
#ifndef HISTFEED_CLASSIC_REQUEST_LAYOUT_H_
#define HISTFEED_CLASSIC_REQUEST_LAYOUT_H_

#include <cstddef>

#include "client_library/tarvo_plugin.h"

namespace histfeed::classic {

struct LayoutField {
  size_t offset;
  size_t size;
  constexpr size_t end() const { return offset + size; }
};

// Records of a data request, from request offset 72 on.
namespace record_layout {
inline constexpr LayoutField kTime{0, 4};
inline constexpr LayoutField kMilliseconds{4, 2};
inline constexpr LayoutField kShortPointId{6, 8};
inline constexpr LayoutField kShortStatus{15, 2};
inline constexpr LayoutField kShortValue{17, 17};
inline constexpr LayoutField kLongPointId{6, 60};
inline constexpr LayoutField kLongStatus{67, 2};
inline constexpr LayoutField kLongValue{69, 17};

static_assert(kShortPointId.end() + 1 == kShortStatus.offset);
static_assert(kShortValue.end() + 6 == TARVO_SHORT_ID_RECORD_SIZE);
static_assert(kLongPointId.end() + 1 == kLongStatus.offset);
static_assert(kLongValue.end() + 2 == TARVO_LONG_ID_RECORD_SIZE);
}  // namespace record_layout

// The configuration record, in its request after the 72-byte header.
// Fields are named after the caller's argument that fills them.
namespace config_layout {
inline constexpr LayoutField kPointId{72, 8};
inline constexpr LayoutField kText60{81, 60};
inline constexpr LayoutField kText24{142, 24};
inline constexpr LayoutField kText8{167, 8};
inline constexpr LayoutField kAnalog{176, 3};  // "AI" or "DI" and a terminator
inline constexpr LayoutField kFlag6{179, 1};
inline constexpr LayoutField kNumber7{180, 5};
inline constexpr LayoutField kFlag8{185, 1};
inline constexpr LayoutField kText9{186, 16};
inline constexpr LayoutField kText10{203, 16};
inline constexpr LayoutField kFlag11{220, 1};
inline constexpr LayoutField kNumber12{221, 17};
inline constexpr LayoutField kFlag13{238, 1};
inline constexpr LayoutField kNumber14{239, 17};
inline constexpr LayoutField kFlag15{256, 1};
inline constexpr LayoutField kNumber16{257, 17};
inline constexpr LayoutField kFlag17{274, 1};
inline constexpr LayoutField kNumber18{275, 17};
inline constexpr LayoutField kFlag19{292, 1};
inline constexpr LayoutField kNumber20{293, 17};
inline constexpr LayoutField kFlag21{310, 1};
inline constexpr LayoutField kNumber22{311, 17};
inline constexpr LayoutField kFlag23{328, 1};
inline constexpr LayoutField kFlag24{329, 1};
inline constexpr LayoutField kNumber25{330, 7};
inline constexpr LayoutField kNumber26{337, 7};
inline constexpr LayoutField kNumber27{344, 5};
inline constexpr LayoutField kNumber28{349, 17};
inline constexpr LayoutField kNumber29{366, 5};
inline constexpr LayoutField kNumber30{371, 17};
inline constexpr LayoutField kNumber31{388, 17};
// Nine fields of 32 bytes (arguments 32 to 40), then ten rows of 32.
inline constexpr LayoutField kFirstField{405, 32};
inline constexpr int kFieldCount = 9;
inline constexpr LayoutField kFirstRow{693, 32};
inline constexpr int kRowCount = 10;
// Three bytes of zero end the request.
inline constexpr size_t kRowsEnd = kFirstRow.offset + kFirstRow.size * kRowCount;

// The fields in order; a gap of one byte (a terminator's place) follows
// the identifier, each text and each block of flags and numbers where the
// record has one.
inline constexpr LayoutField kInOrder[] = {
    kPointId,  kText60,   kText24,   kText8,    kAnalog,   kFlag6,    kNumber7,  kFlag8,
    kText9,    kText10,   kFlag11,   kNumber12, kFlag13,   kNumber14, kFlag15,   kNumber16,
    kFlag17,   kNumber18, kFlag19,   kNumber20, kFlag21,   kNumber22, kFlag23,   kFlag24,
    kNumber25, kNumber26, kNumber27, kNumber28, kNumber29, kNumber30, kNumber31, kFirstField};

constexpr bool FieldsNeverOverlap() {
  for (size_t i = 1; i < sizeof kInOrder / sizeof kInOrder[0]; ++i) {
    if (kInOrder[i - 1].end() > kInOrder[i].offset) return false;
    if (kInOrder[i].offset - kInOrder[i - 1].end() > 1) return false;
  }
  return true;
}
static_assert(kPointId.offset == TARVO_REQUEST_HEADER_SIZE);
static_assert(FieldsNeverOverlap());
static_assert(kFirstField.offset + kFirstField.size * kFieldCount == kFirstRow.offset);
static_assert(kRowsEnd + 3 == TARVO_CONFIG_REQUEST_SIZE);
}  // namespace config_layout

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_REQUEST_LAYOUT_H_
