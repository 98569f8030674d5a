// SPDX-License-Identifier: Apache-2.0
// Values packed into bytes: a point's values in time order (a block), or
// the values of a commit in the order they came (a journal record, each
// value led by its point's number). A value takes its time as the
// difference from the one before, a tag (its status, and whether it is a
// text) and the number's eight bytes or the text's length and bytes: about
// eleven bytes for a number, and every bit pattern comes back.
#ifndef HISTFEED_SERVICE_STORAGE_VALUE_BLOCK_H_
#define HISTFEED_SERVICE_STORAGE_VALUE_BLOCK_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "service/storage/storage_reader.h"

namespace histfeed::service {

// One value; `text` points into the bytes it was read from.
struct Sample {
  int64_t millis = 0;
  int32_t status = 0;
  bool isText = false;
  double value = 0;
  std::string_view text;

  // The same value and status (numbers compared by their bits).
  bool SameAs(const Sample& other) const;
  // A finite number: what a chart draws.
  bool Drawable() const;

  // The value as one that owns its text, and back.
  StoredValue Owned() const;
  static Sample Of(const StoredValue& value);
};

// Appends `sample` to `out`, its time taken relative to `previousMillis`.
void AppendSample(std::string* out, int64_t previousMillis, const Sample& sample);
// The same, led by the point's number: a journal record's entry.
void AppendJournalEntry(std::string* out, int64_t pointId, int64_t previousMillis,
                        const Sample& sample);

// Reads packed values back, one at a time. Damaged bytes end the reading
// (and say so) instead of reading past the end.
class SampleReader {
 public:
  // `startMillis`: what the first value's time is relative to.
  SampleReader(std::string_view bytes, int64_t startMillis, bool journal = false);

  // False at the end, or when the bytes are damaged.
  bool Next(Sample* sample);
  // The point number of the value just read (journal records only).
  int64_t pointId() const { return pointId_; }
  bool damaged() const { return damaged_; }
  // Where the next value starts.
  size_t offset() const { return at_; }

 private:
  bool ReadVarint(uint64_t* value);

  std::string_view bytes_;
  size_t at_ = 0;
  int64_t millis_;
  bool journal_;
  int64_t pointId_ = 0;
  bool damaged_ = false;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_VALUE_BLOCK_H_
