// SPDX-License-Identifier: Apache-2.0
// A fresh classic family for each test, with the fake client library in
// place and the clock running fast.
#ifndef HISTFEED_TESTS_SUPPORT_CLASSIC_FIXTURE_H_
#define HISTFEED_TESTS_SUPPORT_CLASSIC_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "classic/service_buffer_table.h"
#include "tests/support/fake_client_library.h"
#include "tests/support/scaled_clock.h"

namespace histfeed::classic {
// How test failures name a buffer.
void PrintTo(BufferNumber b, std::ostream* out);
}  // namespace histfeed::classic

namespace histfeed::testing {

class ClassicTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  ScopedTimeScale fast_{1000};
  FakeClientLibrary fake_;
};

// Writes `records` records into the buffer of (service, kind) the way the
// add path does (acquire, write, release) and returns the buffer number.
// Record i carries time 1000 + i and point identifier "P" + i.
classic::BufferNumber AddRecords(const char* service, int32_t kind, int records);

// Stops the sender, waiting for it without limit.
void StopSenderNow();

classic::BufferState StateOf(classic::BufferNumber b);
uint16_t CountOf(classic::BufferNumber b);
// The count and records of buffer b as a request image (other header
// bytes zero).
std::vector<uint8_t> RequestImage(classic::BufferNumber b);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_CLASSIC_FIXTURE_H_
