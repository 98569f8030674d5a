// SPDX-License-Identifier: Apache-2.0
// How far a resend of a set-aside file got. A set-aside file can hold many
// frames and a running library may append to it, so it is not rewritten
// after each delivered frame; instead a small progress file beside it
// (FILE + ".sent") says how many of its first bytes were delivered, with a
// checksum of those bytes, so that it never applies to other contents.
// Layout: u32 "HFS1", u64 bytes delivered, u32 CRC-32C of those bytes,
// u32 CRC-32C of the 16 bytes before it.
#ifndef HISTFEED_TOOLS_CACHE_RESEND_PROGRESS_H_
#define HISTFEED_TOOLS_CACHE_RESEND_PROGRESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace histfeed::cache_tool {

std::string ProgressFileName(const std::string& path);

// The bytes at the start of `bytes` (the file at `path`) that a resend
// delivered; 0 without a progress file that matches them.
uint64_t DeliveredPrefix(const std::string& path, const std::vector<uint8_t>& bytes);

// Records that the first `delivered` bytes of `bytes` were delivered,
// durably (written whole under a temporary name, synced, renamed). False
// with the reason in *error.
bool SaveDeliveredPrefix(const std::string& path, const std::vector<uint8_t>& bytes,
                         uint64_t delivered, std::string* error);

}  // namespace histfeed::cache_tool

#endif  // HISTFEED_TOOLS_CACHE_RESEND_PROGRESS_H_
