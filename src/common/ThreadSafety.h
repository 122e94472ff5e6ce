// Clang's thread-safety analysis for the locks that remain: the attributes as macros
// (empty for other compilers), a mutex that carries them and its scoped guard.
//
// A member declared GUARDED_BY(FLock) may only be touched while FLock is held, a function
// declared REQUIRES(FLock) only called with it held, EXCLUDES(FLock) only without it; the
// clang build with GW_THREAD_SAFETY_ANALYSIS=ON (-Wthread-safety -Werror=thread-safety)
// rejects code that breaks these rules. std::mutex carries no attributes in libstdc++,
// hence TMutex. State that belongs to one thread instead of a lock is checked at run time
// by TThreadAffinity (common/ThreadAffinity.h).
//
// Thread safety: TMutex is a mutex (any thread); a TMutexLock belongs to the thread that
// made it.
#pragma once

#include <mutex>

#if defined(__clang__)
#define GW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define GW_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) GW_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY GW_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) GW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) GW_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) GW_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) GW_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) GW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) GW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) GW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) GW_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) GW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) GW_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS GW_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace gw {

// A std::mutex the analysis knows. Lockable in the standard's sense as well (lock,
// unlock, try_lock), so std::condition_variable_any can wait on it.
class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() { FMutex.lock(); }
  void Unlock() RELEASE() { FMutex.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return FMutex.try_lock(); }

  void lock() ACQUIRE() { FMutex.lock(); }
  void unlock() RELEASE() { FMutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return FMutex.try_lock(); }

 private:
  std::mutex FMutex;
};

// Holds a TMutex for its scope.
class SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& Mutex) ACQUIRE(Mutex) : FMutex(Mutex) { FMutex.Lock(); }
  ~TMutexLock() RELEASE() { FMutex.Unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& FMutex;
};

}  // namespace gw
