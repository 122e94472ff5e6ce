#include "core/ServiceControl.h"

#include <exception>
#include <mutex>

#include "codec/DeploymentKeys.h"
#include "codec/EDcode.h"
#include "codec/StoredSecrets.h"
#include "common/BuildInfo.h"
#include "config/ControlChannel.h"
#include "core/ConfigReloadRecord.h"
#include "logging/LogFormat.h"
#include "logging/Logger.h"
#include "logging/LoggerThread.h"

namespace gw {

struct TServiceControl::TTlsFiles {
  std::mutex Lock;  // guards the fields below
  std::string CertFile;
  std::string KeyFile;
  PTlsContext Context;
};

TServiceControl::TTlsFiles& TServiceControl::TlsFiles() {
  static TTlsFiles files;
  return files;
}

void TServiceControl::SetTlsCertificate(std::string CertFile, std::string KeyFile,
                                        PTlsContext Context) {
  TTlsFiles& files = TlsFiles();
  std::lock_guard<std::mutex> guard(files.Lock);
  files.CertFile = std::move(CertFile);
  files.KeyFile = std::move(KeyFile);
  files.Context = std::move(Context);
}

PTlsContext TServiceControl::TlsContext() {
  TTlsFiles& files = TlsFiles();
  std::lock_guard<std::mutex> guard(files.Lock);
  return files.Context;
}

bool TServiceControl::ReloadTlsCertificate() {
  TTlsFiles& files = TlsFiles();
  std::string certFile, keyFile;
  {
    std::lock_guard<std::mutex> guard(files.Lock);
    if (!files.Context) return false;
    certFile = files.CertFile;
    keyFile = files.KeyFile;
  }
  std::string error;
  PTlsContext next = TTlsContext::Load(certFile, keyFile, error);
  if (!next) {
    TLogger::LogError("TLS certificate not reloaded, the previous one stays in use: " + error);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(files.Lock);
    files.Context = next;
  }
  if (FServer) FServer->SetTlsContext(next);
  TLogger::LogInfo("TLS certificate reloaded for new clients: " + next->Subject() + ", expires " +
                   next->NotAfter());
  return true;
}

TServiceControl::TServiceControl(TFrontEnd FrontEnd, TGateWayFiles Files)
    : FFrontEnd(std::move(FrontEnd)), FFiles(std::move(Files)) {}

TServiceControl::~TServiceControl() {
  {
    std::lock_guard<std::mutex> guard(FDrainLock);
    FStopping = true;
    FDrain.reset();
  }
  if (FServer) FServer->Stop();
  FServer.reset();
}

TLogProc TServiceControl::ServerLogProc() const {
  auto show = FFrontEnd.ShowLine;
  return [show](const std::string& text, TLogLevel level) {
    // The process's logger writes the line to the file and hands it to the front-end's
    // feed (the view), so the view sink gets it only where there is no logger.
    if (std::shared_ptr<TLogger> logger = TLoggerThread::GlobalDefault()) {
      logger->Log(text, level);
    } else if (show) {
      show(FormatLogLine(LocalLogTime(), text, level), level);
    }
  };
}

std::string TServiceControl::MakeCaption(const std::string& Title, bool PressureTest,
                                         bool Performance) {
  std::string caption = "GateWay - " + Title;
  if (PressureTest) caption += "[压力测试]";
  if (Performance) caption += " [性能分析]";
  return caption;
}

bool TServiceControl::StartService() {
  TLogProc serverLog = ServerLogProc();
  FStartError.clear();
  bool loaded = false;
  try {
    SendStatusMessage(kCtlServiceStarting, kServiceStartingText);
    TLogger::LogInfo("正在启动服务...");
    TLogger::LogInfo("GateWay " + BuildInfoText());
    SetServiceState(true);
    try {
      // Settings with errors end the start here (the exception names file and line).
      LoadGateWayConfig(FFiles);
      RecordConfigReload(true);
      loaded = true;
    } catch (...) {
      RecordConfigReload(false);
      throw;
    }
    ApplyGuardSettings();
    const TLaunchParams& params = LaunchParams();
    if (FFrontEnd.SetCaption) {
      FFrontEnd.SetCaption(
          MakeCaption(GateWayConfig().Title, params.PressureTestMark(), params.PerformanceMark()));
    }
    // The previous (stopped) server goes when the new one becomes the current one.
    if (FServer) FServer->Stop();
    auto server = std::make_unique<TGateWaySocketServer>(GateWayConfig());
    {
      std::lock_guard<std::mutex> guard(FDrainLock);
      FDrain.reset();
      FServer = std::move(server);
      FStopping = false;
    }
    if (!FInherited.Client.empty() || !FInherited.Metrics.empty()) {
      FServer->SetInheritedListeners(std::move(FInherited));
      FInherited = {};
    }
    FServer->SetLogger(serverLog);
    FServer->SetSendInterval(SendInterval());
    FServer->SetEdgeOptions(EdgeOptions());
    if (PTlsContext tls = TlsContext()) {
      FServer->SetTlsContext(tls);
      TLogger::LogInfo("TLS (wss) on the client port: " + tls->Subject() + ", expires " +
                       tls->NotAfter());
    }
    FServer->Start();
    TLogger::LogInfo("服务已启动成功...");
    SendStatusMessage(kCtlServiceStarted, kServiceStartedText);
    WriteAboutLines();
    LogEffectiveSettings();
    WarnDevelopmentKeys();
    return true;
  } catch (const EGateWayStartError& e) {
    FStartError = e.Cause();
    FailedStart(serverLog, e.what());
    return false;
  } catch (const std::exception& e) {
    // A settings file names itself (and its line) in its error; the key file too.
    FStartError = loaded ? e.what() : std::string("settings not loaded: ") + e.what();
    FailedStart(serverLog, e.what());
    return false;
  }
}

void TServiceControl::FailedStart(const TLogProc& ServerLog, const std::string& What) {
  SetServiceState(false);
  ServerLog(What, llFatal);
  TLogger::LogInfo("服务器的绑定端口:" + GateWayConfig().GatePort);
  TLogger::LogError("The service did not start: " + FStartError);
}

void TServiceControl::LogEffectiveSettings() const {
  const TGateWayConfigure& c = GateWayConfig();
  const TEdgeOptions& edge = EdgeOptions();
  const auto yesNo = [](bool on) { return std::string(on ? "on" : "off"); };
  TLogger::LogInfo("Settings in force: client port *:" + c.GatePort + ", logic server " +
                   c.ServerAddr + ":" + c.ServerPort + ", login server " + c.LoginSrvAddr + ":" +
                   std::to_string(c.LoginSrvPort) + ", workers " + std::to_string(c.WokerCount) +
                   ", send interval " + std::to_string(SendInterval()) + " ms");
  std::string blockMethod = std::to_string(static_cast<int>(c.BlockMethod));
  if (c.BlockMethod >= 0 && static_cast<size_t>(c.BlockMethod) < kBlockIPMethodNames.size()) {
    blockMethod = kBlockIPMethodNames[static_cast<size_t>(c.BlockMethod)];
  }
  TLogger::LogInfo(
      "Guard in force: MaxConnOfIPaddr " + std::to_string(c.MaxConnOfIPaddr) + ", ConnectionATK " +
      std::to_string(c.ConnectionATKCount) + " per " + std::to_string(c.ConnectionATKSec) +
      " s, ClientTimeOut " + std::to_string(c.ClientTimeOut) + " ms, MaxClientPacketSize " +
      std::to_string(c.MaxClientPacketSize) + " (KickOverPacketSize " +
      yesNo(c.KickOverPacketSize) + "), MaxClientMsgCount " + std::to_string(c.MaxClientMsgCount) +
      ", BlockMethod " + blockMethod + ", ClearTempList " + yesNo(c.ClearTempList) + " (" +
      std::to_string(c.ClearTempBlockListTime) + " ms)");
  std::string tls = "off (ws)";
  if (PTlsContext context = TlsContext())
    tls = context->Subject() + ", expires " + context->NotAfter();
  const std::string proxy = edge.ProxyFrom ? CidrListText(*edge.ProxyFrom) : "off";
  const std::string metrics =
      edge.Metrics ? edge.MetricsHost + ":" + std::to_string(edge.MetricsPort) : "off";
  TLogger::LogInfo("Edge in force: TLS " + tls + "; PROXY protocol from " + proxy + "; metrics " +
                   metrics + "; handshake keys " +
                   (FServer ? FServer->KeysOrigin() : std::string("unknown")));
}

void TServiceControl::WarnDevelopmentKeys() const {
  if (!FServer || !FServer->UsesDevelopmentKeys()) return;
  TLogger::LogWarning(std::string("The handshake uses the built-in development keys, which every "
                                  "client developer knows: put this deployment's own keys in ") +
                      kDeploymentKeyFileName + " (gatekit encipher KEY)");
}

void TServiceControl::StopService() {
  TLogger::LogInfo("正在停止服务...");
  {
    std::lock_guard<std::mutex> guard(FDrainLock);
    FStopping = true;
    FDrain.reset();  // ended, or cut short here: the stop closes whoever is left
  }
  if (FServer) {
    FServer->SetCloseGrace(DrainOptions().CloseGraceMs());
    FServer->Stop();
  }
  SetServiceState(false);
  TLogger::LogInfo("服务停止成功...");
}

bool TServiceControl::StartDrain(const std::string& Reason) {
  std::lock_guard<std::mutex> guard(FDrainLock);
  return StartDrainLocked(Reason, false);
}

bool TServiceControl::StartDrainLocked(const std::string& Reason, bool AcceptingStopped) {
  if (FStopping || FDrain || !FServer || !FServer->IsRuning() || FServer->IsStopping()) {
    return false;
  }
  auto ended = FFrontEnd.DrainEnded;
  FDrain = std::make_unique<TServiceDrain>(*FServer, DrainOptions(), Reason, AcceptingStopped,
                                           ServerLogProc(), [ended] {
                                             if (ended) ended();
                                           });
  return true;
}

bool TServiceControl::HurryDrain() {
  std::lock_guard<std::mutex> guard(FDrainLock);
  if (!FDrain) return false;
  FDrain->Hurry();
  return true;
}

bool TServiceControl::IsDraining() const {
  std::lock_guard<std::mutex> guard(FDrainLock);
  return FDrain != nullptr;
}

TGateWaySocketServer::TListenSockets TServiceControl::ListenSocketsForHandOver() const {
  std::lock_guard<std::mutex> guard(FDrainLock);
  if (FStopping || FDrain || FHandedOver.load() || !FServer || !FServer->IsRuning() ||
      FServer->IsStopping()) {
    return {};
  }
  return FServer->ListenSockets();
}

bool TServiceControl::HandOverListeners(const std::string& Reason) {
  std::lock_guard<std::mutex> guard(FDrainLock);
  if (FStopping || FDrain || FHandedOver.load() || !FServer || !FServer->IsRuning()) return false;
  // From here the other process accepts on the port; this one serves its sessions to their end.
  FServer->ReleaseListeners();
  FHandedOver.store(true);
  return StartDrainLocked(Reason, true);
}

void TServiceControl::BeginAccepting() {
  if (FServer) FServer->BeginAccepting();
}

TConfigReloadResult TServiceControl::LoadConfig() {
  try {
    FLastReload = ReloadGateWayConfig(FFiles);
  } catch (...) {
    RecordConfigReload(false);
    throw;
  }
  RecordConfigReload(FLastReload.Ok);
  // Every reload repeats it, whatever became of the settings: the keys stay until a restart.
  WarnDevelopmentKeys();
  if (!FLastReload.Ok) return FLastReload;
  ApplyGuardSettings();
  std::string atStart;
  for (const TSettingChange& change : FLastReload.Changes) {
    if (change.AtNextStart) {
      atStart += (atStart.empty() ? "" : ", ") + change.Name;
      // A running server keeps what it started with: the operator must hear that.
      TLogger::LogWarning("Setting changed: " + FormatSettingChange(change));
    } else {
      TLogger::LogInfo("Setting changed: " + FormatSettingChange(change));
    }
  }
  if (FLastReload.Changes.empty()) {
    TLogger::LogInfo("Settings reloaded: nothing changed");
  } else if (atStart.empty()) {
    TLogger::LogInfo("Settings reloaded: " + std::to_string(FLastReload.Changes.size()) +
                     " changed, all in force now");
  } else {
    TLogger::LogWarning("Settings reloaded: " + std::to_string(FLastReload.Changes.size()) +
                        " changed; restart the service for " + atStart);
  }
  return FLastReload;
}

void TServiceControl::ApplyGuardSettings() {
  if (FServer) FServer->ApplyGuardSettings(GateWayConfig());
}

void TServiceControl::WriteAboutLines() {
  for (std::string_view text : AboutTextSources()) TLogger::LogDebug(DecodeSource(text));
  TLogger::LogDebug(kVersionText);
}

}  // namespace gw
