#include "app/TakeOverSpawn.h"

namespace gw {

uint32_t SpawnDetached(const TSelfCommand&, std::string& AError) {
  AError = "the upgrade by listener hand-over (--take-over) is not supported on Windows";
  return 0;
}

}  // namespace gw
