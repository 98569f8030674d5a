// SPDX-License-Identifier: Apache-2.0
// Names of cache files: directory + prefix + sequence number + extension.
#ifndef HISTFEED_QUEUE_CACHE_PATH_H_
#define HISTFEED_QUEUE_CACHE_PATH_H_

#include <cstdint>
#include <string>

namespace histfeed {

struct CachePath {
  std::string directory;  // ends in a separator
  std::string prefix;
  std::string extension;  // with its dot, or empty
};

// Builds the three parts from the texts a caller gave (either may be null
// or empty): default directory "Cache/", default prefix "KelQueue", and
// ".que" appended when no dot appears anywhere. Backslashes count as
// separators, so Windows-style texts work.
CachePath MakeCachePath(const char* prefix, const char* directory);

// The full name of cache file number `number`.
std::string CacheFileName(const CachePath& path, uint32_t number);

// Whether a name found by a directory scan is prefix + number + extension,
// the number written as a decimal (blanks and a sign may lead). Files set
// aside, half-written files and other neighbours never are.
bool IsCacheFileName(const std::string& foundName, const CachePath& path);

// The sequence number in a file name found by a directory scan: the base
// name (extension removed) less the prefix's length, read as atoi reads.
uint32_t CacheFileNumber(const std::string& foundName, size_t prefixLength);

// Reads a decimal as atoi does: leading blanks, an optional sign, digits
// up to the first non-digit, 0 without digits. Saturates instead of
// overflowing.
int32_t ParseLeadingInteger(const char* text);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_CACHE_PATH_H_
