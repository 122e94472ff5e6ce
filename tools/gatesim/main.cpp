// gatesim: simulated upstream servers and game clients for the gateway.
//   gatesim logic-server [--port 5000] [--addr 0.0.0.0] [--quiet] [--no-tables]
//                        [--check-every-ms 3000] [--echo-every-ms 5000] [faults]
//   gatesim login-server [--port 5500] [--addr 0.0.0.0] [--quiet] [faults]
//   faults: [--stop-reading-after SEC] [--read-slowly BYTES_PER_SEC] [--drop-every SEC]
//           [--no-keepalive-answer] [--late-frames] [--garbage-every SEC]
//   gatesim clients [--url ws://127.0.0.1:7200] [-n 10] [--rate 1] [--duration 10]
//                   [--threads 2] [--connect-rate 1000] [--login-timeout 20] [--drain 3]
//                   [--keys-folder .] [--watch-pid PID] [--no-progress] [--sources A-B]
//   gatesim churn [--url ws://127.0.0.1:7200] [-n 100] [--rate 10] [--life 10-60]
//                 [--arrivals 0] [--arrival-life 2-5] [--duration 0] [--control]
//                 [--first-phase run] [--threads 2] [--connect-rate 500] [--login-timeout 20]
//                 [--leave 3] [--keys-folder .] [--no-progress] [--sources A-B]
//   gatesim attack --url ws://127.0.0.1:7200 --mode MODE -n N [...]   (see AttackMain.cpp)
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "AttackClients.h"
#include "AttackMain.h"
#include "BotClients.h"
#include "ChurnClients.h"
#include "LogicServerSim.h"
#include "LoginServerSim.h"
#include "StopSignal.h"
#include "net/SocketApi.h"

namespace {

using namespace gw;

void Usage(std::FILE* Out = stderr) {
  std::fputs(
      "usage:\n"
      "  gatesim logic-server [--port 5000] [--addr 0.0.0.0] [--quiet] [--no-tables]\n"
      "                       [--check-every-ms 3000] [--echo-every-ms 5000] [faults]\n"
      "  gatesim login-server [--port 5500] [--addr 0.0.0.0] [--quiet] [faults]\n"
      "  gatesim clients [--url ws://127.0.0.1:7200] [-n 10] [--rate 1] [--duration 10]\n"
      "                  [--threads 2] [--connect-rate 1000] [--login-timeout 20] [--drain 3]\n"
      "                  [--keys-folder .] [--watch-pid PID] [--no-progress] [--sources A-B]\n"
      "  gatesim churn [--url ws://127.0.0.1:7200] [-n 100] [--rate 10] [--life 10-60]\n"
      "                [--arrivals 0] [--arrival-life 2-5] [--duration 0] [--control]\n"
      "                [--first-phase run] [--threads 2] [--connect-rate 500]\n"
      "                [--login-timeout 20] [--leave 3] [--keys-folder .] [--no-progress]\n"
      "                [--sources A-B]\n"
      "  gatesim attack --url ws://127.0.0.1:7200 --mode MODE -n N [...] (gatesim attack --help)\n"
      "\n"
      "clients: --rate is messages per second per bot (move, attack and default in turn), sent\n"
      "for --duration seconds once every bot is in the game; each must come back intact.\n"
      "Servers run until SIGINT or SIGTERM and log one line per event (--quiet: start-up and\n"
      "failures only). In the game, a client default message with ident 9001 makes the logic\n"
      "server kick its session (Recog non-zero: with a reason); a login message starting with\n"
      "\"KICKME\" makes the login server close the session. Both key sessions by link and\n"
      "handle (two gateways may use equal handles) and count a handle that comes by a link where\n"
      "it has no session while it is open on another (misrouted) or on none (unknown); a stop\n"
      "prints the counts in a \"stats:\" line.\n"
      "\n"
      "faults (both servers): --stop-reading-after SEC: each gateway link is no longer read SEC\n"
      "seconds after it connected (0: never read); --read-slowly N: read at most N bytes/s;\n"
      "--drop-every SEC: close each link SEC seconds after it connected; --no-keepalive-answer:\n"
      "leave the gateway's keep-alives unanswered (logic: also set --check-every-ms 0 for a\n"
      "silent server); --late-frames: after a session's close, send one more frame for its\n"
      "handle (login: a hand-over, logic: its last data); --garbage-every SEC: send frames the\n"
      "gateway must drop (wrong magic, unknown ident or command, handle 0, no \"%\").\n"
      "clients: every echo and hand-over must carry the bot's own identity; the summary counts\n"
      "those that do not (misdelivered) and the exit status is 1 if there is any.\n"
      "\n"
      "churn: -n players each live a random time in --life MIN-MAX seconds (connect, log in,\n"
      "play at --rate), leave politely (last echoes awaited, close frame) and come back at once "
      "as\n"
      "new players; --arrivals R more players a second arrive besides, living --arrival-life.\n"
      "The run lasts --duration seconds, or with --control until standard input says \"end\" or\n"
      "ends; \"phase NAME\" starts a new phase of the report, \"hold\" lets players leave at "
      "their\n"
      "end without coming back (and stops the arrivals). Each phase is reported on its own:\n"
      "connects refused, reset or failed, sessions the gateway closed (going away: 1001),\n"
      "messages lost, cut by a close, misdelivered, round-trip p50 and p99. Exit status 1 if any\n"
      "message was misdelivered.\n",
      Out);
}

// "--name value" pairs and bare "--flag"s; flags are the names listed in Flags.
bool ParseArgs(int Argc, char** Argv, const std::set<std::string>& Flags,
               const std::set<std::string>& Valued, std::map<std::string, std::string>& Out) {
  for (int i = 2; i < Argc; ++i) {
    std::string name = Argv[i];
    if (Flags.count(name)) {
      Out.insert_or_assign(name, std::string(1, '1'));
    } else if (Valued.count(name) && i + 1 < Argc) {
      Out[name] = Argv[++i];
    } else {
      std::fprintf(stderr, "gatesim: unknown or incomplete option %s\n", name.c_str());
      return false;
    }
  }
  return true;
}

template <typename T>
bool Number(const std::map<std::string, std::string>& Args, const std::string& Name, T& Value) {
  auto it = Args.find(Name);
  if (it == Args.end()) return true;
  const std::string& text = it->second;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), Value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    std::fprintf(stderr, "gatesim: %s needs a number, not \"%s\"\n", Name.c_str(), text.c_str());
    return false;
  }
  return true;
}

int RunServer(TSimTcpServer& Server, const std::string& Addr, uint16_t Port, TSimLog& Log) {
  std::string error;
  if (!Server.Start(Addr, Port, error)) {
    Log.Always(Server.Name(), "cannot listen: " + error);
    return 1;
  }
  Log.Always(Server.Name(), "listening on " + Addr + ":" + std::to_string(Server.Port()));
  WaitForStop();
  Log.Always(Server.Name(), "stopping");
  Server.Stop();
  Log.Always(Server.Name(), Server.Stats());
  return 0;
}

const std::set<std::string> kFaultFlags = {"--no-keepalive-answer", "--late-frames"};
const std::set<std::string> kFaultValued = {"--stop-reading-after", "--read-slowly", "--drop-every",
                                            "--garbage-every"};

std::set<std::string> Join(std::set<std::string> A, const std::set<std::string>& B) {
  A.insert(B.begin(), B.end());
  return A;
}

// The fault options both servers share. False (with a message printed) on a bad number.
bool ParseFaults(const std::map<std::string, std::string>& Args, TSimFaults& Faults,
                 bool& AnswerKeepAlive, bool& LateFrames, uint32_t& GarbageEveryMs) {
  uint32_t stopAfter = 0, readRate = 0, dropEvery = 0, garbageEvery = 0;
  if (!Number(Args, "--stop-reading-after", stopAfter) ||
      !Number(Args, "--read-slowly", readRate) || !Number(Args, "--drop-every", dropEvery) ||
      !Number(Args, "--garbage-every", garbageEvery)) {
    return false;
  }
  if (Args.count("--stop-reading-after")) Faults.StopReadingAfterMs = int64_t{stopAfter} * 1000;
  Faults.ReadBytesPerSec = readRate;
  Faults.DropEveryMs = dropEvery * 1000;
  GarbageEveryMs = garbageEvery * 1000;
  AnswerKeepAlive = !Args.count("--no-keepalive-answer");
  LateFrames = Args.count("--late-frames") != 0;
  return true;
}

int LogicServer(int Argc, char** Argv) {
  std::map<std::string, std::string> args;
  if (!ParseArgs(Argc, Argv, Join({"--quiet", "--no-tables"}, kFaultFlags),
                 Join({"--port", "--addr", "--check-every-ms", "--echo-every-ms"}, kFaultValued),
                 args)) {
    return 2;
  }
  uint16_t port = 5000;
  TLogicServerSimOptions options;
  TSimFaults faults;
  if (!Number(args, "--port", port) ||
      !Number(args, "--check-every-ms", options.CheckServerEveryMs) ||
      !Number(args, "--echo-every-ms", options.EchoEveryMs) ||
      !ParseFaults(args, faults, options.AnswerKeepAlive, options.LateFrames,
                   options.GarbageEveryMs)) {
    return 2;
  }
  options.PushTables = !args.count("--no-tables");
  PrepareStopSignals();
  TSimLog log(args.count("--quiet") != 0);
  TLogicServerSim server(log, options);
  server.SetFaults(faults);
  return RunServer(server, args.count("--addr") ? args["--addr"] : "0.0.0.0", port, log);
}

int LoginServer(int Argc, char** Argv) {
  std::map<std::string, std::string> args;
  if (!ParseArgs(Argc, Argv, Join({"--quiet"}, kFaultFlags),
                 Join({"--port", "--addr"}, kFaultValued), args)) {
    return 2;
  }
  uint16_t port = 5500;
  TLoginServerSimOptions options;
  TSimFaults faults;
  if (!Number(args, "--port", port) || !ParseFaults(args, faults, options.AnswerKeepAlive,
                                                    options.LateFrames, options.GarbageEveryMs)) {
    return 2;
  }
  PrepareStopSignals();
  TSimLog log(args.count("--quiet") != 0);
  TLoginServerSim server(log, options);
  server.SetFaults(faults);
  return RunServer(server, args.count("--addr") ? args["--addr"] : "0.0.0.0", port, log);
}

int Clients(int Argc, char** Argv) {
  std::map<std::string, std::string> args;
  if (!ParseArgs(Argc, Argv, {"--no-progress"},
                 {"--url", "-n", "--rate", "--duration", "--threads", "--connect-rate",
                  "--login-timeout", "--drain", "--keys-folder", "--watch-pid", "--sources"},
                 args)) {
    return 2;
  }
  TBotClientsOptions o;
  if (args.count("--url")) o.Url = args["--url"];
  if (args.count("--keys-folder")) o.KeysFolder = args["--keys-folder"];
  o.Progress = !args.count("--no-progress");
  if (args.count("--sources") &&
      !ParseSourceRange(args["--sources"], o.SourceFirst, o.SourceLast)) {
    std::fprintf(stderr, "gatesim: --sources needs A.B.C.D or A.B.C.D-E.F.G.H\n");
    return 2;
  }
  if (!Number(args, "-n", o.Count) || !Number(args, "--rate", o.Rate) ||
      !Number(args, "--duration", o.DurationSec) || !Number(args, "--threads", o.Threads) ||
      !Number(args, "--connect-rate", o.ConnectRate) ||
      !Number(args, "--login-timeout", o.LoginTimeoutSec) || !Number(args, "--drain", o.DrainSec) ||
      !Number(args, "--watch-pid", o.WatchPid)) {
    return 2;
  }
  if (o.Count == 0 || o.Rate < 0 || o.DurationSec < 0) {
    std::fputs("gatesim: -n must be at least 1, --rate and --duration not negative\n", stderr);
    return 2;
  }
  TBotClients runner(o);
  TBotClientsResult result;
  std::string error;
  if (!runner.Run(result, error)) {
    std::fprintf(stderr, "gatesim clients: %s\n", error.c_str());
    return 1;
  }
  std::fputs(result.Summary.c_str(), stdout);
  return result.Errors == 0 && result.Misdelivered == 0 && result.InGame == result.Bots ? 0 : 1;
}

// "A-B" (or "A") seconds.
bool ParseSecondsRange(const std::string& Text, double& Min, double& Max) {
  size_t dash = Text.find('-');
  std::string first = Text.substr(0, dash);
  std::string second = dash == std::string::npos ? first : Text.substr(dash + 1);
  auto parse = [](const std::string& T, double& V) {
    auto [end, ec] = std::from_chars(T.data(), T.data() + T.size(), V);
    return !T.empty() && ec == std::errc() && end == T.data() + T.size() && V >= 0;
  };
  return parse(first, Min) && parse(second, Max) && Min <= Max;
}

int Churn(int Argc, char** Argv) {
  std::map<std::string, std::string> args;
  if (!ParseArgs(Argc, Argv, {"--no-progress", "--control"},
                 {"--url", "-n", "--rate", "--life", "--arrivals", "--arrival-life", "--duration",
                  "--first-phase", "--threads", "--connect-rate", "--login-timeout", "--leave",
                  "--keys-folder", "--sources"},
                 args)) {
    return 2;
  }
  TChurnOptions o;
  if (args.count("--url")) o.Url = args["--url"];
  if (args.count("--keys-folder")) o.KeysFolder = args["--keys-folder"];
  if (args.count("--first-phase")) o.FirstPhase = args["--first-phase"];
  o.Progress = !args.count("--no-progress");
  o.Control = args.count("--control") != 0;
  if (args.count("--sources") &&
      !ParseSourceRange(args["--sources"], o.SourceFirst, o.SourceLast)) {
    std::fprintf(stderr, "gatesim: --sources needs A.B.C.D or A.B.C.D-E.F.G.H\n");
    return 2;
  }
  for (auto [name, min, max] :
       {std::tuple{"--life", &o.LifeMinSec, &o.LifeMaxSec},
        std::tuple{"--arrival-life", &o.ArrivalLifeMinSec, &o.ArrivalLifeMaxSec}}) {
    if (args.count(name) && !ParseSecondsRange(args[name], *min, *max)) {
      std::fprintf(stderr, "gatesim: %s needs MIN-MAX seconds, MIN not above MAX\n", name);
      return 2;
    }
  }
  if (!Number(args, "-n", o.Count) || !Number(args, "--rate", o.Rate) ||
      !Number(args, "--arrivals", o.ArrivalRate) || !Number(args, "--duration", o.DurationSec) ||
      !Number(args, "--threads", o.Threads) || !Number(args, "--connect-rate", o.ConnectRate) ||
      !Number(args, "--login-timeout", o.LoginTimeoutSec) || !Number(args, "--leave", o.LeaveSec)) {
    return 2;
  }
  if (o.Rate < 0 || o.ArrivalRate < 0 || o.DurationSec < 0 || o.LeaveSec < 0) {
    std::fputs("gatesim: --rate, --arrivals, --duration and --leave must not be negative\n",
               stderr);
    return 2;
  }
  if (o.DurationSec == 0 && !o.Control) {
    std::fputs("gatesim: churn needs --duration or --control\n", stderr);
    return 2;
  }
  TChurnClients runner(o);
  TChurnResult result;
  std::string error;
  if (!runner.Run(result, error)) {
    std::fprintf(stderr, "gatesim churn: %s\n", error.c_str());
    return 1;
  }
  std::fputs(result.Summary.c_str(), stdout);
  std::fflush(stdout);
  return result.Total.Counts.Misdelivered == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  IgnoreBrokenPipe();
  if (!SocketStartup()) {
    std::fputs("gatesim: sockets unavailable\n", stderr);
    return 1;
  }
  if (argc < 2) {
    Usage();
    return 2;
  }
  std::string command = argv[1];
  // Asked for, the usage is an answer (standard output, success), not a complaint.
  bool help = command == "--help" || command == "-h" || command == "help";
  for (int i = 2; i < argc && command != "attack"; ++i) {
    help = help || std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h";
  }
  if (help) {
    Usage(stdout);
    return 0;
  }
  if (command == "logic-server") return LogicServer(argc, argv);
  if (command == "login-server") return LoginServer(argc, argv);
  if (command == "clients") return Clients(argc, argv);
  if (command == "churn") return Churn(argc, argv);
  if (command == "attack") return gw::AttackMain(argc, argv);
  Usage();
  return 2;
}
