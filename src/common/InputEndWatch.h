// TInputEndWatch: on Windows, a program started with a pipe for its standard input (a
// supervisor, the tests) takes the pipe's end as the request to stop, as SIGTERM is taken on
// Linux. A console's input, or none, is left alone; on Linux nothing is watched.
//
// Thread safety: `Stop` runs on a thread of the watch. A read of a pipe cannot be broken off,
// so that thread may outlive the object: after the destructor `Stop` no longer runs.
#pragma once

#include <functional>
#include <memory>

namespace gw {

class TInputEndWatch {
 public:
  explicit TInputEndWatch(std::function<void()> Stop);
  ~TInputEndWatch();
  TInputEndWatch(const TInputEndWatch&) = delete;
  TInputEndWatch& operator=(const TInputEndWatch&) = delete;

  bool Watching() const { return FShared != nullptr; }

  struct TShared;  // what the watching thread shares with the object

 private:
  std::shared_ptr<TShared> FShared;
};

}  // namespace gw
