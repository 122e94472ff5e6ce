// The codec from several threads at once, as the transport's I/O threads run the handshake:
// fresh IVs from the shared random generator, per-call cipher objects, a shared message coder.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/MessageCoder.h"
#include "codec/TokenHandshake.h"

namespace gw {
namespace {

TEST(CodecConcurrencyTest, HandshakesOnSeveralThreads) {
  const TDeploymentKeys keys = LoadDeploymentKeys("/nonexistent-folder-for-tests");
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::atomic<int> failures{0};
  std::vector<std::vector<std::string>> challenges(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string token =
            "{00000000-0000-0000-0000-0000000" + std::to_string(10000 + t * 100 + i) + "}";
        const std::string challenge = ChallengeText(token, keys);
        challenges[t].push_back(challenge);
        const auto answer = TokenAnswerText(challenge, keys);
        const auto received = answer ? DecodeTokenAnswer(*answer, keys) : std::nullopt;
        if (!received || !TokenAnswerMatches(*received, ExpectedTokenAnswer(token))) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> distinct;
  for (const auto& list : challenges) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kRounds)) << "every IV is fresh";
}

TEST(CodecConcurrencyTest, SharedCoderEncodesOnSeveralThreads) {
  TMessageCoder coder;
  coder.SetPassWord("threads");
  TDefaultMessage m;
  m.Ident = 1009;
  m.Recog = 77;
  const std::string expected = coder.EncodeMessage(m);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        const TDefaultMessage back = coder.DecodeMessage(expected);
        if (coder.EncodeMessage(m) != expected || std::memcmp(&back, &m, sizeof(m)) != 0) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace gw
