// The service the host's tests install: "--service run NAME MODE" runs it under the
// Service Control Manager with the host. It writes what happens to it, one word a line, to
// "NAME.events" in its working folder (which the host makes the program's own):
// "running", "reload" for each reload, "stop", "ended". MODE "fail" reports a failed start
// and ends with exit code 3.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "common/ServiceHost.h"

namespace {

constexpr int kFailExitCode = 3;

class TEventFile {
 public:
  explicit TEventFile(const std::string& Name) : FPath(Name + ".events") {}
  void Write(const char* Word) {
    std::lock_guard<std::mutex> guard(FLock);
    if (std::FILE* file = std::fopen(FPath.c_str(), "a")) {
      std::fprintf(file, "%s\n", Word);
      std::fclose(file);
    }
  }

 private:
  const std::string FPath;
  std::mutex FLock;  // one writer at a time (the service's and the dispatcher's threads)
};

}  // namespace

int main(int argc, char** argv) {
  using gw::TServiceHost;
  if (argc != 5 || std::string(argv[1]) != TServiceHost::kServiceOption ||
      std::string(argv[2]) != TServiceHost::kRunAction) {
    std::fprintf(stderr, "usage: %s --service run NAME serve|fail\n", argv[0]);
    return 2;
  }
  const std::string name = argv[3];
  const bool fail = std::string(argv[4]) == "fail";
  TEventFile events(name);
  std::mutex stopLock;  // guards `stopped`
  std::condition_variable stopChanged;
  bool stopped = false;

  TServiceHost::THandlers handlers;
  handlers.Run = [&](TServiceHost::TStartReport& report) {
    if (fail) {
      report.StartFailed("the test service was told to fail");
      return kFailExitCode;
    }
    report.Running();
    events.Write("running");
    std::unique_lock<std::mutex> lock(stopLock);
    stopChanged.wait(lock, [&] { return stopped; });
    events.Write("ended");
    return 0;
  };
  handlers.Stop = [&] {
    events.Write("stop");
    {
      std::lock_guard<std::mutex> guard(stopLock);
      stopped = true;
    }
    stopChanged.notify_all();
  };
  handlers.Reload = [&] { events.Write("reload"); };
  std::string error;
  const int code = TServiceHost::Run(name, std::move(handlers), error);
  if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
  return code;
}
