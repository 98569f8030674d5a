// SPDX-License-Identifier: Apache-2.0
#include "tests/windows/hot_patch.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace histfeed::testing {
namespace {

#if defined(_WIN64)
// "xchg ax, ax"; padding for "jmp [rip+0]" and its 8-byte target.
constexpr uint8_t kEntry[2] = {0x66, 0x90};
constexpr int kPadding = 14;
#else
// "mov edi, edi"; padding for a near jump.
constexpr uint8_t kEntry[2] = {0x8B, 0xFF};
constexpr int kPadding = 5;
#endif

void Write(uint8_t* at, const void* bytes, size_t size) {
  DWORD old = 0;
  VirtualProtect(at, size, PAGE_EXECUTE_READWRITE, &old);
  std::memcpy(at, bytes, size);
  VirtualProtect(at, size, old, &old);
  FlushInstructionCache(GetCurrentProcess(), at, size);
}

// The entry's two bytes change in one aligned 16-bit store, so that a
// thread entering the function sees either the old or the new one.
void WriteEntry(uint8_t* entry, const uint8_t bytes[2]) {
  DWORD old = 0;
  VirtualProtect(entry, 2, PAGE_EXECUTE_READWRITE, &old);
  uint16_t word;
  std::memcpy(&word, bytes, 2);
  reinterpret_cast<std::atomic<uint16_t>*>(entry)->store(word);
  VirtualProtect(entry, 2, old, &old);
  FlushInstructionCache(GetCurrentProcess(), entry, 2);
}

}  // namespace

bool HotPatch(void* function, void* replacement) {
  auto* entry = static_cast<uint8_t*>(function);
  if (std::memcmp(entry, kEntry, 2) != 0) return false;
  uint8_t jump[kPadding];
#if defined(_WIN64)
  const uint8_t indirect[6] = {0xFF, 0x25, 0, 0, 0, 0};
  std::memcpy(jump, indirect, 6);
  uint64_t target = reinterpret_cast<uintptr_t>(replacement);
  std::memcpy(jump + 6, &target, 8);
#else
  jump[0] = 0xE9;
  int32_t distance = static_cast<int32_t>(reinterpret_cast<uintptr_t>(replacement) -
                                          reinterpret_cast<uintptr_t>(entry));
  std::memcpy(jump + 1, &distance, 4);
#endif
  Write(entry - kPadding, jump, kPadding);
  const uint8_t back[2] = {0xEB, static_cast<uint8_t>(-(kPadding + 2))};
  WriteEntry(entry, back);
  return true;
}

void RemoveHotPatch(void* function) { WriteEntry(static_cast<uint8_t*>(function), kEntry); }

}  // namespace histfeed::testing
