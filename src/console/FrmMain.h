// The operator console's main window: menus for service control, settings dialogs and the
// online users window; the coloured log view fed through a double-buffered list every 200 ms
// and emptied whole at 500 lines; the live statistics panel and the status bar. It starts the
// service by itself 200 ms after creation, owns the service (through TServiceControl), and
// closes without asking when the controlling program sends command 2000.
//
// Thread safety: LogFeed (and the log procedures it backs) may be called from any thread;
// everything else belongs to the user-interface thread.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <memory>
#include <string>

#include "console/OnlineSessions.h"
#include "console/ProcessUsage.h"
#include "console/StatisticsPanel.h"
#include "logging/LogLevel.h"

class QAction;
class QLabel;
class QTextEdit;

namespace gw {

class TControlChannel;
struct TControlMessage;
class TDoubleStringList;
class TFrmHookCheck;
class TFrmMessageFilterConfig;
class TServiceControl;

class TFrmMain : public QMainWindow, public IOnlineSessions {
  Q_OBJECT

 public:
  struct TOptions {
    // Start the service by itself 200 ms after creation.
    bool AutoStart = true;
    // Listen for the controlling program's commands on this process's control socket.
    bool ListenControl = true;
  };

  explicit TFrmMain(TOptions options, QWidget* parent = nullptr);
  explicit TFrmMain(QWidget* parent = nullptr) : TFrmMain(TOptions{}, parent) {}
  ~TFrmMain() override;  // stops the service

  void StartService();
  // Stops the service without asking (the menu item asks first).
  void StopService();
  // Reloads the configuration without asking (the menu item asks first; SIGHUP does not).
  // Errors go to the process-wide error handler.
  void ReloadConfig();
  // Moves the waiting log lines into the log view (the log timer's pass).
  void ShowMainLogMsg();
  // Appends one finished line with its level to the waiting lines. Any thread.
  void LogFeed(const std::string& line, TLogLevel level);
  // Closes the window without the question (the controlling program's command 2000).
  void CloseWithoutAsking();
  // The handle a controlling program sends its commands to (announced in message 1000);
  // 0 when the window does not listen.
  uint32_t ControlHandle() const;

  // IOnlineSessions over the current gateway server.
  std::vector<TOnlineSession> ListSessions() override;
  bool CloseSession(uint32_t sessionHandle, const std::string& reason) override;
  int CloseSessionsOf(const std::string& address, const std::string& reason) override;

  TServiceControl& Service() { return *FService; }
  // Lines in the log view (a text with line breaks counts once per line).
  int LogLines() const { return FLogLines; }
  QTextEdit* LogView() const { return FLogView; }
  TStatisticsPanel* StatisticsPanel() const { return FStatistics; }
  QLabel* StatusPanel() const { return FStatusPanel; }
  QAction* ActionStart() const { return FActionStart; }
  QAction* ActionStop() const { return FActionStop; }
  QAction* ActionReload() const { return FActionReload; }
  QAction* ActionClearLog() const { return FActionClearLog; }
  QAction* ActionExit() const { return FActionExit; }
  QAction* ActionOnlineUsers() const { return FActionOnlineUsers; }
  QAction* ActionGeneral() const { return FActionGeneral; }
  QAction* ActionPerformance() const { return FActionPerformance; }
  QAction* ActionMessageFilter() const { return FActionMessageFilter; }
  QAction* ActionSpeedHack() const { return FActionSpeedHack; }
  QAction* ActionIPFilter() const { return FActionIPFilter; }
  QAction* ActionAbout() const { return FActionAbout; }
  QAction* ActionDumpMem() const { return FActionDumpMem; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void SetServiceState(bool running);
  TConsoleStatistics CollectStatistics();
  void AppendLogLine(const std::string& line, TLogLevel level);
  void RefreshStatistics();
  void ControlMessage(const TControlMessage& message);
  void MenuStopService();
  void MenuReloadConfig();
  void MenuClearLog();
  void OpenOnlineUsers();
  void OpenGeneralConfig();
  void OpenPrefConfig();
  void OpenMessageFilter();
  void OpenSpeedHack();
  void OpenIPFilter();
  void DumpMem();
  void CloseSessionsOfBlocked(const std::string& address);

  // Shared with the log feed and the server's log procedure, which may still run on other
  // threads for a moment after the window is gone.
  std::shared_ptr<TDoubleStringList> FLogList;
  std::unique_ptr<TServiceControl> FService;
  std::unique_ptr<TControlChannel> FControl;
  bool FCloseWithoutAsking = false;
  int FLogLines = 0;
  TProcessUsage FUsage;

  QTimer FStartTimer;
  QTimer FLogTimer;
  QTextEdit* FLogView;
  TStatisticsPanel* FStatistics;
  QLabel* FStatusPanel;
  TFrmMessageFilterConfig* FMessageFilter;
  TFrmHookCheck* FHookCheck;

  QAction* FActionStart;
  QAction* FActionStop;
  QAction* FActionRefreshLinks;
  QAction* FActionReload;
  QAction* FActionClearLog;
  QAction* FActionExit;
  QAction* FActionOnlineUsers;
  QAction* FActionGeneral;
  QAction* FActionPerformance;
  QAction* FActionMessageFilter;
  QAction* FActionSpeedHack;
  QAction* FActionIPFilter;
  QAction* FActionAbout;
  QAction* FActionDumpMem;
};

}  // namespace gw
