#include "AttackMain.h"

#include <charconv>
#include <cstdio>
#include <string>

#include "AttackClients.h"

namespace gw {

namespace {

void AttackUsage(std::FILE* Out = stderr) {
  std::fputs(
      "usage: gatesim attack --url ws://127.0.0.1:7200 --mode MODE -n N [--duration 10]\n"
      "                      [--sources 127.0.0.2-127.0.0.200] [--size 65536] [--burst 100]\n"
      "                      [--reopen-ms 100] [--keys-folder .]\n"
      "MODE: silent (connect, send nothing), slowloris (the upgrade one byte every 200 ms),\n"
      "no-answer (upgrade, never answer the challenge), oversize (pass the check, then one\n"
      "message of --size bytes), msg-flood (pass the check, then --burst messages in one\n"
      "write), conn-flood (connect and close as fast as possible). N connections attack at a\n"
      "time; each is opened again --reopen-ms after the gateway closed it. --sources spreads\n"
      "them over a range of local addresses (127.0.0.0/8 reaches the loopback everywhere).\n",
      Out);
}

template <typename T>
bool Number(const std::string& Name, const std::string& Text, T& Value) {
  auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (ec == std::errc() && end == Text.data() + Text.size()) return true;
  std::fprintf(stderr, "gatesim: %s needs a number, not \"%s\"\n", Name.c_str(), Text.c_str());
  return false;
}

}  // namespace

int AttackMain(int Argc, char** Argv) {
  TAttackOptions o;
  bool haveMode = false;
  for (int i = 2; i < Argc; ++i) {
    std::string name = Argv[i];
    if (name == "--help" || name == "-h") {
      AttackUsage(stdout);
      return 0;
    }
    if (i + 1 >= Argc) {
      std::fprintf(stderr, "gatesim: unknown or incomplete option %s\n", name.c_str());
      AttackUsage();
      return 2;
    }
    std::string value = Argv[++i];
    bool ok = true;
    if (name == "--url") {
      o.Url = value;
    } else if (name == "--mode") {
      ok = haveMode = ParseAttackMode(value, o.Mode);
      if (!ok) std::fprintf(stderr, "gatesim: unknown attack mode %s\n", value.c_str());
    } else if (name == "-n") {
      ok = Number(name, value, o.Count);
    } else if (name == "--duration") {
      ok = Number(name, value, o.DurationSec);
    } else if (name == "--sources") {
      o.Sources = value;
    } else if (name == "--size") {
      ok = Number(name, value, o.Size);
    } else if (name == "--burst") {
      ok = Number(name, value, o.Burst);
    } else if (name == "--reopen-ms") {
      ok = Number(name, value, o.ReopenMs);
    } else if (name == "--keys-folder") {
      o.KeysFolder = value;
    } else {
      std::fprintf(stderr, "gatesim: unknown option %s\n", name.c_str());
      ok = false;
    }
    if (!ok) {
      AttackUsage();
      return 2;
    }
  }
  if (!haveMode || o.Count == 0 || o.DurationSec < 0) {
    AttackUsage();
    return 2;
  }
  TAttackClients runner(o);
  TAttackResult result;
  std::string error;
  if (!runner.Run(result, error)) {
    std::fprintf(stderr, "gatesim attack: %s\n", error.c_str());
    return 1;
  }
  std::fputs(result.Summary.c_str(), stdout);
  return 0;
}

}  // namespace gw
