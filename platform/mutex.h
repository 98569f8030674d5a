// SPDX-License-Identifier: Apache-2.0
// The library's one lock dialect: a mutex the thread-safety analysis knows
// about, its scoped hold, and the condition variable that waits under it.
// std::mutex carries no capability attributes, so data it guards could not
// be marked GUARDED_BY; these thin wrappers cost nothing beyond it.
//
// Some systems (MinGW's threads) build a mutex at run time and tear it
// down with its owner: a lock that the unloading hook may take lives in
// NoDestructor storage.
#ifndef HISTFEED_PLATFORM_MUTEX_H_
#define HISTFEED_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/thread_annotations.h"

namespace histfeed::platform {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for a scope. Unlock() and Lock() let the scope give it up
// for a while (to send outside it, say) and take it back.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mutex_.Unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mutex_.Lock();
    held_ = true;
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

// Waits, under a Mutex, for state that the Mutex guards to change. A wait
// may end without a signal, so callers wait in a loop on their condition:
//
//   MutexLock lock(mutex_);
//   while (!ready_) changed_.Wait(mutex_);
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Gives `mutex` up while waiting and holds it again on return.
  void Wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
    changed_.wait(held);
    held.release();
  }

  // As Wait, until `deadline` at the latest (see platform::DeadlineAfter).
  // Returns false once the deadline has passed.
  bool WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
    bool inTime = changed_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return inTime;
  }

  // Wakes one waiter, or every waiter.
  void Signal() { changed_.notify_one(); }
  void SignalAll() { changed_.notify_all(); }

 private:
  std::condition_variable changed_;
};

// Held shared by many readers or exclusively by one writer.
class CAPABILITY("shared mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

class SCOPED_CAPABILITY SharedLock {
 public:
  explicit SharedLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.LockShared();
  }
  ~SharedLock() RELEASE() { mutex_.UnlockShared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  SharedMutex& mutex_;
};

class SCOPED_CAPABILITY ExclusiveLock {
 public:
  explicit ExclusiveLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~ExclusiveLock() RELEASE() { mutex_.Unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_MUTEX_H_
