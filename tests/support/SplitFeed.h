// The one way the tests feed a stream in pieces, as a socket may deliver it: not split at all,
// split once at every byte, twice at every pair of neighbouring bytes, and byte by byte. A
// pure parser or reader must find the same things in every one of them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace gw::test_support {

// One way of splitting: the pieces in order (views into the stream) and a label for messages.
struct TSplit {
  std::vector<std::string_view> Pieces;
  std::string Label;
};

inline std::vector<TSplit> SplitsOf(std::string_view Stream) {
  auto cut = [&](const std::vector<size_t>& at, std::string label) {
    TSplit split{{}, std::move(label)};
    size_t from = 0;
    for (size_t end : at) {
      split.Pieces.push_back(Stream.substr(from, end - from));
      from = end;
    }
    split.Pieces.push_back(Stream.substr(from));
    return split;
  };
  std::vector<TSplit> all = {cut({}, "whole")};
  for (size_t i = 1; i < Stream.size(); ++i) {
    all.push_back(cut({i}, "split at " + std::to_string(i)));
    if (i + 1 < Stream.size()) {
      all.push_back(
          cut({i, i + 1}, "split at " + std::to_string(i) + " and " + std::to_string(i + 1)));
    }
  }
  std::vector<size_t> bytes;
  for (size_t i = 1; i < Stream.size(); ++i) bytes.push_back(i);
  all.push_back(cut(bytes, "byte by byte"));
  return all;
}

// Runs Check for every split of Stream (stops early when Check returns false, so a failure
// is reported once, with the split's label).
inline void ForEachSplit(std::string_view Stream, const std::function<bool(const TSplit&)>& Check) {
  for (const TSplit& split : SplitsOf(Stream)) {
    if (!Check(split)) return;
  }
}

}  // namespace gw::test_support
