// SPDX-License-Identifier: Apache-2.0
// Holds a process-wide object that is never destroyed, so that code that
// runs while the library unloads (the unloading hook, late threads) never
// meets an object whose destructor has already run.
#ifndef HISTFEED_PLATFORM_NO_DESTRUCTOR_H_
#define HISTFEED_PLATFORM_NO_DESTRUCTOR_H_

#include <new>
#include <utility>

namespace histfeed::platform {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T& operator*() { return *get(); }
  T* operator->() { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_NO_DESTRUCTOR_H_
