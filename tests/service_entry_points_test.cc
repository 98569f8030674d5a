// SPDX-License-Identifier: Apache-2.0
// Every universal entry point, through a connected key, into the reference
// service's database: what is stored is what the caller gave.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "histfeed.h"
#include "service/event_log.h"
#include "service/listeners/universal_listener.h"
#include "service/storage/storage.h"
#include "tests/support/database_rows.h"
#include "tests/support/service_backend.h"
#include "tests/support/temp_directory.h"
#include "tests/support/universal_fixture.h"

namespace histfeed::testing {
namespace {

std::vector<std::string> Sorted(std::vector<std::string> rows) {
  std::sort(rows.begin(), rows.end());
  return rows;
}

class ServiceEntryPointsTest : public UniversalTest {
 protected:
  void SetUp() override {
    service::SetEventLogQuiet(true);
    ASSERT_NE(backend_.storage, nullptr);
    ASSERT_EQ(listener_.Start("127.0.0.1", 0), "");
    ASSERT_EQ(VornMxUniversalInitialize(&key_, 1, 0, 0, 0, nullptr, nullptr), 0);
    ASSERT_EQ(VornMxUniversalDataConnect(key_, "127.0.0.1", listener_.port(), nullptr, 0), 0);
  }
  void TearDown() override {
    UniversalTest::TearDown();
    listener_.Stop();
  }

  TempDirectory dir_;
  std::string database_ = dir_.File("history.db");
  ServiceBackend backend_{database_};
  service::UniversalListener listener_{backend_.writer, backend_.metrics, {}};
  int32_t key_ = -1;
};

TEST_F(ServiceEntryPointsTest, EveryValueFunctionIsStoredAsGiven) {
  ASSERT_EQ(VornMxAddRec(key_, "P1", 100, 1, 2, 1.5), 0);
  ASSERT_EQ(VornMxAddAsciiRec(key_, "P2", 101, 2, 3, "open"), 0);
  ASSERT_EQ(VornMxAddLongIdRec(key_, "plant.L1", 102, 3, 4, 2.5), 0);
  ASSERT_EQ(VornMxAddLongIdAsciiRec(key_, "plant.L2", 103, 4, 5, "closed"), 0);
  ASSERT_EQ(VornMxAddExtIdRec(key_, "site/plant/E1", 104, 5, 6, 3.5), 0);
  ASSERT_EQ(VornMxAddExtIdAsciiRec(key_, "site/plant/E2", 105, 6, 7, "auto"), 0);
  ASSERT_EQ(VornMxAddBlockRecByPointId(key_, "B1", 106, 7, 8, 4.5), 0);
  ASSERT_EQ(VornMxAddBlockRecByPointId(key_, "B1", 107, 8, 9, 5.5), 0);
  ASSERT_EQ(VornMxAddLongIdBlockRecByLongId(key_, "plant.B2", 108, 9, 10, 6.5), 0);
  ASSERT_EQ(VornMxAddExtIdBlockRecByExtId(key_, "site/plant/B3", 109, 10, 11, 7.5), 0);
  ASSERT_EQ(VornMxAddBlockRecByTime(key_, "T1", 110, 11, 12, 8.5), 0);
  ASSERT_EQ(VornMxAddBlockRecByTime(key_, "T2", 110, 11, 13, 9.5), 0);
  ASSERT_EQ(VornMxAddLongIdRecByTime(key_, "plant.T3", 111, 12, 14, 10.5), 0);
  ASSERT_EQ(VornMxAddExtIdRecByTime(key_, "site/plant/T4", 112, 13, 15, 11.5), 0);
  for (int32_t type : {1, 11, 6, 12, 15, 18, 2, 7, 16, 3, 8, 17}) {
    ASSERT_EQ(VornMxFlushUniversalRecord(key_, type), 0) << "type " << type;
  }

  EXPECT_EQ(Sorted(StoredValues(database_, "universal")),
            Sorted({
                "point|P1|100|1|2|1.5|-",
                "point|P2|101|2|3|-|open",
                "long|plant.L1|102|3|4|2.5|-",
                "long|plant.L2|103|4|5|-|closed",
                "extended|site/plant/E1|104|5|6|3.5|-",
                "extended|site/plant/E2|105|6|7|-|auto",
                "point|B1|106|7|8|4.5|-",
                "point|B1|107|8|9|5.5|-",
                "long|plant.B2|108|9|10|6.5|-",
                "extended|site/plant/B3|109|10|11|7.5|-",
                "point|T1|110|11|12|8.5|-",
                "point|T2|110|11|13|9.5|-",
                "long|plant.T3|111|12|14|10.5|-",
                "extended|site/plant/T4|112|13|15|11.5|-",
            }));
}

TEST_F(ServiceEntryPointsTest, ConfigurationsAndDeletionsReachTheConfigurationTable) {
  ASSERT_EQ(VornMxAddConfigRec(key_, "C1", "plant.C1", "Feed flow", "m3/h", "AI", 1, 2, "LOW",
                               "HIGH", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                               18, 19, 20, 21, 22, 23, 24, 25, 26, "site/plant/C1", "comment"),
            0);
  ASSERT_EQ(VornMxAddConfigExtendedRec(
                key_, "", "plant.C2", "Level", "%", "AI", 0, 0, "", "", 0, 0, 0, 0, 0, 0, 0, 0,
                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "site/plant/C2", "", "a1",
                "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9"),
            0);
  ASSERT_EQ(VornMxAddConfigExtendedRec(
                key_, "", "", "Pressure", "bar", "AI", 0, 0, "", "", 0, 0, 0, 0, 0, 0, 0, 0, 0,
                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "site/plant/C3", "", "", "",
                "", "", "", "", "", "", ""),
            0);
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 5), 0);
  ASSERT_EQ(VornMxFlushUniversalRecord(key_, 10), 0);
  EXPECT_EQ(Sorted(StoredConfigs(database_)),
            Sorted({
                "5|point|C1|C1|plant.C1|site/plant/C1|Feed flow|m3/h",
                "10|long|plant.C2||plant.C2|site/plant/C2|Level|%",
                "10|extended|site/plant/C3|||site/plant/C3|Pressure|bar",
            }));

  ASSERT_EQ(VornMxDeleteConfigurationRec(key_, "C1"), 0);
  ASSERT_EQ(VornMxDeleteLongIdConfigurationRec(key_, "plant.C2"), 0);
  ASSERT_EQ(VornMxDeleteExtIdConfigurationRec(key_, "site/plant/C3"), 0);
  for (int32_t type : {13, 14, 19}) ASSERT_EQ(VornMxFlushUniversalRecord(key_, type), 0);
  EXPECT_TRUE(StoredConfigs(database_).empty());
  EXPECT_EQ(Sorted(StoredDeletions(database_)),
            Sorted({"point|C1", "long|plant.C2", "extended|site/plant/C3"}));
}

}  // namespace
}  // namespace histfeed::testing
