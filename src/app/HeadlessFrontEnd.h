// THeadlessFrontEnd: runs the gateway service without a window. The log view is
// standard output (same line format; level colours as ANSI colours when it is a
// terminal), fed through a double-buffered list that is written out every 200 ms.
// When standard output is systemd's journal (JOURNAL_STREAM names it) each line starts with
// its priority ("<3>" error and fatal, "<4>" warning, "<6>" information, "<7>" debug) and
// has no colour.
// SIGHUP reloads the configuration and the TLS certificate, SIGTERM and SIGINT stop
// the service and end Run (on Windows: the console's events, see THeadlessSignals); so does
// the controlling program's close command (2000), and so do RequestStop and RequestReload
// (the Windows service's controls). A stop request drains first when the drain is longer than
// the close frames' grace (TServiceControl::DrainRelays), and a second one during the drain
// ends it at once; the control channel's drain command (2001) drains in any case.
// Binary upgrade (Linux): SIGUSR2 starts the program again with --take-over (TakeOverSpawn),
// and this gateway hands its listeners over on the upgrade channel (TListenerHandOff); with
// SetTakeOver, Run is that new process: it takes the listeners of the gateway serving the work
// folder, starts on them, and once its logic link is up tells the service manager its
// MAINPID, has the old one drain, accepts, and says READY=1.
//
// Thread safety: the log feed and the view sink may be called from any thread;
// everything else runs on the thread that calls Run (the user-interface thread).
// BlockServiceSignals must run in main before any other thread exists, so that
// the signals reach Run's watcher instead of an arbitrary thread.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "admin/GateWayAdmin.h"

#include "app/TakeOverSpawn.h"
#include "gate/DoubleBufferCollection.h"
#include "logging/LogLevel.h"

namespace gw {

class THeadlessFrontEnd {
 public:
  // Interval of the log view's refresh and of the wait for signals.
  static constexpr int kLogViewIntervalMs = 200;
  // Interval of the summary line with the client guard's counters.
  static constexpr int kSummaryIntervalSec = 60;
  // Run's exit code when the service could not start (after one line on standard error).
  static constexpr int kStartFailedExitCode = 1;

  // Installs the log feed at once, so that lines written before Run are shown too.
  explicit THeadlessFrontEnd(std::FILE* Out = stdout);
  ~THeadlessFrontEnd();
  THeadlessFrontEnd(const THeadlessFrontEnd&) = delete;
  THeadlessFrontEnd& operator=(const THeadlessFrontEnd&) = delete;

  // Blocks SIGHUP, SIGTERM, SIGINT and SIGUSR1 for the calling thread and the threads it creates
  // later.
  static void BlockServiceSignals();

  // Announces itself to the controlling program (status 1000 with its handle), starts the
  // service, tells `OnStarted` whether it started, and serves signals and commands until
  // told to stop; then stops the service. Returns the process exit code: 0 after a stop,
  // kStartFailedExitCode at once when the service did not start (the cause on standard
  // error and as the service manager's status; no "ready"). Without
  // `WatchSignals` only the requests below stop and reload it: a Windows service must not
  // take the console events (a user's logoff would stop it).
  int Run(const std::function<void(bool Started)>& OnStarted = {}, bool WatchSignals = true);

  // Why the service did not start (after Run told OnStarted so); empty otherwise.
  const std::string& StartError() const { return FStartError; }

  // Any thread: asks Run to stop, or to reload the settings and the certificate.
  void RequestStop();
  void RequestReload();
  // Any thread: asks Run to drain (then stop), or to start the upgrade (SIGUSR2).
  void RequestDrain();
  void RequestUpgrade();

  // Before Run: the work folder (absolute; the upgrade channel's name comes from it), how the
  // program starts itself again for an upgrade, and whether this run takes over.
  void SetUpgrade(std::string WorkFolder, TSelfCommand Self, bool TakeOver) {
    FWorkFolder = std::move(WorkFolder);
    FSelf = std::move(Self);
    FTakeOver = TakeOver;
  }

  // Serves the admin API and web console (--admin) while Run serves: opened before the
  // service starts (a listener that cannot open is a failed start), closed before it stops.
  // Before Run.
  void EnableAdmin(TGateWayAdmin::TOptions Options) { FAdminOptions = std::move(Options); }
  // Any thread: runs `Task` on Run's thread with the service at its next turn; dropped when
  // Run is not serving.
  void RunOnServiceThread(std::function<void(TServiceControl&)> Task);

  // Any thread: one finished line for the view.
  void ShowLine(const std::string& Line, TLogLevel Level);

  // The ANSI colour sequence of a level (text on background as the console shows it).
  static const char* LevelColour(TLogLevel Level);
  // The journal's priority prefix of a level ("<3>" and so on; information for a level
  // outside the known ones).
  static const char* JournalPriority(TLogLevel Level);
  // Whether `Out` is the stream systemd's journal reads: JOURNAL_STREAM ("device:inode")
  // names its file.
  static bool IsJournalStream(std::FILE* Out);

 private:
  void ShowMainLogMsg();

  std::FILE* const FOut;
  const bool FJournal;
  const bool FColour;
  TDoubleStringList FLogList;  // lines waiting for the view; the level rides as the object
  std::mutex FRequestsLock;    // guards the requests
  std::condition_variable FRequested;
  int FStopRequests = 0;  // SIGTERM, SIGINT, the Windows service's stop
  bool FStopNow = false;  // the controller's close command, a drain's end
  bool FReloadRequested = false;
  bool FDrainRequested = false;
  bool FUpgradeRequested = false;
  std::string FStartError;  // Run's thread
  std::string FWorkFolder;  // set before Run
  TSelfCommand FSelf;
  bool FTakeOver = false;
  std::optional<TGateWayAdmin::TOptions> FAdminOptions;  // set before Run
  // Guarded by FRequestsLock: work for Run's thread, taken only while it serves.
  std::vector<std::function<void(TServiceControl&)>> FServiceTasks;
  bool FServing = false;
};

}  // namespace gw
