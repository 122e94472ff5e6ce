#include "core/ServiceControl.h"

#include <exception>
#include <mutex>

#include "codec/EDcode.h"
#include "codec/StoredSecrets.h"
#include "config/ControlChannel.h"
#include "logging/LogFormat.h"
#include "logging/Logger.h"

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
  if (FServer) FServer->Stop();
  FServer.reset();
}

TLogProc TServiceControl::ServerLogProc() const {
  auto show = FFrontEnd.ShowLine;
  return [show](const std::string& text, TLogLevel level) {
    if (show) show(FormatLogLine(LocalLogTime(), text, level), level);
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
  try {
    SendStatusMessage(kCtlServiceStarting, kServiceStartingText);
    TLogger::LogInfo("正在启动服务...");
    SetServiceState(true);
    LoadConfig();
    const TLaunchParams& params = LaunchParams();
    if (FFrontEnd.SetCaption) {
      FFrontEnd.SetCaption(
          MakeCaption(GateWayConfig().Title, params.PressureTestMark(), params.PerformanceMark()));
    }
    // The previous (stopped) server goes when the new one becomes the current one.
    if (FServer) FServer->Stop();
    FServer.reset();
    FServer = std::make_unique<TGateWaySocketServer>(GateWayConfig());
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
    return true;
  } catch (const std::exception& e) {
    SetServiceState(false);
    serverLog(e.what(), llFatal);
    TLogger::LogInfo("服务器的绑定端口:" + GateWayConfig().GatePort);
    return false;
  }
}

void TServiceControl::StopService() {
  TLogger::LogInfo("正在停止服务...");
  if (FServer) FServer->Stop();
  SetServiceState(false);
  TLogger::LogInfo("服务停止成功...");
}

void TServiceControl::LoadConfig() {
  LoadGateWayConfig(FFiles);
  ApplyGuardSettings();
}

void TServiceControl::ApplyGuardSettings() {
  if (FServer) FServer->ApplyGuardSettings(GateWayConfig());
}

void TServiceControl::WriteAboutLines() {
  for (std::string_view text : AboutTextSources()) TLogger::LogDebug(DecodeSource(text));
  TLogger::LogDebug(kVersionText);
}

}  // namespace gw
