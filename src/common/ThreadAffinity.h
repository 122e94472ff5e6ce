// TThreadAffinity: names the one thread that owns some state (a worker's message
// and send passes, say) and lets that state check, in debug and sanitizer builds,
// that it is touched from there only. Release builds compile the check away.
//
// Thread safety: every operation is safe from any thread. While no thread is bound
// (before the owner starts, after it has ended) any thread counts as the owner, so
// the owner's creator may still set up and tear down what the thread will own.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GW_CHECK_THREAD_AFFINITY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GW_CHECK_THREAD_AFFINITY 1
#endif
#endif

namespace gw {

class TThreadAffinity {
 public:
  // The calling thread becomes the owner (the owner's first act when it starts).
  void Bind() { FOwner.store(std::this_thread::get_id(), std::memory_order_relaxed); }
  // No thread owns the state any more (the owner's last act before it ends).
  void Unbind() { FOwner.store(std::thread::id(), std::memory_order_relaxed); }

  // True on the owning thread, and on every thread while none is bound.
  bool IsCurrent() const {
    std::thread::id owner = FOwner.load(std::memory_order_relaxed);
    return owner == std::thread::id() || owner == std::this_thread::get_id();
  }

  // Aborts with the place and what was touched when called off the owning thread.
  void Check(const char* What, const char* File, int Line) const {
    if (IsCurrent()) return;
    std::fprintf(stderr, "%s:%d: %s used off its owning thread\n", File, Line, What);
    std::abort();
  }

 private:
  std::atomic<std::thread::id> FOwner{};
};

}  // namespace gw

// Asserts that the caller runs on the thread `Affinity` is bound to (checked builds only).
#ifdef GW_CHECK_THREAD_AFFINITY
#define GW_ASSERT_AFFINITY(Affinity, What) (Affinity).Check((What), __FILE__, __LINE__)
#else
#define GW_ASSERT_AFFINITY(Affinity, What) ((void)0)
#endif
