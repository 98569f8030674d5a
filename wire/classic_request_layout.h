// SPDX-License-Identifier: Apache-2.0
// The byte layouts of the classic requests, defined once for the library
// that writes them and the service that reads them: the records of a data
// request and the configuration record. Each field is its offset and size.
#ifndef HISTFEED_WIRE_CLASSIC_REQUEST_LAYOUT_H_
#define HISTFEED_WIRE_CLASSIC_REQUEST_LAYOUT_H_

#include <cstddef>

#include "histfeed/tarvo_plugin.h"

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
inline constexpr LayoutField kFirstText{81, 60};
inline constexpr LayoutField kSecondText{142, 24};
inline constexpr LayoutField kThirdText{167, 8};
inline constexpr LayoutField kAnalog{176, 3};  // "AI" or "DI" and a terminator
inline constexpr LayoutField kFlag1{179, 1};
inline constexpr LayoutField kShortNumber1{180, 5};
inline constexpr LayoutField kFlag2{185, 1};
inline constexpr LayoutField kShortText1{186, 16};
inline constexpr LayoutField kShortText2{203, 16};
inline constexpr LayoutField kFlag3{220, 1};
inline constexpr LayoutField kValue1{221, 17};
inline constexpr LayoutField kFlag4{238, 1};
inline constexpr LayoutField kValue2{239, 17};
inline constexpr LayoutField kFlag5{256, 1};
inline constexpr LayoutField kValue3{257, 17};
inline constexpr LayoutField kFlag6{274, 1};
inline constexpr LayoutField kValue4{275, 17};
inline constexpr LayoutField kFlag7{292, 1};
inline constexpr LayoutField kValue5{293, 17};
inline constexpr LayoutField kFlag8{310, 1};
inline constexpr LayoutField kValue6{311, 17};
inline constexpr LayoutField kFlag9{328, 1};
inline constexpr LayoutField kFlag10{329, 1};
inline constexpr LayoutField kLongNumber1{330, 7};
inline constexpr LayoutField kLongNumber2{337, 7};
inline constexpr LayoutField kShortNumber2{344, 5};
inline constexpr LayoutField kValue7{349, 17};
inline constexpr LayoutField kShortNumber3{366, 5};
inline constexpr LayoutField kValue8{371, 17};
inline constexpr LayoutField kValue9{388, 17};
// Nine fields of 32 bytes (field1 to field9), then ten rows of 32.
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
    kPointId,  kFirstText,   kSecondText,   kThirdText,    kAnalog,   kFlag1,    kShortNumber1,  kFlag2,
    kShortText1,    kShortText2,   kFlag3,   kValue1, kFlag4,   kValue2, kFlag5,   kValue3,
    kFlag6,   kValue4, kFlag7,   kValue5, kFlag8,   kValue6, kFlag9,   kFlag10,
    kLongNumber1, kLongNumber2, kShortNumber2, kValue7, kShortNumber3, kValue8, kValue9, kFirstField};

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

#endif  // HISTFEED_WIRE_CLASSIC_REQUEST_LAYOUT_H_
