// SPDX-License-Identifier: Apache-2.0
// histfeed.dll as a Windows application meets it: loaded with LoadLibraryA,
// every export bound by ordinal and by name, called through the header's
// calling convention, its message sink patched at run time, and unloaded
// with FreeLibrary and at process exit. The fake tarvoapi.dll beside this
// program answers the classic family and counts what reached it.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "histfeed.h"
#include "tests/windows/hot_patch.h"

namespace {

struct ExportEntry {
  const char* name;
  int ordinal;
};
const ExportEntry kExports[] = {
#include "export_table.inc"
};

// The library loaded for one test; unloaded at its end.
class Library {
 public:
  Library() : module_(LoadLibraryA("histfeed.dll")) {}
  ~Library() { Unload(); }
  bool Loaded() const { return module_ != nullptr; }
  void Unload() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  // The export `name`, typed as the header declares it.
  template <typename Function>
  Function* Get(const char* name) {
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

 private:
  HMODULE module_;
};

#define HISTFEED_GET(library, name) (library).Get<decltype(name)>(#name)

// The fake client library's own counters.
struct FakeClientLibrary {
  HMODULE module = LoadLibraryA("tarvoapi.dll");
  template <typename Result>
  Result Call(const char* name) {
    auto* function = reinterpret_cast<Result (*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr ? function() : Result();
  }
  long Records() { return Call<long>("AnsweringPluginRecords"); }
  int WaitingAtGate() { return Call<int>("AnsweringPluginWaitingAtGate"); }
  void CloseGate() { Call<void>("AnsweringPluginCloseGate"); }
  void OpenGate() { Call<void>("AnsweringPluginOpenGate"); }
};

int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

template <typename Condition>
bool WaitFor(Condition condition, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

int AddClassicRecords(Library& library, int count) {
  auto* add = HISTFEED_GET(library, KelAddAnalogShortIdRecord);
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    if (add("PLANT", "P1", 1700000000 + i, 1.5 * i, 0, 0, 0, 0, 0, 0, 0, 0) != 0) ++failures;
  }
  return failures;
}

// Runs in a child process: leaves classic records pending (with the
// delivery stuck in the client library when asked) and ends the process.
int ExitWithPendingRecords(bool stuck) {
  FakeClientLibrary fake;
  Library library;
  if (!library.Loaded() || AddClassicRecords(library, 3) != 0) return 1;
  if (stuck) {
    fake.CloseGate();
    HISTFEED_GET(library, KelFlushAllRecords)(nullptr, nullptr, 0);
    if (!WaitFor([&] { return fake.WaitingAtGate() == 1; }, 30)) return 2;
    AddClassicRecords(library, 2);
  }
  ExitProcess(42);
}

// Starts this program again with `argument`; its exit code, or -1 when
// it did not end within a minute.
int RunChild(const char* argument) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string command = std::string("\"") + path + "\" " + argument;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -2;
  }
  DWORD waited = WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return waited == WAIT_OBJECT_0 ? static_cast<int>(code) : -1;
}

TEST(DllCalls, BothFamiliesThroughTheHeadersConventionAndTarvoapiOnlyWhenClassicNeedsIt) {
  Library library;
  ASSERT_TRUE(library.Loaded());
  EXPECT_EQ(HISTFEED_GET(library, VornMxSetDebugMsg)(1), 1);
  EXPECT_EQ(HISTFEED_GET(library, VornMxIsDebugMsg)(), 1);
  HISTFEED_GET(library, VornMxSetDebugMsg)(0);

  int32_t key = -1;
  ASSERT_EQ(HISTFEED_GET(library, VornMxUniversalInitialize)(&key, 1, 0, 0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(HISTFEED_GET(library, VornMxAddRec)(key, "P1", 1700000000, 5, 192, 2.5), 0);

#if defined(__i386__)
  // A callee of another convention would leave the stack pointer moved by
  // the size of the arguments.
  uintptr_t stackBefore = 0;
  uintptr_t stackAfter = 0;
  __asm__ __volatile__("mov %%esp, %0" : "=r"(stackBefore));
#endif
  int32_t config = HISTFEED_GET(library, VornMxAddConfigRec)(
      key, "P1", "LONG.P1", "description", "units", "AI", 1, 2, "LOW", "HIGH", 1, 2, 3, 4, 5, 6,
      7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, "EXT.P1",
      "comment");
  int32_t extended = HISTFEED_GET(library, VornMxAddConfigExtendedRec)(
      key, "P1", "LONG.P1", "description", "units", "AI", 1, 2, "LOW", "HIGH", 1, 2, 3, 4, 5, 6,
      7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, "EXT.P1",
      "comment", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9");
#if defined(__i386__)
  __asm__ __volatile__("mov %%esp, %0" : "=r"(stackAfter));
  EXPECT_EQ(stackAfter, stackBefore);
#endif
  EXPECT_EQ(config, 0);
  EXPECT_EQ(extended, 0);
  HISTFEED_GET(library, VornMxUniversalCloseSocket)(key);
  EXPECT_EQ(GetModuleHandleA("tarvoapi.dll"), nullptr) << "the universal family loaded it";

  char message[200] = {};
  int32_t sent = HISTFEED_GET(library, KelSendConfigRecord)(
      "PLANT.UNIT1.FIC101", "TEXT60", "TEXT24", "TEXT8", 1, 0, 7, 0, "T9", "T10", 0, 12.5, 0, 14.5, 0, 16.5, 0,
      18.5, 0, 20.5, 0, 22.5, 0, 0, 25, 26, 27, 28.5, 29, 30.5, 31.5, "f32", "f33", "f34", "f35",
      "f36", "f37", "f38", "f39", "f40", "r41", "r42", "r43", "r44", "r45", "r46", "r47", "r48",
      "r49", "r50", message, sizeof message);
  EXPECT_EQ(sent, 0) << message;
  EXPECT_NE(GetModuleHandleA("tarvoapi.dll"), nullptr);
}

TEST(DllExports, EveryFunctionByOrdinalAndByName) {
  Library library;
  ASSERT_TRUE(library.Loaded());
  HMODULE module = GetModuleHandleA("histfeed.dll");
  EXPECT_EQ(sizeof kExports / sizeof kExports[0], 56u);
  for (const ExportEntry& entry : kExports) {
    FARPROC byName = GetProcAddress(module, entry.name);
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(entry.ordinal));
    EXPECT_NE(byName, nullptr) << entry.name;
    EXPECT_EQ(byName, byOrdinal) << entry.name << " @" << entry.ordinal;
  }
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(34)), nullptr);
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(1131)), nullptr);
}

struct SeenLine {
  DWORD thread;
  std::string text;
};
std::mutex seenMutex;
std::vector<SeenLine> seenLines;

void HISTFEED_CALL ObserveLine(const char* text) {
  std::lock_guard<std::mutex> lock(seenMutex);
  seenLines.push_back({GetCurrentThreadId(), text != nullptr ? text : ""});
}

bool SawLine(const std::string& start, bool otherThread) {
  std::lock_guard<std::mutex> lock(seenMutex);
  for (const SeenLine& line : seenLines) {
    bool threadMatches = (line.thread != GetCurrentThreadId()) == otherThread;
    if (threadMatches && line.text.rfind(start, 0) == 0) return true;
  }
  return false;
}

uint16_t ClosedLoopbackPort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(probe);
  return ntohs(address.sin_port);
}

TEST(DllMessageSink, PatchedSinkSeesTheLinesOfCallerAndLibraryThreads) {
  Library library;
  ASSERT_TRUE(library.Loaded());
  auto* sink = HISTFEED_GET(library, VornMxUniversalMessage);
  ASSERT_TRUE(histfeed::testing::HotPatch(reinterpret_cast<void*>(sink),
                                          reinterpret_cast<void*>(&ObserveLine)));
  int32_t key = -1;
  ASSERT_EQ(HISTFEED_GET(library, VornMxUniversalInitialize)(&key, 0, 0, 0, 0, nullptr, nullptr), 0);
  uint16_t port = ClosedLoopbackPort();
  EXPECT_EQ(HISTFEED_GET(library, VornMxUniversalDataConnect)(key, "127.0.0.1", port, nullptr, 0),
            -105);
  EXPECT_TRUE(SawLine("Error connecting to service key=", false));
  // The reconnect thread reports its first failed attempt.
  EXPECT_TRUE(WaitFor([] { return SawLine("Error cannot connect to service key=", true); }, 30));
  HISTFEED_GET(library, VornMxUniversalCloseSocket)(key);
  histfeed::testing::RemoveHotPatch(reinterpret_cast<void*>(sink));
  size_t before = seenLines.size();
  sink("after the patch is gone");
  EXPECT_EQ(seenLines.size(), before);
}

TEST(DllUnloading, FreeLibraryDeliversPartlyFilledBuffersAndLeavesNoThread) {
  FakeClientLibrary fake;
  ASSERT_NE(fake.module, nullptr);
  int threads = ThreadCount();
  long records = fake.Records();
  Library library;
  ASSERT_TRUE(library.Loaded());
  ASSERT_EQ(AddClassicRecords(library, 3), 0);
  library.Unload();
  EXPECT_EQ(fake.Records() - records, 3);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST(DllUnloading, FreeLibraryReturnsWhileADeliveryIsStuckAndLeavesNoThread) {
  FakeClientLibrary fake;
  int threads = ThreadCount();
  Library library;
  ASSERT_TRUE(library.Loaded());
  ASSERT_EQ(AddClassicRecords(library, 3), 0);
  fake.CloseGate();
  HISTFEED_GET(library, KelFlushAllRecords)(nullptr, nullptr, 0);
  ASSERT_TRUE(WaitFor([&] { return fake.WaitingAtGate() == 1; }, 30));
  library.Unload();  // returns although the sender never comes back
  EXPECT_EQ(ThreadCount(), threads);
  fake.OpenGate();
  // The library loads and works again afterwards.
  Library again;
  ASSERT_TRUE(again.Loaded());
  EXPECT_EQ(AddClassicRecords(again, 1), 0);
}

TEST(DllUnloading, ExitProcessWithRecordsPendingEnds) {
  EXPECT_EQ(RunChild("--exit-with-pending"), 42);
  EXPECT_EQ(RunChild("--exit-while-stuck"), 42);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--exit-with-pending") == 0) {
    return ExitWithPendingRecords(false);
  }
  if (argc == 2 && std::strcmp(argv[1], "--exit-while-stuck") == 0) {
    return ExitWithPendingRecords(true);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
