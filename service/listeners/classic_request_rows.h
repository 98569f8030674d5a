// SPDX-License-Identifier: Apache-2.0
// What a classic request stores: one value row per record of a data
// request, one configuration row per configuration request. Classic points
// are named "SERVICE.IDENTIFIER", the service name upper-cased, since the
// same identifier may live in several services.
#ifndef HISTFEED_SERVICE_LISTENERS_CLASSIC_REQUEST_ROWS_H_
#define HISTFEED_SERVICE_LISTENERS_CLASSIC_REQUEST_ROWS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/storage/batch.h"

namespace histfeed::service {

std::string ClassicPointName(std::string_view service, std::string_view identifier);

// Adds the rows of a data request of `size` bytes (4072 short, 4032 long)
// to *batch. False with a reason in *error when the code disagrees with the
// kind or the record count exceeds what the request holds.
bool ClassicDataRows(std::string_view service, bool longKind, const uint8_t* request,
                     size_t size, Batch* batch, std::string* error);

// Adds the row of a 1016-byte configuration request to *batch: its key
// fields and the whole request as raw bytes. False with a reason in *error
// when the code or the record count is wrong or the point identifier empty.
bool ClassicConfigRow(std::string_view service, const uint8_t* request, size_t size,
                      Batch* batch, std::string* error);

// The point identifier of an extended point name: the text after its last
// dot, blanks trimmed, upper-cased, at most 8 characters. False when there
// is nothing to take.
bool ResolveExtendedName(std::string_view name, std::string* identifier);

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_CLASSIC_REQUEST_ROWS_H_
