// SPDX-License-Identifier: Apache-2.0
// Clang's thread-safety attributes, so the compiler checks which lock
// guards which data (-Wthread-safety). Other compilers see nothing.
#ifndef HISTFEED_PLATFORM_THREAD_ANNOTATIONS_H_
#define HISTFEED_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define HISTFEED_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HISTFEED_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HISTFEED_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HISTFEED_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HISTFEED_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HISTFEED_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) HISTFEED_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) HISTFEED_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) HISTFEED_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) HISTFEED_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) HISTFEED_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) HISTFEED_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) HISTFEED_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) HISTFEED_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) HISTFEED_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) HISTFEED_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) HISTFEED_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS HISTFEED_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // HISTFEED_PLATFORM_THREAD_ANNOTATIONS_H_
