#include "codec/DefaultMessage.h"

#include <cstring>

namespace gw {

TDefaultMessage ReadDefaultMessage(const uint8_t* bytes) {
  TDefaultMessage msg;
  std::memcpy(&msg, bytes, sizeof(msg));
  return msg;
}

void WriteDefaultMessage(const TDefaultMessage& msg, uint8_t* bytes) {
  std::memcpy(bytes, &msg, sizeof(msg));
}

}  // namespace gw
