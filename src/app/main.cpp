// The gateway program: process-wide objects, the command line, then a front-end.
#include <csignal>
#include <cstdio>

#include "app/CommandLine.h"
#include "app/HeadlessFrontEnd.h"
#include "codec/MessageCoder.h"
#include "config/GateShare.h"
#include "logging/LoggerThread.h"

int main(int argc, char** argv) {
  using namespace gw;
  // Before any thread exists, so that every thread inherits the blocked signals.
  THeadlessFrontEnd::BlockServiceSignals();
  // A reader of standard output that goes away must not end the gateway.
  std::signal(SIGPIPE, SIG_IGN);
  TCommandLine commandLine = ParseCommandLine(argc, argv);
  if (commandLine.Help) {
    std::fputs(
        "usage: gateway [--headless] [-profile | -profilestart] [LAUNCH_BLOCK]\n"
        "  --headless    run without the operator console; the log goes to standard output\n"
        "  LAUNCH_BLOCK  enciphered launch parameter block of a controlling program\n"
        "Settings: ./GateWay.xml (written with its defaults when missing), ./WordFilter.txt,\n"
        "./BlockIPList.txt, ./GateKeys.txt. SIGHUP reloads the settings; SIGTERM or SIGINT\n"
        "stops the service and ends the program.\n",
        stdout);
    return 0;
  }
  TLoggerThread loggerThread;
  MessageCoder();
  GateWayConfig();
  IPManager();
  WordList();

  THeadlessFrontEnd frontEnd;
  for (const std::string& option : commandLine.UnknownOptions) {
    std::fprintf(stderr, "gateway: unknown option %s ignored\n", option.c_str());
  }
  if (commandLine.Profile || commandLine.ProfileStart) {
    std::fprintf(stderr, "gateway: no profiling library on this platform; option ignored\n");
  }
  if (!commandLine.Headless) {
    std::fprintf(stderr,
                 "gateway: the operator console is not part of this build; running headless\n");
  }
  const char* launchArgv[] = {argv[0], commandLine.LaunchBlock.c_str()};
  LoadLaunchParams(commandLine.LaunchBlock.empty() ? 1 : 2, launchArgv);
  return frontEnd.Run();
}
