// The per-step session gauges move with the session: in at the token step, on to the login
// server or the game as the check passes and the step changes, out at the close; concurrent
// changes from several threads leave them exact.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <thread>
#include <vector>

#include "common/GateWayStats.h"
#include "core/UserSession.h"

namespace gw {
namespace {

std::array<int64_t, 3> Gauges(const TGateWayStats& Stats) {
  return {TGateWayStats::Gauge(Stats.SessionsToken), TGateWayStats::Gauge(Stats.SessionsLogin),
          TGateWayStats::Gauge(Stats.SessionsGame)};
}

TEST(SessionGaugeTest, StepsMoveTheGauges) {
  TGateWayStats stats;
  PUserSession session = TUserSession::Create(nullptr);
  session->SetStats(&stats);
  const struct {
    const char* Event;
    std::function<void()> Do;
    std::array<int64_t, 3> Expected;  // token, login, game
  } steps[] = {
      {"not counted before it enters its table", [] {}, {0, 0, 0}},
      {"enters its table", [&] { session->RecountStep(); }, {1, 0, 0}},
      {"counted once", [&] { session->RecountStep(); }, {1, 0, 0}},
      {"a step change before the check", [&] { session->SetSessionStep(ssGame); }, {1, 0, 0}},
      {"passes its check (in the game step)", [&] { session->MarkTokenChecked(); }, {0, 0, 1}},
      {"back to the login server", [&] { session->SetSessionStep(ssLogin); }, {0, 1, 0}},
      {"no upstream server counts as login", [&] { session->SetSessionStep(ssNone); }, {0, 1, 0}},
      {"closes", [&] { session->CountOut(); }, {0, 0, 0}},
      {"closed twice", [&] { session->CountOut(); }, {0, 0, 0}},
      {"a step change after the close", [&] { session->SetSessionStep(ssGame); }, {0, 0, 0}},
  };
  for (const auto& step : steps) {
    step.Do();
    EXPECT_EQ(Gauges(stats), step.Expected) << step.Event;
  }
  // A session refused before it entered a table is never counted.
  PUserSession refused = TUserSession::Create(nullptr);
  refused->SetStats(&stats);
  refused->CountOut();
  refused->RecountStep();
  EXPECT_EQ(Gauges(stats), (std::array<int64_t, 3>{0, 0, 0}));
}

TEST(SessionGaugeTest, ConcurrentChangesLeaveTheGaugesExact) {
  constexpr int kSessions = 64, kChanges = 2000;
  TGateWayStats stats;
  std::vector<PUserSession> sessions;
  for (int i = 0; i < kSessions; ++i) {
    sessions.push_back(TUserSession::Create(nullptr));
    sessions.back()->SetStats(&stats);
    sessions.back()->RecountStep();
    sessions.back()->MarkTokenChecked();
  }
  // One thread changes the steps as a worker would, another recounts as the I/O thread does
  // after a passed check; each session ends in the game step.
  std::thread worker([&] {
    for (int n = 0; n < kChanges; ++n) {
      for (auto& s : sessions) s->SetSessionStep(n % 2 == 0 ? ssLogin : ssGame);
    }
    for (auto& s : sessions) s->SetSessionStep(ssGame);
  });
  std::thread io([&] {
    for (int n = 0; n < kChanges; ++n) {
      for (auto& s : sessions) s->RecountStep();
    }
  });
  worker.join();
  io.join();
  EXPECT_EQ(Gauges(stats), (std::array<int64_t, 3>{0, 0, kSessions}));
  // Closes racing with step changes: every session leaves its gauge exactly once.
  std::thread closer([&] {
    for (auto& s : sessions) s->CountOut();
  });
  std::thread changer([&] {
    for (int n = 0; n < 100; ++n) {
      for (auto& s : sessions) s->SetSessionStep(n % 2 == 0 ? ssLogin : ssGame);
    }
  });
  closer.join();
  changer.join();
  EXPECT_EQ(Gauges(stats), (std::array<int64_t, 3>{0, 0, 0}));
}

}  // namespace
}  // namespace gw
