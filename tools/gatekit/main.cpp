// gatekit: see GateKit.h.
#include <iostream>

#include "GateKit.h"
#include "common/Platform.h"

int main(int argc, char** argv) {
  std::vector<std::string> args = gw::ProgramArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());  // the program's name
  std::string out;
  std::string err;
  const int code = gw::RunGateKit(args, out, err);
  std::cout << out;
  std::cerr << err;
  return code;
}
