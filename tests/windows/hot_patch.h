// SPDX-License-Identifier: Apache-2.0
// Redirects a hot-patchable function to another one at run time, as an
// observer of the library's diagnostic lines does on Windows.
#ifndef HISTFEED_TESTS_WINDOWS_HOT_PATCH_H_
#define HISTFEED_TESTS_WINDOWS_HOT_PATCH_H_

namespace histfeed::testing {

// Makes every call of `function` run `replacement` instead. False when the
// function does not start with the two-byte hot-patch instruction.
bool HotPatch(void* function, void* replacement);

// Puts the original first instruction back.
void RemoveHotPatch(void* function);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_WINDOWS_HOT_PATCH_H_
