// SPDX-License-Identifier: Apache-2.0
// docs/formats.md against the code: every table marked CHECKED there is
// read back and compared with the layout the code defines or writes. When a
// layout moves to a new definition, point the expectations here at it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "classic/config_request.h"
#include "classic/service_buffer_table.h"
#include "wire/classic_network_protocol.h"
#include "histfeed/tarvo_plugin.h"
#include "queue/cache_file.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "tests/support/temp_directory.h"

namespace histfeed {
namespace {

using Table = std::vector<std::vector<std::string>>;

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  size_t last = text.find_last_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// The rows of the first table after "<!-- CHECKED name -->", header and
// separator left out.
Table CheckedTable(const std::string& name) {
  std::ifstream in(HISTFEED_SOURCE_DIR "/docs/formats.md");
  std::string line;
  bool inSection = false;
  Table rows;
  while (std::getline(in, line)) {
    if (line == "<!-- CHECKED " + name + " -->") {
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    if (line.empty() || line[0] != '|') {
      if (!rows.empty()) break;
      continue;
    }
    std::vector<std::string> cells;
    std::stringstream cellStream(line.substr(1));
    std::string cell;
    while (std::getline(cellStream, cell, '|')) cells.push_back(Trim(cell));
    rows.push_back(cells);
  }
  EXPECT_GE(rows.size(), 3u) << "no table after CHECKED " << name;
  if (rows.size() >= 2) rows.erase(rows.begin(), rows.begin() + 2);
  return rows;
}

struct Field {
  size_t offset;
  size_t size;
};

size_t Number(const std::string& text) { return std::stoul(text); }

// The (offset, size) pairs of a table whose first two columns are numbers.
std::vector<std::pair<size_t, size_t>> Fields(const Table& table) {
  std::vector<std::pair<size_t, size_t>> fields;
  for (const auto& row : table) {
    fields.emplace_back(Number(row[0]), row[1].empty() ? 0 : Number(row[1]));
  }
  return fields;
}

#define FIELD(type, member) std::pair<size_t, size_t>(offsetof(type, member), sizeof(type::member))

TEST(FormatsDocTest, ClassicRecordsAndHeaderMatchTheRequestLayouts) {
  using classic::LongIdRecord;
  using classic::ShortIdRecord;
  EXPECT_EQ(Fields(CheckedTable("short-id-record")),
            (std::vector<std::pair<size_t, size_t>>{
                FIELD(ShortIdRecord, time), FIELD(ShortIdRecord, milliseconds),
                FIELD(ShortIdRecord, pointId), FIELD(ShortIdRecord, unused1),
                FIELD(ShortIdRecord, status), FIELD(ShortIdRecord, value),
                FIELD(ShortIdRecord, unused2)}));
  EXPECT_EQ(Fields(CheckedTable("long-id-record")),
            (std::vector<std::pair<size_t, size_t>>{
                FIELD(LongIdRecord, time), FIELD(LongIdRecord, milliseconds),
                FIELD(LongIdRecord, pointId), FIELD(LongIdRecord, unused1),
                FIELD(LongIdRecord, status), FIELD(LongIdRecord, value),
                FIELD(LongIdRecord, unused2)}));
  EXPECT_EQ(Fields(CheckedTable("request-header")),
            (std::vector<std::pair<size_t, size_t>>{
                FIELD(TarvoRequestHeader, code), FIELD(TarvoRequestHeader, recordCount),
                FIELD(TarvoRequestHeader, reserved), {TARVO_STAMP_OFFSET, TARVO_STAMP_SIZE},
                {TARVO_REQUEST_HEADER_SIZE, 0}}));
  EXPECT_EQ(Fields(CheckedTable("reply-block")),
            (std::vector<std::pair<size_t, size_t>>{
                {0, TARVO_REPLY_STATUS_OFFSET},
                {TARVO_REPLY_STATUS_OFFSET, sizeof(TarvoReplyBlock::status)},
                {TARVO_REPLY_TEXT_OFFSET, TARVO_REPLY_TEXT_SIZE}}));
  EXPECT_EQ(TARVO_REPLY_TEXT_OFFSET + TARVO_REPLY_TEXT_SIZE, TARVO_REPLY_SIZE);
  char busy[16];
  std::snprintf(busy, sizeof busy, "0x%X", TARVO_STATUS_BUSY_BITS);
  EXPECT_NE(CheckedTable("reply-block")[1][2].find(busy), std::string::npos);

  auto removeCommas = [](std::string text) {
    std::erase(text, ',');
    return text;
  };
  Table sizes = CheckedTable("request-sizes");
  ASSERT_EQ(sizes.size(), 3u);
  const std::vector<std::vector<size_t>> expected = {
      {TARVO_CODE_SHORT_ID_DATA, TARVO_SHORT_ID_REQUEST_SIZE, TARVO_SHORT_ID_RECORD_SIZE,
       TARVO_SHORT_ID_RECORDS_MAX},
      {TARVO_CODE_LONG_ID_DATA, TARVO_LONG_ID_REQUEST_SIZE, TARVO_LONG_ID_RECORD_SIZE,
       TARVO_LONG_ID_RECORDS_MAX},
      {TARVO_CODE_CONFIG, TARVO_CONFIG_REQUEST_SIZE,
       TARVO_CONFIG_REQUEST_SIZE - TARVO_REQUEST_HEADER_SIZE, 1}};
  for (size_t row = 0; row < sizes.size(); ++row) {
    for (size_t column = 0; column < 4; ++column) {
      EXPECT_EQ(Number(removeCommas(sizes[row][column])), expected[row][column])
          << "request sizes, row " << row << ", column " << column;
    }
  }
}

// Builds a configuration request whose every field holds a value that
// tells it apart, then reads each documented field at its offset.
TEST(FormatsDocTest, ConfigRequestFieldsLieWhereTheDocumentSays) {
  classic::ConfigArguments a{};
  const std::string firstText(60, 'b'), secondText(24, 'c'), thirdText(8, 'd'), text16a(16, 'e'),
      text16b(16, 'f');
  a.firstText = firstText.c_str();
  a.secondText = secondText.c_str();
  a.thirdText = thirdText.c_str();
  a.shortText1 = text16a.c_str();
  a.shortText2 = text16b.c_str();
  a.analog = 1;
  a.flag1 = a.flag2 = a.flag3 = a.flag4 = a.flag5 = a.flag6 = a.flag7 = a.flag8 =
      a.flag9 = a.flag10 = 1;
  a.shortNumber1 = a.shortNumber2 = a.shortNumber3 = 1234;
  a.longNumber1 = a.longNumber2 = 123456;
  a.value1 = a.value2 = a.value3 = a.value4 = a.value5 = a.value6 = a.value7 =
      a.value8 = a.value9 = 1.5;
  std::vector<std::string> texts;
  for (int k = 0; k < classic::kConfigFieldTexts + classic::kConfigRows; ++k) {
    texts.emplace_back(32, static_cast<char>('g' + k));
  }
  for (int k = 0; k < classic::kConfigFieldTexts; ++k) a.fields[k] = texts[k].c_str();
  for (int k = 0; k < classic::kConfigRows; ++k) {
    a.rows[k] = texts[classic::kConfigFieldTexts + k].c_str();
  }
  uint8_t request[TARVO_CONFIG_REQUEST_SIZE];
  classic::BuildConfigRequest(a, "PT123456", /*splitRows=*/false, request);

  char number[18];
  std::snprintf(number, sizeof number, "%16.9G", 1.5);
  std::string allFields, allRows;
  for (int k = 0; k < classic::kConfigFieldTexts; ++k) allFields += texts[k];
  for (int k = 0; k < classic::kConfigRows; ++k) allRows += texts[classic::kConfigFieldTexts + k];
  auto expectedBytes = [&](const std::string& field) -> std::string {
    if (field.find("point identifier") != std::string::npos) return "PT123456";
    if (field.find("argument 2)") != std::string::npos) return std::string(60, 'B');
    if (field.find("argument 3)") != std::string::npos) return secondText;
    if (field.find("argument 4)") != std::string::npos) return thirdText;
    if (field.find("`AI`") != std::string::npos) return std::string("AI", 3);
    if (field.find("flag") != std::string::npos) return "Y";
    if (field.find("%.4d") != std::string::npos) return std::string("1234", 5);
    if (field.find("%.6d") != std::string::npos) return std::string("123456", 7);
    if (field.find("%16.9G") != std::string::npos) return std::string(number, 17);
    if (field.find("argument 9)") != std::string::npos) return text16a;
    if (field.find("argument 10)") != std::string::npos) return text16b;
    if (field.find("nine texts") != std::string::npos) return allFields;
    if (field.find("ten text rows") != std::string::npos) return allRows;
    if (field == "zero") return std::string(3, '\0');
    return "?";
  };
  size_t next = TARVO_REQUEST_HEADER_SIZE;
  for (const auto& row : CheckedTable("config-request")) {
    size_t offset = Number(row[0]), size = Number(row[1]);
    // Fields may leave a byte between them (a text's terminator), which
    // stays zero; they never overlap.
    ASSERT_GE(offset, next) << "an overlap before " << row[2];
    for (; next < offset; ++next) EXPECT_EQ(request[next], 0) << "gap byte " << next;
    next = offset + size;
    ASSERT_LE(next, sizeof request) << row[2];
    std::string actual(reinterpret_cast<const char*>(request) + offset, size);
    std::string wanted = expectedBytes(row[2]);
    // A text field is at least its text; the rest of it stays zero.
    wanted.resize(size, '\0');
    EXPECT_EQ(actual, wanted) << "at offset " << offset << ": " << row[2];
  }
  EXPECT_EQ(next, sizeof request);
}

// The documented fields are the ones the library and the service share.
TEST(FormatsDocTest, ConfigRequestTableIsTheSharedLayout) {
  namespace layout = classic::config_layout;
  std::vector<std::pair<size_t, size_t>> shared;
  for (const classic::LayoutField& field : layout::kInOrder) {
    if (field.offset != layout::kFirstField.offset) shared.emplace_back(field.offset, field.size);
  }
  shared.emplace_back(layout::kFirstField.offset, layout::kFirstField.size * layout::kFieldCount);
  shared.emplace_back(layout::kFirstRow.offset, layout::kFirstRow.size * layout::kRowCount);
  shared.emplace_back(layout::kRowsEnd, TARVO_CONFIG_REQUEST_SIZE - layout::kRowsEnd);
  EXPECT_EQ(Fields(CheckedTable("config-request")), shared);
}

TEST(FormatsDocTest, NetworkHeadsAndCacheFileHeaderMatchTheirCoders) {
  namespace network = client_library::network;
  uint8_t request[network::kRequestHeadSize];
  network::EncodeRequestHead(network::kShortIdCall, "PLANT", TARVO_SHORT_ID_REQUEST_SIZE, request);
  uint8_t reply[network::kReplyHeadSize];
  network::EncodeReplyHead(network::kShortIdCall, -1004, TARVO_REPLY_SIZE, reply);

  auto little = [](const uint8_t* at, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= uint32_t{at[i]} << (8 * i);
    return value;
  };
  auto check = [&](const std::string& name, const uint8_t* head, size_t headSize,
                   const std::string& magic, uint32_t result, uint32_t payload) {
    size_t next = 0;
    for (const auto& row : CheckedTable(name)) {
      size_t offset = Number(row[0]), size = Number(row[1]);
      EXPECT_EQ(offset, next) << name << ": " << row[2];
      next = offset + size;
      ASSERT_LE(next, headSize);
      const uint8_t* at = head + offset;
      const std::string& field = row[2];
      if (field.starts_with("magic")) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(at), size), magic);
        EXPECT_NE(field.find("`" + magic + "`"), std::string::npos);
      } else if (field.starts_with("call") || field.starts_with("the call")) {
        EXPECT_EQ(little(at, size), network::kShortIdCall) << name;
      } else if (field == "zero") {
        EXPECT_EQ(little(at, size), 0u) << name;
      } else if (field.starts_with("service name")) {
        EXPECT_EQ(size, network::kServiceFieldSize);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(at)), "PLANT");
      } else if (field.starts_with("result")) {
        EXPECT_EQ(little(at, size), result) << name;
      } else if (field.starts_with("payload length")) {
        EXPECT_EQ(little(at, size), payload) << name;
      } else {
        ADD_FAILURE() << name << ": no expectation for " << field;
      }
    }
    EXPECT_EQ(next, headSize) << name;
  };
  check("network-request-head", request, sizeof request, "HFCQ", 0, TARVO_SHORT_ID_REQUEST_SIZE);
  check("network-reply-head", reply, sizeof reply, "HFCA", static_cast<uint32_t>(-1004),
        TARVO_REPLY_SIZE);

  // The four header words, each written at its documented offset, read
  // back in the documented order.
  Table cache = CheckedTable("cache-file");
  ASSERT_EQ(cache.size(), 6u);
  uint8_t header[kCacheFileHeaderBytes] = {};
  const uint16_t values[4] = {50, 8192, 50, 7};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(Number(cache[i][1]), 2u);
    header[Number(cache[i][0])] = static_cast<uint8_t>(values[i]);
    header[Number(cache[i][0]) + 1] = static_cast<uint8_t>(values[i] >> 8);
  }
  CacheFileHeader decoded = DecodeCacheFileHeader(header);
  EXPECT_EQ(decoded.slotCount, 50);
  EXPECT_EQ(decoded.slotSize, 8192);
  EXPECT_EQ(decoded.readIndex, 50);
  EXPECT_EQ(decoded.writeIndex, 7);
  EXPECT_EQ(Number(cache[4][0]), kCacheFileHeaderBytes);
  EXPECT_EQ(CacheFileBytes(50, 8192), 409708u);
}

TEST(FormatsDocTest, SchemaMatchesTheServiceDatabase) {
  testing::TempDirectory dir;
  {
    std::string error;
    ASSERT_NE(service::sqlite::OpenStorage(dir.File("history.db"), {}, &error), nullptr) << error;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("history.db").c_str(), &db), SQLITE_OK);
  Table actual;
  for (const char* table : {"points", "journal", "blocks", "point_blocks", "summaries",
                            "summary_backlog", "deletions"}) {
    std::string query = std::string("PRAGMA table_info(") + table + ")";
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr), SQLITE_OK);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      bool notNull = sqlite3_column_int(statement, 3) != 0;
      // A primary key column may not be empty either, whatever its declaration.
      bool key = sqlite3_column_int(statement, 5) != 0;
      actual.push_back({table, reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                        reinterpret_cast<const char*>(sqlite3_column_text(statement, 2)),
                        notNull || key ? "no" : "yes"});
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  EXPECT_EQ(CheckedTable("schema"), actual);
}

}  // namespace
}  // namespace histfeed
