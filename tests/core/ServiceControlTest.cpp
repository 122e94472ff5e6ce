// Service control as a front-end drives it: the start sequence with its lines in
// order, stop, a second start with a new server, and a failed start.
#include "core/ServiceControl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "config/GateShare.h"
#include "core/RelayTestUtil.h"
#include "logging/LoggerThread.h"

namespace gw {
namespace {

namespace fs = std::filesystem;

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("service-control-test-" + std::to_string(getpid()));
    fs::create_directories(FDir);
    TLoggerThread::TOptions options;
    options.Folder = (FDir / "Log").string();
    options.StartThread = false;
    FLoggerThread = std::make_unique<TLoggerThread>(options);
    // Information lines of the logger and lines of the server both reach the "view".
    TLogger::SetLogCallBack(
        [this](const std::string& line, TLogLevel level) { Show(line, level); });
  }
  void TearDown() override {
    TLogger::SetLogCallBack(nullptr);
    FLoggerThread.reset();
    fs::remove_all(FDir);
  }

  void WriteConfig(const std::string& gatePort) {
    std::ofstream f(FDir / "GateWay.xml", std::ios::binary);
    f << "<TGateWayConfigure>\r\n\t<GatePort>" << gatePort << "</GatePort>\r\n"
      << "\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>" << FLogic.Port()
      << "</ServerPort>\r\n\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>"
      << FLogin.Port() << "</LoginSrvPort>\r\n\t<WokerCount>2</WokerCount>\r\n"
      << "</TGateWayConfigure>\r\n";
  }

  TServiceControl::TFrontEnd FrontEnd() {
    TServiceControl::TFrontEnd fe;
    fe.ShowLine = [this](const std::string& line, TLogLevel level) { Show(line, level); };
    fe.SetServiceState = [this](bool running) {
      std::lock_guard<std::mutex> g(FLock);
      FStates.push_back(running);
    };
    fe.SetCaption = [this](const std::string& caption) {
      std::lock_guard<std::mutex> g(FLock);
      FCaption = caption;
    };
    return fe;
  }
  TGateWayFiles Files() const {
    TGateWayFiles files;
    files.Config = (FDir / "GateWay.xml").string();
    files.WordFilter = (FDir / "WordFilter.txt").string();
    return files;
  }

  void Show(const std::string& line, TLogLevel level) {
    std::lock_guard<std::mutex> g(FLock);
    // "[yy-mm-dd hh:mm:ss]" comes first; keep the mark and the text.
    FLines.push_back(line.size() > 19 ? line.substr(19) : "?" + line);
    (void)level;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(FLock);
    return FLines;
  }
  // The lines in `expected` appear in this order (others may come between).
  bool InOrder(const std::vector<std::string>& expected) {
    size_t next = 0;
    for (const std::string& l : Lines()) {
      if (next < expected.size() && l == expected[next]) ++next;
    }
    return next == expected.size();
  }

  fs::path FDir;
  std::unique_ptr<TLoggerThread> FLoggerThread;
  test::TTestPeer FLogic, FLogin;
  std::mutex FLock;  // guards the three below
  std::vector<std::string> FLines;
  std::vector<bool> FStates;
  std::string FCaption = "FrmMain";
};

TEST_F(ServiceControlTest, StartStopAndStartAgain) {
  WriteConfig("0");
  TServiceControl service(FrontEnd(), Files());
  ASSERT_TRUE(service.StartService());
  TGateWaySocketServer* first = service.Server();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(service.IsRunning());
  EXPECT_NE(first->ListenPort(), 0);
  EXPECT_TRUE(
      InOrder({"[I] 正在启动服务...", "[I] 正在加载配置信息...", "[I] 配置信息加载完成...",
               "[I] 正在加载文字过滤配置信息...", "[I] 文字过滤信息加载完成...",
               "[I] SocketServer 启动: 0", "[I] 服务已启动成功...", "[D] 版本: 2022.05.08"}));
  {
    std::lock_guard<std::mutex> g(FLock);
    EXPECT_EQ(FCaption, "GateWay - 游戏网关");
    EXPECT_EQ(FStates, std::vector<bool>{true});
  }

  service.StopService();
  EXPECT_FALSE(service.IsRunning());
  EXPECT_EQ(service.Server(), first) << "the stopped server stays the current one";
  EXPECT_TRUE(InOrder({"[I] 正在停止服务...", "[I] 服务停止成功..."}));

  ASSERT_TRUE(service.StartService());
  EXPECT_TRUE(service.IsRunning());
  int starts = 0;
  for (const std::string& l : Lines()) starts += l == "[I] 服务已启动成功...";
  EXPECT_EQ(starts, 2);
  std::lock_guard<std::mutex> g(FLock);
  EXPECT_EQ(FStates, (std::vector<bool>{true, false, true}));
}

TEST_F(ServiceControlTest, AFailedStartShowsAFatalLineAndThePort) {
  WriteConfig("72x0");
  TServiceControl service(FrontEnd(), Files());
  EXPECT_FALSE(service.StartService());
  EXPECT_FALSE(service.IsRunning());
  EXPECT_TRUE(InOrder({"[I] 正在启动服务...",
                       "[F] " + AbsoluteSettingsPath(Files().Config) +
                           ":2: error: GatePort: \"72x0\" is not a port number (0 to 65535)",
                       "[I] 服务器的绑定端口:72x0"}));
  std::lock_guard<std::mutex> g(FLock);
  EXPECT_EQ(FStates, (std::vector<bool>{true, false}));
  for (const std::string& l : FLines) EXPECT_NE(l, "[I] 服务已启动成功...");
}

}  // namespace
}  // namespace gw
