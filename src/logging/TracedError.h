// An error that remembers the call stack where it was raised, so the process-wide error
// handler can log where the failure happened instead of where it was caught. Errors of other
// types carry no stack; the handler then logs their message alone.
// A value type: safe to copy and read from any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

class ETracedError : public std::runtime_error {
 public:
  // Takes the caller's stack (the constructor's own frame left out).
  explicit ETracedError(const std::string& Message);

  // The stack at construction as text lines, innermost first, as far as the platform offers
  // symbols; empty when it offers none.
  std::vector<std::string> StackLines() const;

 private:
  std::vector<void*> FFrames;
};

}  // namespace gw
