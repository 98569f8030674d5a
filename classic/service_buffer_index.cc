// SPDX-License-Identifier: Apache-2.0
#include "classic/service_buffer_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace histfeed::classic {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsMember(BufferState state) { return state == kInUse || state == kAcquired; }

// Victim candidates are ordered by count, then by the lower number; 0 means
// no candidate.
uint32_t CandidateValue(int32_t b, uint16_t count) {
  return (static_cast<uint32_t>(count) << 10) | static_cast<uint32_t>(1023 - b);
}

int32_t CandidateBuffer(uint32_t value) { return 1023 - static_cast<int32_t>(value & 1023u); }

}  // namespace

bool ServiceBufferIndex::MakeKey(const char* service, bool longKind, Key* key) {
  std::memset(key, 0, sizeof(*key));
  key->longKind = longKind ? 1 : 0;
  for (size_t i = 0; service[i] != '\0'; ++i) {
    // Stored names hold at most 19 characters, so a longer one matches none.
    if (i + 1 >= kServiceNameSize) return false;
    key->name[i] = LowerAscii(service[i]);
  }
  return true;
}

uint32_t ServiceBufferIndex::Hash(const Key& key) {
  uint32_t hash = 2166136261u;
  for (char c : key.name) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  hash = (hash ^ key.longKind) * 16777619u;
  return hash;
}

int32_t ServiceBufferIndex::FindSlot(const Key& key) const {
  for (uint32_t i = Hash(key) & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
    const Slot& slot = slots_[i];
    if (!slot.used) return -1;
    if (std::memcmp(&slot.key, &key, sizeof(Key)) == 0) return static_cast<int32_t>(i);
  }
}

int32_t ServiceBufferIndex::FirstMember(const char* service, bool longKind) const {
  Key key;
  if (service == nullptr || !MakeKey(service, longKind, &key)) return kNoServiceBuffer;
  int32_t slot = FindSlot(key);
  return slot < 0 ? kNoServiceBuffer : slots_[slot].head - 1;
}

int32_t ServiceBufferIndex::NextMember(int32_t b) const {
  if (b < 0 || b >= kServiceBufferCount) return kNoServiceBuffer;
  return next_[b] - 1;
}

int32_t ServiceBufferIndex::FirstFree() const {
  for (int32_t word = 0; word < kTakenWords; ++word) {
    uint64_t freeBits = ~taken_[word];
    if (freeBits != 0) {
      int32_t b = word * 64 + std::countr_zero(freeBits);
      return b < kServiceBufferCount ? b : kNoServiceBuffer;
    }
  }
  return kNoServiceBuffer;
}

int32_t ServiceBufferIndex::FullestInUseBefore(int32_t limit) const {
  if (limit > kServiceBufferCount) limit = kServiceBufferCount;
  uint32_t best = 0;
  // Maximum over leaves [0, limit) of the tree.
  for (int32_t lo = kLeaves, hi = kLeaves + (limit > 0 ? limit : 0); lo < hi; lo /= 2, hi /= 2) {
    if (lo & 1) best = std::max(best, tree_[lo++]);
    if (hi & 1) best = std::max(best, tree_[--hi]);
  }
  return best == 0 ? kNoServiceBuffer : CandidateBuffer(best);
}

void ServiceBufferIndex::SetLeaf(int32_t b, uint32_t value) {
  int32_t node = kLeaves + b;
  // Most changes (a queued buffer set FREE, one acquired again) leave the
  // leaf as it was, and then every node above it too.
  if (tree_[node] == value) return;
  tree_[node] = value;
  for (node /= 2; node >= 1; node /= 2) {
    tree_[node] = std::max(tree_[2 * node], tree_[2 * node + 1]);
  }
}

void ServiceBufferIndex::Insert(int32_t b, const Key& key) {
  int32_t slot = FindSlot(key);
  if (slot < 0) {
    uint32_t i = Hash(key) & (kSlots - 1);
    while (slots_[i].used) i = (i + 1) & (kSlots - 1);
    slot = static_cast<int32_t>(i);
    slots_[slot].key = key;
    slots_[slot].used = 1;
    slots_[slot].head = 0;
  }
  // Keep the members in number order; lists hold one buffer as a rule.
  int16_t* link = &slots_[slot].head;
  while (*link != 0 && *link - 1 < b) link = &next_[*link - 1];
  next_[b] = *link;
  *link = static_cast<int16_t>(b + 1);
}

void ServiceBufferIndex::Remove(int32_t b, const Key& key) {
  int32_t slot = FindSlot(key);
  if (slot < 0) return;
  int16_t* link = &slots_[slot].head;
  while (*link != 0 && *link - 1 != b) link = &next_[*link - 1];
  if (*link == 0) return;
  *link = next_[b];
  next_[b] = 0;
  if (slots_[slot].head == 0) EraseSlot(slot);
}

// Linear-probing deletion by moving later entries of the run back, so that
// lookups never need tombstones.
void ServiceBufferIndex::EraseSlot(int32_t slot) {
  uint32_t hole = static_cast<uint32_t>(slot);
  slots_[hole].used = 0;
  for (uint32_t i = (hole + 1) & (kSlots - 1); slots_[i].used; i = (i + 1) & (kSlots - 1)) {
    uint32_t home = Hash(slots_[i].key) & (kSlots - 1);
    // The entry may fill the hole when its home is not within (hole, i].
    bool homeBetween = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (!homeBetween) {
      slots_[hole] = slots_[i];
      slots_[i].used = 0;
      hole = i;
    }
  }
}

void ServiceBufferIndex::Update(int32_t b, BufferState before, BufferState after,
                                const char* service, bool longKind, uint16_t count) {
  if (b < 0 || b >= kServiceBufferCount) return;
  uint64_t bit = uint64_t{1} << (b % 64);
  if (after == kFree) {
    taken_[b / 64] &= ~bit;
  } else {
    taken_[b / 64] |= bit;
  }
  if (IsMember(before) != IsMember(after)) {
    Key key;
    if (MakeKey(service, longKind, &key)) {
      if (IsMember(after)) {
        Insert(b, key);
      } else {
        Remove(b, key);
      }
    }
  }
  SetLeaf(b, after == kInUse && count > 0 ? CandidateValue(b, count) : 0);
}

void ServiceBufferIndex::Clear() { std::memset(static_cast<void*>(this), 0, sizeof(*this)); }

}  // namespace histfeed::classic
