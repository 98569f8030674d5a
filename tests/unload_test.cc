// SPDX-License-Identifier: Apache-2.0
// The shipped library loaded and unloaded at run time, as an application
// that loads it on demand does: unloading delivers the partly filled
// classic buffers before dlclose returns, and really unmaps the library.
//
// The library is reached only through dlopen, so this program links none
// of its code. Its clock runs at real speed here: the client library's
// start-up pause (0.5 s) and the stop's settling pause (0.1 s) are real.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using AddAnalogShortId = int32_t (*)(const char* service, const char* point, int32_t time,
                                     double value, int32_t, int32_t, int32_t, int32_t, int32_t,
                                     int32_t, int32_t, int32_t);
using Counter = long (*)();
using StopProcessFunction = int32_t (*)();

class UnloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HISTFEED_CLIENT_LIBRARY", ANSWERING_PLUGIN_PATH, 1);
    // Held open here too, so that its counters outlive the library.
    plugin_ = dlopen(ANSWERING_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin_, nullptr) << dlerror();
    exchanges_ = reinterpret_cast<Counter>(dlsym(plugin_, "AnsweringPluginExchanges"));
    records_ = reinterpret_cast<Counter>(dlsym(plugin_, "AnsweringPluginRecords"));
    ASSERT_NE(exchanges_, nullptr);
    ASSERT_NE(records_, nullptr);
  }
  void TearDown() override {
    if (plugin_ != nullptr) dlclose(plugin_);
  }

  static void* Load() { return dlopen(HISTFEED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }

  static bool StillMapped() {
    void* again = dlopen(HISTFEED_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (again == nullptr) return false;
    dlclose(again);
    return true;
  }

  void* plugin_ = nullptr;
  Counter exchanges_ = nullptr;
  Counter records_ = nullptr;
};

TEST_F(UnloadTest, DlcloseUnmapsTheLibrary) {
  void* library = Load();
  ASSERT_NE(library, nullptr) << dlerror();
  auto stop = reinterpret_cast<StopProcessFunction>(dlsym(library, "StopProcess"));
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop(), 0);
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_FALSE(StillMapped()) << "unique symbols or -z nodelete keep the library loaded, "
                                 "so its unloading hook would only run at process exit";
}

TEST_F(UnloadTest, PartlyFilledBuffersAreDeliveredBeforeDlcloseReturns) {
  // Twice: a library loaded again starts from fresh state and unloads alike.
  for (int round = 0; round < 2; ++round) {
    void* library = Load();
    ASSERT_NE(library, nullptr) << dlerror();
    auto add =
        reinterpret_cast<AddAnalogShortId>(dlsym(library, "KelAddAnalogShortIdRecord"));
    if (add == nullptr) {
      dlclose(library);
      GTEST_SKIP() << "this build has no KelAddAnalogShortIdRecord yet";
    }
    long exchangesBefore = exchanges_();
    long recordsBefore = records_();
    for (int i = 0; i < 3; ++i) {
      std::string point = "N" + std::to_string(i);
      ASSERT_EQ(add("NORTH", point.c_str(), 1000 + i, 1.5 * i, 0, 0, 0, 0, 0, 0, 0, 0), 0);
    }
    for (int i = 0; i < 2; ++i) {
      std::string point = "S" + std::to_string(i);
      ASSERT_EQ(add("SOUTH", point.c_str(), 2000 + i, -2.5 * i, 1, 0, 0, 0, 0, 0, 0, 0), 0);
    }
    EXPECT_EQ(exchanges_(), exchangesBefore) << "buffers are not full: nothing leaves yet";

    ASSERT_EQ(dlclose(library), 0);
    EXPECT_EQ(exchanges_() - exchangesBefore, 2) << "one request per service";
    EXPECT_EQ(records_() - recordsBefore, 5);
    EXPECT_FALSE(StillMapped());
  }
}

}  // namespace
