// SPDX-License-Identifier: Apache-2.0
#include "platform/unloading.h"

#include <atomic>

namespace histfeed::platform {
namespace {
std::atomic<Unloading> state{Unloading::kNotUnloading};
}  // namespace

Unloading CurrentUnloading() { return state.load(); }
void NoteUnloading(Unloading next) { state.store(next); }

}  // namespace histfeed::platform
