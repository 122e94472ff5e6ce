// Console control events reach the stop and reload actions; close, logoff and shutdown hold
// the system's handler until the owner has stopped. Where the system can raise the events
// (a Windows console), they are raised for real.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/ConsoleControl.h"
#include "support/WaitUntil.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace gw {
namespace {

using test_support::WaitUntil;

// A wait for Finished longer than any test: a handler that returns early is a fault.
constexpr uint32_t kNoTimeOut = 600000;

struct TActionCounts {
  std::atomic<int> Stops{0};
  std::atomic<int> Reloads{0};
};

TEST(ConsoleControlTest, EventsMapToStopOrReload) {
  const struct {
    uint32_t Event;
    bool Reload;
  } cases[] = {
      {TConsoleControl::ceCtrlC, false},    {TConsoleControl::ceCtrlBreak, true},
      {TConsoleControl::ceClose, false},    {TConsoleControl::ceLogoff, false},
      {TConsoleControl::ceShutdown, false},
  };
  for (const auto& c : cases) {
    TActionCounts counts;
    TConsoleControl control([&counts] { ++counts.Stops; }, [&counts] { ++counts.Reloads; });
    // The owner has stopped already: close, logoff and shutdown return at once.
    control.Finished();
    EXPECT_TRUE(TConsoleControl::HandleEvent(c.Event)) << c.Event;
    EXPECT_EQ(counts.Stops.load(), c.Reload ? 0 : 1) << c.Event;
    EXPECT_EQ(counts.Reloads.load(), c.Reload ? 1 : 0) << c.Event;
  }
}

TEST(ConsoleControlTest, UnknownEventsAndNoOwnerAreLeftToTheSystem) {
  EXPECT_FALSE(TConsoleControl::HandleEvent(TConsoleControl::ceCtrlC));
  TActionCounts counts;
  {
    TConsoleControl control([&counts] { ++counts.Stops; }, [&counts] { ++counts.Reloads; });
    EXPECT_FALSE(TConsoleControl::HandleEvent(3));
    EXPECT_FALSE(TConsoleControl::HandleEvent(4));
  }
  EXPECT_FALSE(TConsoleControl::HandleEvent(TConsoleControl::ceShutdown));
  EXPECT_EQ(counts.Stops.load(), 0);
  EXPECT_EQ(counts.Reloads.load(), 0);
}

TEST(ConsoleControlTest, CloseHoldsTheHandlerUntilTheOwnerHasStopped) {
  TActionCounts counts;
  std::atomic<bool> returned{false};
  {
    TConsoleControl control([&counts] { ++counts.Stops; }, [&counts] { ++counts.Reloads; },
                            kNoTimeOut);
    std::thread system([&returned] {
      TConsoleControl::HandleEvent(TConsoleControl::ceClose);
      returned = true;
    });
    ASSERT_TRUE(WaitUntil([&counts] { return counts.Stops.load() == 1; }));
    EXPECT_FALSE(returned.load()) << "the process would end before the owner has stopped";
    control.Finished();
    ASSERT_TRUE(WaitUntil([&returned] { return returned.load(); }));
    system.join();
  }
  // The destructor releases a waiting handler too.
  returned = false;
  std::thread system;
  {
    TConsoleControl control([&counts] { ++counts.Stops; }, nullptr, kNoTimeOut);
    system = std::thread([&returned] {
      TConsoleControl::HandleEvent(TConsoleControl::ceShutdown);
      returned = true;
    });
    ASSERT_TRUE(WaitUntil([&counts] { return counts.Stops.load() == 2; }));
  }
  ASSERT_TRUE(WaitUntil([&returned] { return returned.load(); }));
  system.join();
}

#ifdef _WIN32

// Ctrl+C raised for real with GenerateConsoleCtrlEvent, which calls the handler on a thread of
// its own. (Wine raises no Ctrl+Break this way; the mapping test above covers it.)
TEST(ConsoleControlTest, RaisedCtrlCReachesTheStopAction) {
  TActionCounts counts;
  TConsoleControl control([&counts] { ++counts.Stops; }, [&counts] { ++counts.Reloads; });
  ASSERT_TRUE(control.Installed());
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    // Wine's console for a program started from a Unix shell or pipe raises no events
    // (error 12); a console of the program's own does.
    ::FreeConsole();
    if (!::AllocConsole() || !::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
      GTEST_SKIP() << "no console that raises events: " << ::GetLastError();
    }
  }
  ASSERT_TRUE(WaitUntil([&counts] { return counts.Stops.load() == 1; }));
  EXPECT_EQ(counts.Reloads.load(), 0);
}

#else

TEST(ConsoleControlTest, SignalsServeInsteadOfConsoleEvents) {
  TConsoleControl control([] {}, [] {});
  EXPECT_FALSE(control.Installed());
}

#endif

}  // namespace
}  // namespace gw
