// The main window with the real service: start failures (busy port, port not a number) with
// the stopped menu state and the fatal and port lines, restart after stop, the log view's
// batching and emptying, the statistics panel's traffic cells, the online users window and a
// kick that closes a real client session, the memory report, the close question and the
// controlling program's close command.
#include <QtTest>

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/ConsoleControl.h"
#include "common/Platform.h"
#include "config/ControlChannel.h"
#include "config/GateShare.h"
#include "config/TextFile.h"
#include "console/ConsoleErrors.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleSignals.h"
#include "console/FrmIPaddrFilter.h"
#include "console/FrmMain.h"
#include "console/FrmOnLineHum.h"
#include "console/GatewayPeers.h"
#include "console/ScriptedPrompts.h"
#include "console/StatisticsPanel.h"
#include "core/ServiceControl.h"
#include "logging/LoggerThread.h"
#include "logging/TracedError.h"
#include "support/WaitUntil.h"

using namespace gw;

namespace gw::test {
bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs) {
  // The shared wait, with Qt's events run between the checks.
  return test_support::WaitUntil(
      [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return predicate();
      },
      std::chrono::milliseconds(timeoutMs));
}
}  // namespace gw::test

using gw::test::WaitUntil;

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir FDir;
  QString FOldDir;
  std::unique_ptr<TLoggerThread> FLogger;

  // Writes GateWay.xml with the given ports into the working directory.
  void WriteConfig(const std::string& gatePort, uint16_t logicPort) {
    TGateWayConfigure config;
    config.GatePort = gatePort;
    config.ServerPort = std::to_string(logicPort);
    config.LoginSrvPort = 1;  // nothing listens there; the login link just keeps retrying
    config.WokerCount = 2;
    config.Minimize = false;
    config.SaveToXMLFile(kGateWayConfigFile);
  }

  static QString ViewText(const TFrmMain& window) { return window.LogView()->toPlainText(); }

  static TFrmMain::TOptions Quiet() { return {false, false}; }

  // A client whose session the gateway holds, once `sessions` sessions are listed. Until its
  // logic server link is up the gateway closes new clients at once, so this retries.
  static std::unique_ptr<gw::test::TBareWsClient> ConnectClient(TFrmMain& window, uint16_t port,
                                                                size_t sessions) {
    std::unique_ptr<gw::test::TBareWsClient> client;
    const bool ok = WaitUntil([&] {
      client = std::make_unique<gw::test::TBareWsClient>();
      if (!client->Connect(port)) return false;
      WaitUntil([&] { return window.ListSessions().size() >= sessions || client->Closed(); }, 2000);
      return window.ListSessions().size() >= sessions;
    });
    return ok ? std::move(client) : nullptr;
  }

 private slots:
  void initTestCase() {
    QVERIFY(FDir.isValid());
    FOldDir = QDir::currentPath();
    QDir::setCurrent(FDir.path());
    TLoggerThread::TOptions options;
    options.Folder = FDir.filePath("Log").toStdString();
    options.StartThread = false;
    FLogger = std::make_unique<TLoggerThread>(options);
  }
  void cleanupTestCase() {
    FLogger.reset();
    QDir::setCurrent(FOldDir);
  }

  void startFailsOnBusyPort() {
    uint16_t busy = 0;
    const int blocker = gw::test_support::ListenLoopback(busy);
    QVERIFY(blocker >= 0);
    WriteConfig(std::to_string(busy), 1);
    TFrmMain window(Quiet());
    QCOMPARE(window.windowTitle(), QString("FrmMain"));
    QVERIFY(window.ActionStart()->isEnabled());
    QVERIFY(window.ActionStop()->isEnabled());  // the created state
    window.StartService();
    gw::test_support::CloseTcpSocket(blocker);
    QVERIFY(window.ActionStart()->isEnabled());
    QVERIFY(!window.ActionStop()->isEnabled());
    window.ShowMainLogMsg();
    const QString text = ViewText(window);
    const QString fatal =
        QString::fromUtf8("[F] 网关服务启动失败 , 端口 %1 ,  无法绑定。可能该端口已经被占用! ")
            .arg(busy);
    const QString portLine = QString::fromUtf8("[I] 服务器的绑定端口:%1").arg(busy);
    QVERIFY2(text.contains(fatal), qPrintable(text));
    QVERIFY(text.indexOf(portLine) > text.indexOf(fatal));
    QVERIFY(!text.contains(QString::fromUtf8("服务已启动成功...")));
    QVERIFY(window.windowTitle().startsWith("GateWay - "));
  }

  void startFailsOnPortThatIsNotANumber() {
    WriteConfig("72x0", 1);
    TFrmMain window(Quiet());
    window.StartService();
    QVERIFY(window.ActionStart()->isEnabled());
    QVERIFY(!window.ActionStop()->isEnabled());
    window.ShowMainLogMsg();
    const QString text = ViewText(window);
    QVERIFY2(text.contains(QString::fromUtf8("[F] ")), qPrintable(text));
    QVERIFY(text.contains(QString::fromUtf8("[I] 服务器的绑定端口:72x0")));
  }

  void failedFirstLoadKeepsTheCaption() {
    QFile::remove(QString(kGateWayConfigFile));
    QVERIFY(QDir().mkdir(QString(kGateWayConfigFile)));  // exists, cannot be read as a file
    TFrmMain window(Quiet());
    window.StartService();
    QDir().rmdir(QString(kGateWayConfigFile));
    QCOMPARE(window.windowTitle(), QString("FrmMain"));
    QVERIFY(window.ActionStart()->isEnabled());
    QVERIFY(!window.ActionStop()->isEnabled());
    window.ShowMainLogMsg();
    QVERIFY(ViewText(window).contains(QString::fromUtf8("[F] ")));
  }

  void restartsAfterStop() {
    gw::test::TFakeLogicServer logic;
    WriteConfig("0", logic.Port());
    TScriptedPrompts prompts;
    TFrmMain window(Quiet());
    window.StartService();
    QVERIFY(!window.ActionStart()->isEnabled());
    QVERIFY(window.ActionStop()->isEnabled());
    QCOMPARE(window.StatusPanel()->text(), QString::fromUtf8("服务开启中"));
    prompts.Answers = {false, true};
    window.ActionStop()->trigger();  // answered No: still running
    QVERIFY(window.ActionStop()->isEnabled());
    window.ActionStop()->trigger();
    QCOMPARE(prompts.Asked.back().Text, QString::fromUtf8("是否确认停止服务？"));
    QCOMPARE(prompts.Asked.back().Caption, QString::fromUtf8("确认信息"));
    QCOMPARE(prompts.Asked.back().Buttons, qbYesNo);
    QVERIFY(window.ActionStart()->isEnabled());
    QVERIFY(!window.ActionStop()->isEnabled());
    // The status bar shows the real state.
    QCOMPARE(window.StatusPanel()->text(), QString::fromUtf8("服务已停止"));
    window.ActionStart()->trigger();
    QVERIFY(!window.ActionStart()->isEnabled());
    QCOMPARE(window.StatusPanel()->text(), QString::fromUtf8("服务开启中"));
    window.ShowMainLogMsg();
    const QString text = ViewText(window);
    QCOMPARE(text.count(QString::fromUtf8("正在加载配置信息...")), 2);
    QCOMPARE(text.count(QString::fromUtf8("服务已启动成功...")), 2);
    QCOMPARE(text.count(QString::fromUtf8("服务停止成功...")), 1);
    QVERIFY(text.contains(QString::fromUtf8("版本: 2022.05.08")));
    QCOMPARE(window.windowTitle(), QString::fromUtf8("GateWay - 游戏网关"));
  }

  void minimisesAfterAStartWhenConfigured() {
    gw::test::TFakeLogicServer logic;
    WriteConfig("0", logic.Port());
    TGateWayConfigure config;
    config.LoadFromXMLFile(kGateWayConfigFile);
    config.Minimize = true;
    config.SaveToXMLFile(kGateWayConfigFile);
    TFrmMain window(Quiet());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.StartService();
    QVERIFY(window.isMinimized());
  }

  void logViewShowsBatchesAndEmptiesAt500() {
    TScriptedPrompts prompts;
    TFrmMain window(Quiet());
    window.LogFeed("old line", llMessage);
    window.ShowMainLogMsg();
    prompts.Answers = {true};
    window.ActionClearLog()->trigger();
    QCOMPARE(prompts.Asked.back().Text, QString::fromUtf8("是否确认清除显示的日志信息？"));
    QCOMPARE(prompts.Asked.back().Buttons, qbOkCancel);
    QVERIFY(window.LogView()->toPlainText().isEmpty());
    for (int i = 0; i < 520; ++i) window.LogFeed("line " + std::to_string(i), llMessage);
    window.ShowMainLogMsg();
    QCOMPARE(window.LogLines(), 520);
    QCOMPARE(window.LogView()->document()->blockCount(), 520);
    window.LogFeed("error line", llError);
    window.LogFeed("warning line", llWarning);
    window.ShowMainLogMsg();
    QCOMPARE(window.LogLines(), 2);
    QCOMPARE(window.LogView()->toPlainText(), QString("error line\nwarning line"));
    const QTextBlock first = window.LogView()->document()->firstBlock();
    const QTextCharFormat errorFormat = first.begin().fragment().charFormat();
    QCOMPARE(errorFormat.background().color(), QColor(Qt::red));
    QCOMPARE(errorFormat.foreground().color(), QColor(Qt::white));
    const QTextCharFormat warningFormat = first.next().begin().fragment().charFormat();
    QCOMPARE(warningFormat.background().color(), QColor(Qt::yellow));
    QCOMPARE(warningFormat.foreground().color(), QColor(Qt::black));

    // The bound counts the view's lines: 249 texts of two lines each fill it to 500.
    for (int i = 0; i < 249; ++i) window.LogFeed("first\nsecond", llDebug);
    window.ShowMainLogMsg();
    QCOMPARE(window.LogLines(), 500);
    window.LogFeed("after", llMessage);
    window.ShowMainLogMsg();
    QCOMPARE(window.LogView()->toPlainText(), QString("after"));
  }

  // The panel's captions and layout, and live CPU figures in both "线程CPU%" cells.
  void statisticsPanelShowsItsCaptionsAndCpuFigures() {
    TFrmMain window(Quiet());
    TStatisticsPanel* panel = window.StatisticsPanel();
    QCOMPARE(panel->rowCount(), 6);
    QCOMPARE(panel->columnCount(), 6);
    // The four figure rows keep their 100 pixels; the breach and guard rows add theirs.
    QCOMPARE(panel->minimumHeight(), 100 + panel->rowHeight(4) + panel->rowHeight(5));
    QCOMPARE(panel->maximumHeight(), 100 + panel->rowHeight(4) + panel->rowHeight(5));
    QVERIFY(!panel->horizontalHeader()->isVisible() && !panel->verticalHeader()->isVisible());
    QCOMPARE(panel->selectionMode(), QAbstractItemView::NoSelection);
    const int widths[6] = {120, 80, 100, 60, 100, 60};
    for (int c = 0; c < 6; ++c) QCOMPARE(panel->columnWidth(c), widths[c]);
    const char* const captions[4][3] = {
        {"数据统计", "", ""},
        {"接收用户数据:", "发送用户数据:", "线程CPU%:"},
        {"接收引擎数据:", "发送Qel数据:", "线程CPU%"},
        {"Token数量:", "Session数量:", "客户端数量:"},
    };
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 3; ++c)
        QCOMPARE(panel->CellText(r, c * 2), QString::fromUtf8(captions[r][c]));

    std::atomic<bool> stop{false};
    std::thread busy([&] {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    });
    auto percent = [&](int row) {
      QString text = panel->CellText(row, 5);
      return text.endsWith('%') ? text.chopped(1).toDouble() : -1.0;
    };
    const bool seen = WaitUntil([&] {
      window.ShowMainLogMsg();
      return percent(2) >= 10 && percent(1) >= 10;
    });
    stop = true;
    busy.join();
    QVERIFY2(seen, qPrintable(panel->CellText(1, 5) + " " + panel->CellText(2, 5)));
  }

  // A figure wider than its column widens the column instead of being cut short; the column
  // keeps that width when the figure gets narrow again.
  void statisticsPanelColumnsGrowToTheirFigures() {
    TStatisticsPanel panel;
    TConsoleStatistics s;
    s.ClientBytesOut = 1000ull * 1024 * 1024 * 1024;  // "1000.00GB"
    s.LogicBytesOut = 999ull * 1024 * 1024;           // "999.00MB"
    panel.ShowStatistics(s);
    QCOMPARE(panel.CellText(1, 3), QString("1000.00GB"));
    const int wide = panel.columnWidth(3);
    QVERIFY(wide > 60);
    QVERIFY(wide >= panel.fontMetrics().horizontalAdvance("1000.00GB"));
    QCOMPARE(panel.columnWidth(0), 120);
    panel.ShowStatistics(TConsoleStatistics{});
    QCOMPARE(panel.columnWidth(3), wide);
  }

  // The breach counters of the bounds held against peers: named with their counts once hit,
  // without widening the figure columns; every counter in the cell's hint.
  void statisticsPanelShowsLimitBreaches() {
    TFrmMain window(Quiet());
    TStatisticsPanel* panel = window.StatisticsPanel();
    const uint64_t before = LimitBreaches(TLimitBreach::lbControlTextTooLong);
    CountLimitBreach(TLimitBreach::lbControlTextTooLong);
    CountLimitBreach(TLimitBreach::lbControlTextTooLong);
    window.ShowMainLogMsg();
    const QString expected = QString("control_text_too_long %1").arg(before + 2);
    QVERIFY2(panel->CellText(4, 0).startsWith(QString::fromUtf8("限制触发: ")),
             qPrintable(panel->CellText(4, 0)));
    QVERIFY2(panel->CellText(4, 0).contains(expected), qPrintable(panel->CellText(4, 0)));
    QCOMPARE(panel->columnSpan(4, 0), 6);
    QCOMPARE(panel->columnWidth(1), 80);
    QVERIFY(panel->item(4, 0)->toolTip().contains("ws_message_too_big: "));
    // The guard's counters per cause in the row below.
    QVERIFY2(panel->CellText(5, 0).startsWith(QString::fromUtf8("防护拦截: refused_blocked=")),
             qPrintable(panel->CellText(5, 0)));
    QCOMPARE(panel->columnSpan(5, 0), 6);

    std::array<uint64_t, kLimitBreachCount> none{};
    QCOMPARE(QString::fromStdString(FormatLimitBreaches(none)), QString("0"));
    none[static_cast<size_t>(TLimitBreach::lbLoginFrameSize)] = 3;
    none[static_cast<size_t>(TLimitBreach::lbKeyFileTooLarge)] = 1;
    QCOMPARE(QString::fromStdString(FormatLimitBreaches(none)),
             QString("login_frame_size 3, key_file_too_large 1"));
  }

  // The message, then the stack of the throw when the error carries one; never the frames of
  // the place that caught it.
  void errorHandlerWritesTheErrorLines() {
    TFrmMain window(Quiet());
    window.ShowMainLogMsg();
    window.LogView()->clear();
    GuardedCall([] { throw std::runtime_error("boom"); });
    window.ShowMainLogMsg();
    QStringList lines = ViewText(window).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.front().endsWith("[E]OnException:boom"));

    window.LogView()->clear();
    // A file that cannot be read: the settings error carries the stack where it was raised,
    // and those are the lines written after the message.
    std::vector<std::string> thrownAt;
    GuardedCall([&] {
      try {
        ReadSettingsFile(FDir.filePath("no-such-file.xml").toStdString());
      } catch (const ETracedError& e) {
        thrownAt = e.StackLines();
        throw;
      }
    });
    window.ShowMainLogMsg();
    lines = ViewText(window).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!thrownAt.empty());
    QCOMPARE(lines.size(), static_cast<qsizetype>(thrownAt.size() + 1));
    QVERIFY(lines.front().contains("[E]OnException:Cannot open file"));
    QVERIFY(lines.front().contains("no-such-file.xml"));
    for (size_t i = 0; i < thrownAt.size(); ++i)
      QVERIFY(lines[static_cast<qsizetype>(i + 1)].endsWith(QString::fromStdString(thrownAt[i])));
  }

  // Every window of the menus opens modally with its caption (answered by a timer).
  void menusOpenTheirWindows() {
    TFrmMain window(Quiet());
    const std::vector<std::pair<QAction*, QString>> cases = {
        {window.ActionGeneral(), QString::fromUtf8("基本设置")},
        {window.ActionPerformance(), QString::fromUtf8("性能设置")},
        {window.ActionMessageFilter(), QString::fromUtf8("消息文字过滤设置")},
        {window.ActionSpeedHack(), QString::fromUtf8("外挂控制")},
        {window.ActionIPFilter(), QString::fromUtf8("网络安全过滤 - 防CC策略")},
        {window.ActionOnlineUsers(), QString::fromUtf8("在线人物 [0]")},
    };
    for (const auto& [action, caption] : cases) {
      QString seen;
      QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
          seen = dialog->windowTitle();
          dialog->reject();
        }
      });
      action->trigger();
      QCOMPARE(seen, caption);
    }
    QStringList menus;
    for (QAction* menu : window.menuBar()->actions()) menus << menu->text();
    QCOMPARE(menus, (QStringList{QString::fromUtf8("控制(&C)"), QString::fromUtf8("查看(&V)"),
                                 QString::fromUtf8("选项(&O)"), QString::fromUtf8("帮助(&H)")}));
    QCOMPARE(window.ActionStart()->text(), QString::fromUtf8("启动服务(&S)"));
    QCOMPARE(window.ActionStop()->text(), QString::fromUtf8("停止服务(&T)"));
  }

  // Every menu item's text in order, the created state of the service items, and the reload
  // question (answered Cancel: nothing is loaded).
  void menuItemsAndReloadQuestion() {
    TScriptedPrompts prompts;
    TFrmMain window(Quiet());
    const std::vector<QStringList> expected = {
        {"启动服务(&S)", "停止服务(&T)", "刷新连接(&R)", "重加载配置(&R)", "清除日志(&C)",
         "退出(&E)"},
        {"在线人物(&L)"},
        {"基本设置(&G)", "性能设置(&P)", "消息过滤(&C)", "外挂控制(&O)", "安全过滤[防CC策略](&S)"},
        {"关于(&I)", "DumpMem", "ShowSessionBufSize", "ShowQelBufferSize"},
    };
    const QList<QAction*> menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), 4);
    for (int m = 0; m < 4; ++m) {
      QStringList items;
      for (QAction* item : menus[m]->menu()->actions())
        if (!item->isSeparator()) items << item->text();
      QCOMPARE(items, expected[m]);  // QString takes the literals as UTF-8
    }
    QVERIFY(window.ActionStart()->isEnabled() && window.ActionStop()->isEnabled());

    window.ShowMainLogMsg();
    prompts.Answers = {false};
    window.ActionReload()->trigger();
    QCOMPARE(prompts.Asked.back().Caption, QString::fromUtf8("确认信息"));
    QCOMPARE(prompts.Asked.back().Text, QString::fromUtf8("是否确认重新加载配置信息？"));
    QCOMPARE(prompts.Asked.back().Buttons, qbOkCancel);
    window.ShowMainLogMsg();
    QVERIFY(!ViewText(window).contains(QString::fromUtf8("正在加载配置信息...")));
  }

  void captionCarriesTheLaunchBlockMarks_data() {
    QTest::addColumn<bool>("pressure");
    QTest::addColumn<bool>("performance");
    QTest::addColumn<QString>("caption");
    QTest::newRow("none") << false << false << QString::fromUtf8("GateWay - 网关");
    QTest::newRow("pressure test")
        << true << false << QString::fromUtf8("GateWay - 网关[压力测试]");
    QTest::newRow("performance") << false << true << QString::fromUtf8("GateWay - 网关 [性能分析]");
    QTest::newRow("both") << true << true
                          << QString::fromUtf8("GateWay - 网关[压力测试] [性能分析]");
  }
  void captionCarriesTheLaunchBlockMarks() {
    QFETCH(bool, pressure);
    QFETCH(bool, performance);
    QFETCH(QString, caption);
    QCOMPARE(QString::fromStdString(TServiceControl::MakeCaption("网关", pressure, performance)),
             caption);
  }

  // The three actions of the online users window over a scripted session list: their questions,
  // Cancel changing nothing, OK acting on the lists, and the permanent list in its file at once.
  void onlineUsersActionsAskAndAct() {
    struct TFakeSessions : IOnlineSessions {
      std::vector<TOnlineSession> Sessions;
      std::vector<std::string> Closed;
      std::vector<uint32_t> Kicked;
      std::vector<TOnlineSession> ListSessions() override { return Sessions; }
      bool CloseSession(uint32_t handle, const std::string&) override {
        Kicked.push_back(handle);
        return true;
      }
      int CloseSessionsOf(const std::string& address, const std::string&) override {
        Closed.push_back(address);
        return 1;
      }
    } sessions;
    sessions.Sessions = {{1, "10.0.0.7", ssGame, true}, {2, "10.0.0.8", ssLogin, true}};
    TScriptedPrompts prompts;
    const QString listFile = FDir.filePath("OnlineBlockIPList.txt");
    TGateIPManager manager(listFile.toStdString());
    manager.SetSaveOnChange(true);  // as the process-wide manager
    TFrmOnLineHum online(&sessions, manager);
    QCOMPARE(online.windowTitle(), QString::fromUtf8("在线人物 [2]"));
    QCOMPARE(online.Table()->horizontalHeaderItem(1)->text(), QString::fromUtf8("登陆IP地址"));
    QCOMPARE(online.Table()->item(1, 2)->text(), QString::fromUtf8("登录中"));

    struct TCase {
      QPushButton* Button;
      const char* Question;
    };
    const TCase cases[] = {
        {online.ButtonKick(), "是否确认将此连接断开？"},
        {online.ButtonAddTemp(),
         "是否确认将此IP加入动态过滤列表中？加入过滤列表后，此IP建立的所有连接将被强行中断。"},
        {online.ButtonAddBlock(),
         "是否确认将此IP加入永久过滤列表中？加入过滤列表后，此IP建立的所有连接将被强行中断。"},
    };
    for (const TCase& c : cases) {
      online.Table()->selectRow(0);
      QVERIFY(c.Button->isEnabled());
      prompts.Answers = {false};
      c.Button->click();
      QCOMPARE(prompts.Asked.back().Caption, QString::fromUtf8("确认信息 - 10.0.0.7"));
      QCOMPARE(prompts.Asked.back().Text, QString::fromUtf8(c.Question));
      QCOMPARE(prompts.Asked.back().Buttons, qbOkCancel);
      QVERIFY(sessions.Closed.empty() && sessions.Kicked.empty());
      QCOMPARE(online.SelIPaddr(), std::string("10.0.0.7"));
    }
    QVERIFY(TempBlockAddresses(manager).empty() && BlockAddresses(manager).empty());

    online.Table()->selectRow(0);
    prompts.Answers = {true};
    online.ButtonAddTemp()->click();
    // Only the kick is disabled: the address may still go on the other list.
    QVERIFY(!online.ButtonKick()->isEnabled());
    QVERIFY(online.ButtonAddTemp()->isEnabled() && online.ButtonAddBlock()->isEnabled());
    online.Table()->selectRow(1);
    prompts.Answers = {true};
    online.ButtonAddBlock()->click();
    QCOMPARE(sessions.Closed, (std::vector<std::string>{"10.0.0.7", "10.0.0.8"}));
    QCOMPARE(TempBlockAddresses(manager), std::vector<std::string>{"10.0.0.7"});
    QCOMPARE(BlockAddresses(manager), std::vector<std::string>{"10.0.0.8"});
    QFile file(listFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("10.0.0.8\r\n"));
    QVERIFY(!online.ButtonKick()->isEnabled());
    QVERIFY(online.ButtonAddTemp()->isEnabled() && online.ButtonAddBlock()->isEnabled());
    QCOMPARE(online.SelIPaddr(), std::string("10.0.0.8"));

    // The kick names the selected row's session by its handle.
    online.Table()->selectRow(1);
    QCOMPARE(online.SelSessionHandle(), 2u);
    prompts.Answers = {true};
    online.ButtonKick()->click();
    QCOMPARE(sessions.Kicked, std::vector<uint32_t>{2});
    QCOMPARE(sessions.Closed.size(), size_t{2});
  }

  // The four byte cells follow the running server's traffic counters, refreshed with the log.
  void statisticsPanelShowsTheTrafficFigures() {
    gw::test::TFakeLogicServer logic;
    WriteConfig("0", logic.Port());
    TFrmMain window(Quiet());
    window.StartService();
    TStatisticsPanel* panel = window.StatisticsPanel();
    window.ShowMainLogMsg();
    QCOMPARE(panel->CellText(1, 1), QString("0B"));
    QCOMPARE(panel->CellText(1, 3), QString("0B"));
    std::unique_ptr<gw::test::TBareWsClient> client =
        ConnectClient(window, window.Service().Server()->ListenPort(), 1);
    QVERIFY(client);
    // The token challenge goes out to the client; a wrong answer of ten bytes comes in.
    QVERIFY(WaitUntil(
        [&] {
          window.ShowMainLogMsg();
          return panel->CellText(1, 3) != "0B";
        },
        20000));
    const TGateWayTraffic& traffic = window.Service().Server()->Traffic();
    // Whether the cell shows the counter's figure after the next refreshes.
    auto follows = [&](int row, int column, const std::atomic<uint64_t>& counter) {
      return WaitUntil(
          [&] {
            window.ShowMainLogMsg();
            return panel->CellText(row, column) ==
                   QString::fromStdString(FormatByteCount(counter.load()));
          },
          20000);
    };
    QVERIFY(client->SendBinary("0123456789"));
    QVERIFY(WaitUntil([&] { return client->Closed(); }, 20000));
    QVERIFY(follows(1, 1, traffic.ClientBytesIn));
    QVERIFY(traffic.ClientBytesIn.load() >= 10);
    QVERIFY(follows(1, 3, traffic.ClientBytesOut));
    // The logic link's counters show in the two engine cells.
    QVERIFY(follows(2, 1, traffic.LogicBytesIn));
    QVERIFY(follows(2, 3, traffic.LogicBytesOut));
    window.StopService();
    window.ShowMainLogMsg();
    QCOMPARE(panel->CellText(1, 1), QString("0B"));
  }

  void onlineUsersWindowStartsEmpty() {
    TFrmMain window(Quiet());
    QString caption;
    bool anyEnabled = true;
    QTimer::singleShot(0, [&] {
      auto* online = qobject_cast<TFrmOnLineHum*>(QApplication::activeModalWidget());
      QVERIFY(online);
      caption = online->windowTitle();
      anyEnabled = online->ButtonKick()->isEnabled() || online->ButtonAddTemp()->isEnabled() ||
                   online->ButtonAddBlock()->isEnabled();
      online->reject();
    });
    window.ActionOnlineUsers()->trigger();
    QCOMPARE(caption, QString::fromUtf8("在线人物 [0]"));
    QVERIFY(!anyEnabled);
  }

  void kickFromOnlineUsersClosesTheClientsSession() {
    gw::test::TFakeLogicServer logic;
    WriteConfig("0", logic.Port());
    TScriptedPrompts prompts;
    TFrmMain window(Quiet());
    window.StartService();
    QVERIFY(!window.ActionStart()->isEnabled());
    const uint16_t port = window.Service().Server()->ListenPort();
    QVERIFY(port != 0);
    // The gateway takes clients once its logic server link is up.
    std::unique_ptr<gw::test::TBareWsClient> client = ConnectClient(window, port, 1);
    QVERIFY(client);
    // A second player behind the same address (a shared NAT).
    std::unique_ptr<gw::test::TBareWsClient> neighbour = ConnectClient(window, port, 2);
    QVERIFY(neighbour);
    window.ShowMainLogMsg();
    QCOMPARE(window.StatisticsPanel()->CellText(3, 3), QString("2"));

    TFrmOnLineHum online(&window, IPManager());
    QCOMPARE(online.windowTitle(), QString::fromUtf8("在线人物 [2]"));
    QCOMPARE(online.Table()->item(0, 0)->text(), QString("1"));
    QCOMPARE(online.Table()->item(0, 1)->text(), QString("127.0.0.1"));
    QCOMPARE(online.Table()->item(0, 2)->text(), QString::fromUtf8("等待验证"));
    online.Table()->selectRow(0);
    QVERIFY(online.ButtonKick()->isEnabled());
    QCOMPARE(online.SelIPaddr(), std::string("127.0.0.1"));
    const uint32_t kicked = online.SelSessionHandle();
    QVERIFY(kicked != 0);
    prompts.Answers = {false};
    online.ButtonKick()->click();  // Cancel changes nothing
    QVERIFY(!client->Closed() && !neighbour->Closed());
    QCOMPARE(online.SelIPaddr(), std::string("127.0.0.1"));
    QCOMPARE(prompts.Asked.back().Caption, QString::fromUtf8("确认信息 - 127.0.0.1"));
    QCOMPARE(prompts.Asked.back().Buttons, qbOkCancel);
    prompts.Answers = {true};
    online.ButtonKick()->click();
    // Exactly the selected session goes; the other one of the same address stays.
    QVERIFY(WaitUntil([&] { return window.ListSessions().size() == 1; }));
    QVERIFY(WaitUntil([&] { return client->Closed() || neighbour->Closed(); }));
    QVERIFY(window.ListSessions().front().SessionHandle != kicked);
    QVERIFY(!(client->Closed() && neighbour->Closed()));
    QCOMPARE(online.windowTitle(), QString::fromUtf8("在线人物 [1]"));
    QVERIFY(!online.ButtonKick()->isEnabled());
    QVERIFY(online.SelIPaddr().empty());
  }

  // Putting an address on a block list from the IP filter dialog closes that address's sessions.
  void blockingAnAddressClosesItsSessions() {
    gw::test::TFakeLogicServer logic;
    WriteConfig("0", logic.Port());
    TScriptedPrompts prompts;
    TFrmMain window(Quiet());
    window.StartService();
    const uint16_t port = window.Service().Server()->ListenPort();
    std::unique_ptr<gw::test::TBareWsClient> first = ConnectClient(window, port, 1);
    std::unique_ptr<gw::test::TBareWsClient> second = ConnectClient(window, port, 2);
    QVERIFY(first && second);
    prompts.Inputs = {QString("127.0.0.1")};
    bool found = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<TFrmIPaddrFilter*>(QApplication::activeModalWidget());
      found = dialog != nullptr;
      if (!dialog) return;
      dialog->TempMenu().Add->trigger();
      dialog->reject();
    });
    window.ActionIPFilter()->trigger();
    QVERIFY(found);
    QVERIFY(WaitUntil([&] { return first->Closed() && second->Closed(); }));
    QVERIFY(window.ListSessions().empty());
    std::vector<std::string> temp;
    IPManager().EarchTempBlockIPs([&](int, const TSockaddr* e) { temp.push_back(e->IPaddr); });
    QCOMPARE(temp, std::vector<std::string>{"127.0.0.1"});
    IPManager().RemoveTempBlockIP(std::string("127.0.0.1"));
  }

  void dumpMemWritesTheReportBesideTheProgram() {
    TFrmMain window(Quiet());
    const QDir folder(QString::fromStdString(ProgramFolder()));
    const QStringList before = folder.entryList({"PelvaneMemState_*.txt"});
    window.ActionDumpMem()->trigger();
    QStringList after = folder.entryList({"PelvaneMemState_*.txt"});
    for (const QString& name : before) after.removeAll(name);
    QCOMPARE(after.size(), 1);
    QVERIFY(QRegularExpression("^PelvaneMemState_\\d{4}_\\d{2}_\\d{2}_\\d{2}_\\d{2}_\\d{2}\\.txt$")
                .match(after.front())
                .hasMatch());
    QFile file(folder.filePath(after.front()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.contains("[Process]\n"));
    QVERIFY(content.contains("[Allocator]\n"));
    QVERIFY(content.trimmed().endsWith("PelvaneMemStateDump"));
    file.remove();
  }

  void closingAsksUnlessTheControllerSaysClose() {
    TScriptedPrompts prompts;
    TFrmMain window(TFrmMain::TOptions{false, true});
    window.show();
    prompts.Answers = {false};
    window.ActionExit()->trigger();
    QVERIFY(window.isVisible());
    QCOMPARE(prompts.Asked.back().Text, QString::fromUtf8("是否确认退出服务器？"));
    const size_t asked = prompts.Asked.size();
    QVERIFY(
        TControlChannel::Send(window.ControlHandle(), MakeControlWParam(kCtlCloseGateWay, 0), ""));
    QVERIFY(WaitUntil([&] { return !window.isVisible(); }));
    QCOMPARE(prompts.Asked.size(), asked);  // no question this time
  }

  // Windows: the console's control events reach the window from the system's own thread.
  // (Linux takes signals instead: the program test sends them to the real gateway.)
  void consoleEventsReloadAndClose() {
    TFrmMain window(Quiet());
    window.show();
    const TConsoleSignals requests(window);
    if (!TConsoleControl::HandleEvent(TConsoleControl::ceCtrlBreak))
      QSKIP("this system has no console events");
    QVERIFY(WaitUntil([&] {
      window.ShowMainLogMsg();
      return ViewText(window).contains(QString::fromUtf8("正在加载配置信息..."));
    }));
    QVERIFY(window.isVisible());
    QVERIFY(TConsoleControl::HandleEvent(TConsoleControl::ceCtrlC));
    QVERIFY(WaitUntil([&] { return !window.isVisible(); }));
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
