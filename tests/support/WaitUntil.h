// Polling wait shared by the tests: checks a condition until it holds or a deadline
// passes, sleeping between checks so a waiting test never spins a core. Safe from any
// thread; the predicate runs on the calling thread only.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace gw::test_support {

// Returns true once `predicate` holds; false if it still fails at `timeout`. The
// predicate is checked once more at the deadline, so a condition that became true while
// the waiter slept is not reported as a timeout. The default is generous: the tests run
// on loaded machines and under sanitizers.
inline bool WaitUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace gw::test_support
