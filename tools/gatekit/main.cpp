// gatekit: see GateKit.h.
#include <iostream>

#include "GateKit.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string out;
  std::string err;
  const int code = gw::RunGateKit(args, out, err);
  std::cout << out;
  std::cerr << err;
  return code;
}
