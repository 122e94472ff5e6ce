// Starting the program again as `gateway --take-over …` for a binary upgrade (SIGUSR2): the
// new process runs detached from this one (it outlives it, and is nobody's zombie: an
// intermediate child ends at once and the service manager or init adopts it), in the folder
// the program was started from, with the same environment (the service manager's notify
// socket and journal stream included).
//
// Linux only; on Windows it fails saying so. Thread safety: any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gw {

struct TSelfCommand {
  std::string Program;                 // the executable's path as it was at the start
  std::vector<std::string> Arguments;  // after the program's name
  std::string Folder;                  // the folder the program was started in
};

// The process ID of the new process, or 0 with AError.
uint32_t SpawnDetached(const TSelfCommand& ACommand, std::string& AError);

}  // namespace gw
