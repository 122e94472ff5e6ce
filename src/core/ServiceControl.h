// TServiceControl: starting, stopping and reloading the gateway service, shared by
// every front-end (the headless one and the operator console). It owns the current
// gateway server, loads the configuration and the lists beside it, reports start-up
// progress to a controlling program and writes the service's information lines.
// The front-end supplies where lines for its log view go and how its menu and
// caption follow the service state.
//
// Thread safety: StartService, StopService, LoadConfig and the destructor belong to
// the front-end's user-interface thread. The drain and hand-over operations (StartDrain,
// HurryDrain, IsDraining, ListenSocketsForHandOver, HandOverListeners) are safe from any
// thread (signals, the control channel, an admin interface). The log procedure handed to the
// gateway server (ServerLogProc) may be called from any thread: it writes through the process's
// logger (file and feed), or straight to the front-end's view sink when there is none.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "config/GateShare.h"
#include "core/GateWayServer.h"
#include "core/ServiceDrain.h"
#include "logging/LogLevel.h"
#include "net/TlsContext.h"

namespace gw {

class TServiceControl {
 public:
  struct TFrontEnd {
    // A finished line (time and level mark in front) for the log view only; any thread.
    // Used only when the process has no logger (the logger's feed reaches the view).
    std::function<void(const std::string& Line, TLogLevel Level)> ShowLine;
    // Running: "启动服务" disabled and "停止服务" enabled; stopped: the reverse.
    std::function<void(bool Running)> SetServiceState;
    std::function<void(const std::string& Caption)> SetCaption;
    // A drain has ended: the front-end stops the service on its own thread (StopService).
    // Called on the drain's thread; must only ask.
    std::function<void()> DrainEnded;
  };

  // The version the About lines name.
  static constexpr char kVersionText[] = "版本: 2022.05.08";

  // `Files`: where the configuration load reads (tests point it elsewhere).
  explicit TServiceControl(TFrontEnd FrontEnd, TGateWayFiles Files = {});
  // Stops and frees the current gateway server, if any.
  ~TServiceControl();
  TServiceControl(const TServiceControl&) = delete;
  TServiceControl& operator=(const TServiceControl&) = delete;

  // Loads the configuration and starts a new gateway server. A failure is shown
  // in the log view as a fatal line, followed by the information line naming the
  // gateway port; the service is then stopped and may be started again.
  // Returns whether the service runs. After a failure StartError says why, in one line
  // for an operator (file and line, or address and system error).
  bool StartService();
  const std::string& StartError() const { return FStartError; }
  // A warning line while the running server uses the built-in development keys (every
  // start and every reload does it).
  void WarnDevelopmentKeys() const;
  // Stops the current gateway server; it stays the current one until the next start. A drain
  // under way ends here (whoever is left gets the close frame 1001).
  void StopService();

  // Starts a drain of the running service (see TServiceDrain): no new clients after the
  // notice, live sessions relayed until they leave or the drain's time is over; then the
  // front-end's DrainEnded asks for the stop. `Reason` names who asked ("SIGTERM", "control
  // channel", ...). Returns whether a drain started: false when no service runs, or a drain
  // or a stop is under way. Any thread.
  bool StartDrain(const std::string& Reason);
  // Ends the drain under way at once (a second stop request); false when there is none.
  bool HurryDrain();
  bool IsDraining() const;
  // Whether a stop request drains for a while (the drain is longer than the close frames'
  // grace) rather than stopping at once as a plain stop does.
  static bool DrainRelays() { return DrainOptions().RelayMs() > 0; }
  // The drain every stop request starts. The program sets it once from its command line,
  // before any service starts.
  static void SetDrainOptions(TDrainOptions Options) { DrainOptionsStore() = Options; }
  static const TDrainOptions& DrainOptions() { return DrainOptionsStore(); }

  // The listener hand-over to a new gateway process (--take-over), old side: copies of the
  // listening sockets to hand over, which the caller closes (none when no service runs, or it
  // drains or stops), and, once the
  // new process serves them, the end of this one's accepting and the start of its drain.
  // Any thread.
  TGateWaySocketServer::TListenSockets ListenSocketsForHandOver() const;
  bool HandOverListeners(const std::string& Reason);
  // Whether the listeners went to another process (which then speaks to the service
  // manager: this one must not any more). Any thread.
  bool HandedOver() const { return FHandedOver.load(); }
  // New side: the next start serves these sockets instead of binding, accepting only from
  // BeginAccepting on. Before StartService.
  void SetInheritedListeners(TGateWaySocketServer::TListenSockets Sockets) {
    FInherited = std::move(Sockets);
  }
  void BeginAccepting();
  // Reloads GateWay.xml, the word list and the permanent block list (SIGHUP, the console's
  // reload, the service's control), all or nothing: settings with errors, or a list that
  // cannot be read, keep every old setting, and the log says why with file and line. Otherwise
  // the launch block's overrides and the codec pass word follow, the pass word, the lists, the
  // limit and the guard change at once, and the log names each changed setting (old → new),
  // marking those a running server only takes up at its next start (ports, addresses,
  // workers). The result says the same for callers that report it (an admin interface).
  TConfigReloadResult LoadConfig();
  // The result of the last LoadConfig; not Ok before the first reload.
  const TConfigReloadResult& LastReload() const { return FLastReload; }
  // Hands the protection settings of the configuration to the running server's guard;
  // LoadConfig does so itself, a confirmed settings dialog calls it. No server: nothing.
  void ApplyGuardSettings();

  // The About lines: the two texts the program keeps enciphered, then the version.
  static void WriteAboutLines();

  // The send interval every gateway server started from now on gives its workers
  // (milliseconds; TGateWayWorker::kSendInterval unless set). The program sets it once
  // from its command line, before any service starts; readable from any thread.
  static void SetSendInterval(uint32_t Ms) { SendIntervalMs().store(Ms); }
  static uint32_t SendInterval() { return SendIntervalMs().load(); }
  // The PROXY protocol and metrics settings every gateway server started from now on
  // gets. The program sets them once from its command line, before any service starts
  // and before any other thread reads them.
  static void SetEdgeOptions(TEdgeOptions Options) { EdgeOptionsStore() = std::move(Options); }
  static const TEdgeOptions& EdgeOptions() { return EdgeOptionsStore(); }

  // The client port's TLS certificate and key files and the context loaded from them
  // (files empty, context null: plain ws). The program sets them once from its command
  // line, before any service starts, after loading the context itself (a bad file must
  // stop the program there). Readable from any thread.
  static void SetTlsCertificate(std::string CertFile, std::string KeyFile, PTlsContext Context);
  static PTlsContext TlsContext();
  // Reads the certificate and key files again (SIGHUP; a renewed certificate): clients
  // that connect from now on get the new pair, live ones keep theirs, and the new expiry
  // is logged. A file that cannot be used is logged and the previous pair stays. Without
  // TLS nothing happens. Returns whether a new pair is in use.
  bool ReloadTlsCertificate();

  // The current gateway server (none before the first start).
  TGateWaySocketServer* Server() const { return FServer.get(); }
  bool IsRunning() const { return FServer && FServer->IsRuning(); }
  // The caption after a start: "GateWay - " + Title and the launch block's marks.
  static std::string MakeCaption(const std::string& Title, bool PressureTest, bool Performance);

 private:
  struct TTlsFiles;
  static TTlsFiles& TlsFiles();
  static std::atomic<uint32_t>& SendIntervalMs() {
    static std::atomic<uint32_t> ms{TGateWayWorker::kSendInterval};
    return ms;
  }
  static TEdgeOptions& EdgeOptionsStore() {
    static TEdgeOptions options;
    return options;
  }
  static TDrainOptions& DrainOptionsStore() {
    static TDrainOptions options;
    return options;
  }
  bool StartDrainLocked(const std::string& Reason, bool AcceptingStopped);
  // The server's, workers' and links' log procedure; any thread.
  TLogProc ServerLogProc() const;
  // The fatal line, the port line and the cause after a failed start.
  void FailedStart(const TLogProc& ServerLog, const std::string& What);
  // A few lines with the settings the started server runs with.
  void LogEffectiveSettings() const;
  void SetServiceState(bool Running) const {
    if (FFrontEnd.SetServiceState) FFrontEnd.SetServiceState(Running);
  }

  const TFrontEnd FFrontEnd;
  const TGateWayFiles FFiles;
  // Guards FServer against the threads that drain or hand over (the owner's thread reads it
  // without the lock) and the fields below.
  mutable std::mutex FDrainLock;
  std::unique_ptr<TGateWaySocketServer> FServer;
  std::unique_ptr<TServiceDrain> FDrain;  // the drain under way or ended, until the stop
  bool FStopping = false;                 // StopService has begun: no drain starts
  std::atomic<bool> FHandedOver{false};
  TGateWaySocketServer::TListenSockets FInherited;  // owner's thread, until the next start
  std::string FStartError;  // why the last start failed; empty after a good one
  TConfigReloadResult FLastReload;
};

}  // namespace gw
