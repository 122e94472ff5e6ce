// Codec speed: six-bit text in MB/s, and the gateway's share of one token handshake (challenge
// plus answer check) in microseconds.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "codec/EDcode.h"
#include "codec/TokenHandshake.h"

namespace gw {
namespace {

std::vector<uint8_t> RandomBytes(size_t n) {
  std::mt19937 rng(42);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

void BM_EncodeSixBit(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = EncodeSixBit(data);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EncodeSixBit)->Arg(64)->Arg(1024)->Arg(32768);

void BM_DecodeSixBitTo(benchmark::State& state) {
  const std::string text = EncodeSixBit(RandomBytes(static_cast<size_t>(state.range(0))));
  std::vector<uint8_t> out(SixBitDecodedMaxLength(text.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(DecodeSixBitTo(text, out.data(), static_cast<int32_t>(out.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_DecodeSixBitTo)->Arg(64)->Arg(1024)->Arg(32768);

// What the gateway does per client: seal the challenge, then open and check the answer.
void BM_TokenHandshakeGatewaySide(benchmark::State& state) {
  const TDeploymentKeys keys = LoadDeploymentKeys("/nonexistent-folder-for-bench");
  const std::string token = "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}";
  const std::string answer = *TokenAnswerText(ChallengeText(token, keys), keys);
  for (auto _ : state) {
    std::string challenge = ChallengeText(token, keys);
    benchmark::DoNotOptimize(challenge.data());
    const auto received = DecodeTokenAnswer(answer, keys);
    bool ok = received && TokenAnswerMatches(*received, ExpectedTokenAnswer(token));
    if (!ok) state.SkipWithError("answer check failed");
    benchmark::DoNotOptimize(ok);
  }
  state.SetLabel("challenge + answer check");
}
BENCHMARK(BM_TokenHandshakeGatewaySide)->Unit(benchmark::kMicrosecond);

// The client's share: open the challenge, compute and seal the answer.
void BM_TokenAnswerClientSide(benchmark::State& state) {
  const TDeploymentKeys keys = LoadDeploymentKeys("/nonexistent-folder-for-bench");
  const std::string challenge = ChallengeText("{3F2504E0-4F89-41D3-9A0C-0305E82C3301}", keys);
  for (auto _ : state) {
    auto answer = TokenAnswerText(challenge, keys);
    benchmark::DoNotOptimize(answer);
  }
}
BENCHMARK(BM_TokenAnswerClientSide)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace gw
