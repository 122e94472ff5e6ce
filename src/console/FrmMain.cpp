#include "console/FrmMain.h"

#include <QAction>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <system_error>

#include "common/Platform.h"
#include "config/ControlChannel.h"
#include "config/GateShare.h"
#include "console/ConsoleErrors.h"
#include "console/ConsoleFonts.h"
#include "console/ConsolePrompts.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleWidgets.h"
#include "console/FrmGeneralConfig.h"
#include "console/FrmHookCheck.h"
#include "console/FrmIPaddrFilter.h"
#include "console/FrmMessageFilterConfig.h"
#include "console/FrmOnLineHum.h"
#include "console/FrmPrefConfig.h"
#include "console/LogViewStyle.h"
#include "console/MemoryReport.h"
#include "console/StatisticsPanel.h"
#include "core/ClientGuard.h"
#include "core/ServiceControl.h"
#include "core/UserSession.h"
#include "gate/DoubleBufferCollection.h"
#include "logging/LogFormat.h"
#include "logging/Logger.h"

namespace gw {

namespace {

const char* const kBlockKickReason = "加入过滤列表";
// The status bar's texts for the service state.
const char* const kRunningText = "服务开启中";
const char* const kStoppedText = "服务已停止";

void* LevelObject(TLogLevel level) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(level));
}

TLogLevel ObjectLevel(void* object) {
  return static_cast<TLogLevel>(reinterpret_cast<uintptr_t>(object));
}

}  // namespace

TFrmMain::TFrmMain(TOptions options, QWidget* parent)
    : QMainWindow(parent), FLogList(std::make_shared<TDoubleStringList>()) {
  InstallConsoleFonts();
  setWindowTitle(QStringLiteral("FrmMain"));
  resize(760, 520);

  FLogView = new QTextEdit(this);
  FLogView->setReadOnly(true);
  FLogView->setLineWrapMode(QTextEdit::NoWrap);
  FLogView->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  FLogView->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  FLogView->setFont(ConsoleFont());
  FStatistics = new TStatisticsPanel(this);
  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->addWidget(FLogView);
  splitter->addWidget(FStatistics);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 0);
  splitter->setChildrenCollapsible(false);
  // The panel keeps its 100 pixels; the log view takes the rest.
  splitter->setSizes({100000, 100});
  setCentralWidget(splitter);
  // The service starts by itself 200 ms after creation; without that it waits stopped.
  FStatusPanel =
      new QLabel(QString::fromUtf8(options.AutoStart ? kRunningText : kStoppedText), this);
  FStatusPanel->setFixedWidth(100);
  statusBar()->addWidget(FStatusPanel);

  BuildMenus();
  FMessageFilter = new TFrmMessageFilterConfig(this);
  FHookCheck = new TFrmHookCheck(GateWayConfig(), kGateWayConfigFile, this);

  // Every line of the process-wide logger and of the gateway server reaches the view through
  // the double-buffered list; producers never wait for the user interface.
  std::weak_ptr<TDoubleStringList> list = FLogList;
  TLogger::SetLogCallBack([list](const std::string& line, TLogLevel level) {
    if (auto target = list.lock()) target->Append(line, LevelObject(level));
  });
  TServiceControl::TFrontEnd frontEnd;
  frontEnd.ShowLine = [list](const std::string& line, TLogLevel level) {
    if (auto target = list.lock()) target->Append(line, LevelObject(level));
  };
  frontEnd.SetServiceState = [this](bool running) { SetServiceState(running); };
  frontEnd.SetCaption = [this](const std::string& caption) { setWindowTitle(ToQt(caption)); };
  // A drain has ended (on its own thread): the window stops the service on its own.
  frontEnd.DrainEnded = [this] {
    QMetaObject::invokeMethod(
        this, [this] { GuardedCall([this] { StopService(); }); }, Qt::QueuedConnection);
  };
  FService = std::make_unique<TServiceControl>(std::move(frontEnd));
  // Where the log file lies, for the operator who wants to read it with other tools.
  TLogger::LogFileLocation();

  // The handle a controller addresses: the process ID, or on Windows the channel's window.
  uint32_t controlHandle = CurrentProcessId();
  if (options.ListenControl) {
    try {
      FControl = std::make_unique<TControlChannel>(CurrentProcessId());
      controlHandle = FControl->Handle();
      // The messages arrive on the channel's own thread; the window acts on its own. A
      // message still queued when the window goes is dropped with it.
      FControl->Start([this](const TControlMessage& message) {
        QMetaObject::invokeMethod(
            this, [this, message] { ControlMessage(message); }, Qt::QueuedConnection);
      });
    } catch (const std::exception& e) {
      ConsoleLogError(std::string("控制通道无法监听: ") + e.what());
    }
  }
  SendStatusMessage(kCtlMainWindowHandle, std::to_string(controlHandle));

  FLogTimer.setInterval(200);
  connect(&FLogTimer, &QTimer::timeout, this, [this] { ShowMainLogMsg(); });
  FLogTimer.start();
  FStartTimer.setSingleShot(true);
  FStartTimer.setInterval(200);
  connect(&FStartTimer, &QTimer::timeout, this,
          [this] { GuardedCall([this] { StartService(); }); });
  if (options.AutoStart) FStartTimer.start();
}

TFrmMain::~TFrmMain() {
  FLogTimer.stop();
  FStartTimer.stop();
  TLogger::SetLogCallBack({});
  FControl.reset();  // its thread ends here: no message arrives for a window half gone
  // Stops and frees the current gateway server, if there is one.
  FService.reset();
}

void TFrmMain::BuildMenus() {
  auto add = [this](QMenu* menu, const char* text, auto slot) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    connect(action, &QAction::triggered, this,
            [this, slot] { GuardedCall([this, slot] { (this->*slot)(); }); });
    return action;
  };
  QMenu* control = menuBar()->addMenu(QString::fromUtf8("控制(&C)"));
  FActionStart = add(control, "启动服务(&S)", &TFrmMain::StartService);
  FActionStop = add(control, "停止服务(&T)", &TFrmMain::MenuStopService);
  // Reconnection of the server links is automatic; the item is kept for operators who look
  // for it and does nothing.
  FActionRefreshLinks = control->addAction(QString::fromUtf8("刷新连接(&R)"));
  FActionReload = add(control, "重加载配置(&R)", &TFrmMain::MenuReloadConfig);
  FActionClearLog = add(control, "清除日志(&C)", &TFrmMain::MenuClearLog);
  control->addSeparator();
  FActionExit = control->addAction(QString::fromUtf8("退出(&E)"));
  connect(FActionExit, &QAction::triggered, this, &QWidget::close);
  QMenu* view = menuBar()->addMenu(QString::fromUtf8("查看(&V)"));
  FActionOnlineUsers = add(view, "在线人物(&L)", &TFrmMain::OpenOnlineUsers);
  QMenu* options = menuBar()->addMenu(QString::fromUtf8("选项(&O)"));
  FActionGeneral = add(options, "基本设置(&G)", &TFrmMain::OpenGeneralConfig);
  FActionPerformance = add(options, "性能设置(&P)", &TFrmMain::OpenPrefConfig);
  FActionMessageFilter = add(options, "消息过滤(&C)", &TFrmMain::OpenMessageFilter);
  FActionSpeedHack = add(options, "外挂控制(&O)", &TFrmMain::OpenSpeedHack);
  FActionIPFilter = add(options, "安全过滤[防CC策略](&S)", &TFrmMain::OpenIPFilter);
  QMenu* help = menuBar()->addMenu(QString::fromUtf8("帮助(&H)"));
  FActionAbout = help->addAction(QString::fromUtf8("关于(&I)"));
  connect(FActionAbout, &QAction::triggered, this,
          [this] { GuardedCall([] { TServiceControl::WriteAboutLines(); }); });
  FActionDumpMem = add(help, "DumpMem", &TFrmMain::DumpMem);
  help->addAction(QStringLiteral("ShowSessionBufSize"));
  help->addAction(QStringLiteral("ShowQelBufferSize"));
}

void TFrmMain::SetServiceState(bool running) {
  FActionStart->setEnabled(!running);
  FActionStop->setEnabled(running);
  FStatusPanel->setText(QString::fromUtf8(running ? kRunningText : kStoppedText));
}

void TFrmMain::StartService() {
  // The configuration's minimise flag is honoured after a successful start.
  if (FService->StartService() && GateWayConfig().Minimize && isVisible()) showMinimized();
}

void TFrmMain::StopService() { FService->StopService(); }

void TFrmMain::MenuStopService() {
  if (!TConsolePrompts::Current().Question(this,
                                           QString::fromUtf8(TConsolePrompts::kConfirmCaption),
                                           QString::fromUtf8("是否确认停止服务？"), qbYesNo))
    return;
  // A second stop during a drain ends it at once; a drain longer than the close frames'
  // grace keeps the sessions until they leave, and the stop follows its end.
  if (FService->HurryDrain()) return;
  if (TServiceControl::DrainRelays() && FService->StartDrain("console")) return;
  StopService();
}

void TFrmMain::MenuReloadConfig() {
  if (!TConsolePrompts::Current().Question(
          this, QString::fromUtf8(TConsolePrompts::kConfirmCaption),
          QString::fromUtf8("是否确认重新加载配置信息？"), qbOkCancel))
    return;
  ReloadConfig();
}

void TFrmMain::ReloadConfig() {
  GuardedCall([this] { FService->LoadConfig(); });
  FService->ReloadTlsCertificate();
}

void TFrmMain::MenuClearLog() {
  if (!TConsolePrompts::Current().Question(
          this, QString::fromUtf8(TConsolePrompts::kConfirmCaption),
          QString::fromUtf8("是否确认清除显示的日志信息？"), qbOkCancel))
    return;
  FLogView->clear();
  FLogLines = 0;
}

void TFrmMain::LogFeed(const std::string& line, TLogLevel level) {
  FLogList->Append(line, LevelObject(level));
}

void TFrmMain::AppendLogLine(const std::string& line, TLogLevel level) {
  QTextCursor cursor(FLogView->document());
  cursor.movePosition(QTextCursor::End);
  const TLogColors colors = LogLevelColors(level);
  QTextCharFormat format;
  format.setForeground(colors.Text);
  format.setBackground(colors.Back);
  if (FLogLines > 0) cursor.insertBlock(QTextBlockFormat(), format);
  cursor.insertText(ToQt(line), format);
  // A text with line breaks takes several lines of the view; the 500-line bound counts them.
  FLogLines = FLogView->document()->blockCount();
}

void TFrmMain::ShowMainLogMsg() {
  FLogList->Flush();
  if (LogViewMustEmpty(FLogLines)) {
    FLogView->clear();
    FLogLines = 0;
  }
  QScrollBar* bar = FLogView->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  for (const TStringListEntry& entry : *FLogList) {
    try {
      AppendLogLine(entry.Str, ObjectLevel(entry.Obj));
    } catch (...) {
      try {
        AppendLogLine(entry.Str, llMessage);
      } catch (...) {
        try {
          AppendLogLine("发生了嵌套的异常位于ShowMainLogMsg.", llError);
        } catch (...) {
        }
      }
    }
  }
  const bool added = FLogList->Count() > 0;
  FLogList->Clear();
  if (added && atEnd) bar->setValue(bar->maximum());
  RefreshStatistics();
}

void TFrmMain::RefreshStatistics() {
  TConsoleStatistics s = CollectStatistics();
  const TCpuUsage cpu = FUsage.Sample();
  s.CpuPercent = cpu.Process;
  s.ThreadCpuPercent = cpu.BusiestThread;
  FStatistics->ShowStatistics(s);
}

TConsoleStatistics TFrmMain::CollectStatistics() {
  TConsoleStatistics s;
  TGateWaySocketServer* server = FService->Server();
  s.LimitBreaches = ReadLimitBreaches(server ? &server->Stats() : nullptr);
  s.GuardCounters = server ? server->Guard().CountersText() : TClientGuard::ZeroCountersText();
  if (!server || !server->IsRuning()) return s;
  const TGateWayTraffic& traffic = server->Traffic();
  s.ClientBytesIn = traffic.ClientBytesIn.load(std::memory_order_relaxed);
  s.ClientBytesOut = traffic.ClientBytesOut.load(std::memory_order_relaxed);
  s.LogicBytesIn = traffic.LogicBytesIn.load(std::memory_order_relaxed);
  s.LogicBytesOut = traffic.LogicBytesOut.load(std::memory_order_relaxed);
  // The gauges move as sessions come, pass their token check and go: no walk of the tables.
  s.Sessions = server->SessionCount();
  s.Tokens = TGateWayStats::Gauge(traffic.SessionsToken);
  s.Clients = s.Sessions;
  return s;
}

std::vector<TOnlineSession> TFrmMain::ListSessions() {
  std::vector<TOnlineSession> sessions;
  TGateWaySocketServer* server = FService->Server();
  if (!server || !server->IsRuning()) return sessions;
  for (int32_t i = 0; i < server->WokerCount(); ++i) {
    for (const TGateWayWorker::TSessionView& session : server->Worker(i).Sessions()) {
      sessions.push_back({session.Handle, session.IP, session.Step, session.TokenChecked});
    }
  }
  return sessions;
}

bool TFrmMain::CloseSession(uint32_t sessionHandle, const std::string& reason) {
  TGateWaySocketServer* server = FService->Server();
  if (!server || !server->IsRuning()) return false;
  for (const TOnlineSession& session : ListSessions()) {
    if (session.SessionHandle != sessionHandle) continue;
    // The server finds the session by the whole handle; a slot reused since the list was
    // taken carries another handle and stays open.
    server->CloseSession(sessionHandle, "", reason);
    return true;
  }
  return false;
}

int TFrmMain::CloseSessionsOf(const std::string& address, const std::string& reason) {
  TGateWaySocketServer* server = FService->Server();
  if (!server || !server->IsRuning()) return 0;
  // Collected first: a session must not be closed while its worker's table is being walked.
  int closed = 0;
  for (const TOnlineSession& session : ListSessions()) {
    if (session.Address != address) continue;
    server->CloseSession(session.SessionHandle, "", reason);
    ++closed;
  }
  return closed;
}

void TFrmMain::CloseSessionsOfBlocked(const std::string& address) {
  CloseSessionsOf(address, kBlockKickReason);
}

void TFrmMain::ControlMessage(const TControlMessage& message) {
  if (message.Ident() == kCtlCloseGateWay) CloseWithoutAsking();
  if (message.Ident() == kCtlDrainGateWay) FService->StartDrain("control channel");
}

uint32_t TFrmMain::ControlHandle() const { return FControl ? FControl->Handle() : 0; }

void TFrmMain::CloseWithoutAsking() {
  FCloseWithoutAsking = true;
  close();
}

void TFrmMain::closeEvent(QCloseEvent* event) {
  if (FCloseWithoutAsking ||
      TConsolePrompts::Current().Question(this, QString::fromUtf8(TConsolePrompts::kConfirmCaption),
                                          QString::fromUtf8("是否确认退出服务器？"), qbYesNo)) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TFrmMain::OpenOnlineUsers() {
  TFrmOnLineHum window(this, IPManager(), this);
  window.exec();
}

void TFrmMain::OpenGeneralConfig() {
  TFrmGeneralConfig dialog(GateWayConfig(), kGateWayConfigFile, this);
  dialog.exec();
}

void TFrmMain::OpenPrefConfig() {
  TFrmPrefConfig dialog(GateWayConfig(), kGateWayConfigFile, this);
  dialog.exec();
}

void TFrmMain::OpenMessageFilter() {
  // pos() is the window's frame, as move() takes it: left edges line up, 20 pixels lower.
  FMessageFilter->move(pos().x(), pos().y() + 20);
  FMessageFilter->Open();
  FMessageFilter->exec();
}

void TFrmMain::OpenSpeedHack() {
  FHookCheck->Open();
  FHookCheck->exec();
}

void TFrmMain::OpenIPFilter() {
  TFrmIPaddrFilter dialog(
      GateWayConfig(), IPManager(), kGateWayConfigFile,
      [this](const std::string& address) { CloseSessionsOfBlocked(address); }, this);
  dialog.exec();
  FService->ApplyGuardSettings();  // the edited limits apply to the running service at once
}

void TFrmMain::DumpMem() {
  const std::string path = WriteMemoryReport(ProgramFolder(), LocalLogTime());
  ConsoleLogInfo("内存状态已写入: " + path);
}

}  // namespace gw
