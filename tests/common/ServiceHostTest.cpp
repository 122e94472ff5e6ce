// The service host against the system's Service Control Manager: a small service program
// (ServiceHostTestProgram.cpp) is installed, started, sent reload and stop controls and
// removed; on systems without the manager every operation says so and changes nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Platform.h"
#include "common/ServiceHost.h"
#include "support/WaitUntil.h"

namespace gw {
namespace {

using test_support::WaitUntil;
using TState = TServiceHost::TServiceState;

TEST(ServiceHostQuote, ArgumentsSurviveTheWindowsCommandLineRules) {
  const struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"two words", "\"two words\""},
      {"C:\\Program Files\\GateWay\\", "\"C:\\Program Files\\GateWay\\\\\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"C:\\dir\\file.pem", "C:\\dir\\file.pem"},
  };
  for (const auto& c : cases) EXPECT_EQ(TServiceHost::QuoteArgument(c.In), c.Out) << c.In;
}

#ifndef _WIN32

TEST(ServiceHostTest, EveryOperationSaysItNeedsWindows) {
  std::string error;
  TServiceHost::TServiceStatus status;
  EXPECT_FALSE(TServiceHost::Install({"GateWay", "", "", {}, ""}, error));
  EXPECT_EQ(error, TServiceHost::kUnavailableText);
  error.clear();
  EXPECT_FALSE(TServiceHost::Uninstall("GateWay", error));
  EXPECT_EQ(error, TServiceHost::kUnavailableText);
  error.clear();
  EXPECT_FALSE(TServiceHost::Query("GateWay", status, error));
  EXPECT_EQ(error, TServiceHost::kUnavailableText);
  error.clear();
  bool ran = false;
  TServiceHost::THandlers handlers;
  handlers.Run = [&ran](TServiceHost::TStartReport&) {
    ran = true;
    return 0;
  };
  EXPECT_EQ(TServiceHost::Run("GateWay", handlers, error), TServiceHost::kFailedExitCode);
  EXPECT_EQ(error, TServiceHost::kUnavailableText);
  EXPECT_FALSE(ran);
}

#else

constexpr uint32_t kStopControl = 1;              // SERVICE_CONTROL_STOP
constexpr uint32_t kParamChangeControl = 6;       // SERVICE_CONTROL_PARAMCHANGE
constexpr uint32_t kServiceSpecificError = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR

// One test service, named after this process so that runs side by side do not meet;
// removed (and its event file deleted) however the test ends.
class TTestService {
 public:
  explicit TTestService(const std::string& Suffix)
      : FName("GwHostTest" + std::to_string(CurrentProcessId()) + Suffix),
        FEventsPath(ProgramFolder() + "\\" + FName + ".events") {
    std::remove(FEventsPath.c_str());
  }
  ~TTestService() {
    std::string error;
    TServiceHost::Uninstall(FName, error);
    std::remove(FEventsPath.c_str());
  }
  const std::string& Name() const { return FName; }

  bool Install(const std::string& Mode, std::string& Error) const {
    // The service program lies beside this test.
    return TServiceHost::Install({FName,
                                  FName + " display",
                                  "service host test",
                                  {FName, Mode},
                                  ProgramFolder() + "\\service_host_test_program.exe"},
                                 Error);
  }
  TServiceHost::TServiceStatus Status() const {
    TServiceHost::TServiceStatus status;
    std::string error;
    EXPECT_TRUE(TServiceHost::Query(FName, status, error)) << error;
    return status;
  }
  bool WaitForState(TState State) const {
    return WaitUntil([&] { return Status().State == State; });
  }
  std::vector<std::string> Events() const {
    std::vector<std::string> words;
    std::ifstream in(FEventsPath);
    for (std::string line; std::getline(in, line);) words.push_back(line);
    return words;
  }
  bool WaitForEvents(size_t Count) const {
    return WaitUntil([&] { return Events().size() >= Count; });
  }

 private:
  const std::string FName;
  const std::string FEventsPath;
};

TEST(ServiceHostTest, RunOutsideTheManagerFailsWithAHint) {
  std::string error;
  bool ran = false;
  TServiceHost::THandlers handlers;
  handlers.Run = [&ran](TServiceHost::TStartReport&) {
    ran = true;
    return 0;
  };
  EXPECT_EQ(TServiceHost::Run("GwHostTestNoManager", handlers, error),
            TServiceHost::kFailedExitCode);
  EXPECT_NE(error.find("not started by the Service Control Manager"), std::string::npos) << error;
  EXPECT_FALSE(ran);
}

TEST(ServiceHostTest, UnknownServiceIsReportedAsMissing) {
  TTestService service("Missing");
  EXPECT_EQ(service.Status().State, TState::NotInstalled);
  std::string error;
  EXPECT_FALSE(TServiceHost::Uninstall(service.Name(), error));
  EXPECT_NE(error.find("OpenService"), std::string::npos) << error;
}

TEST(ServiceHostTest, InstallStartReloadStopUninstall) {
  TTestService service("Cycle");
  std::string error;
  ASSERT_TRUE(service.Install("serve", error)) << error;
  EXPECT_EQ(service.Status().State, TState::Stopped);
  EXPECT_FALSE(service.Install("serve", error)) << "a second service of the same name";
  EXPECT_NE(error.find("CreateService"), std::string::npos) << error;

  ASSERT_TRUE(TServiceHost::Start(service.Name(), error)) << error;
  ASSERT_TRUE(service.WaitForState(TState::Running));
  ASSERT_TRUE(service.WaitForEvents(1));
  // Both reload controls reach the reload action, in order, while the service runs.
  ASSERT_TRUE(TServiceHost::Control(service.Name(), TServiceHost::kReloadControl, error)) << error;
  ASSERT_TRUE(service.WaitForEvents(2));
  ASSERT_TRUE(TServiceHost::Control(service.Name(), kParamChangeControl, error)) << error;
  ASSERT_TRUE(service.WaitForEvents(3));
  EXPECT_EQ(service.Status().State, TState::Running);

  ASSERT_TRUE(TServiceHost::Control(service.Name(), kStopControl, error)) << error;
  ASSERT_TRUE(service.WaitForState(TState::Stopped));
  const TServiceHost::TServiceStatus status = service.Status();
  EXPECT_EQ(status.Win32ExitCode, 0u);
  EXPECT_EQ(service.Events(),
            (std::vector<std::string>{"running", "reload", "reload", "stop", "ended"}));

  ASSERT_TRUE(TServiceHost::Uninstall(service.Name(), error)) << error;
  // A deleted service is only marked for deletion until the manager lets go of it (wine's
  // does so a moment later on a busy machine).
  EXPECT_TRUE(WaitUntil([&] { return service.Status().State == TState::NotInstalled; }));
}

TEST(ServiceHostTest, FailedStartEndsStoppedWithTheRunsExitCode) {
  TTestService service("Fail");
  std::string error;
  ASSERT_TRUE(service.Install("fail", error)) << error;
  ASSERT_TRUE(TServiceHost::Start(service.Name(), error)) << error;
  ASSERT_TRUE(WaitUntil([&] {
    const TServiceHost::TServiceStatus status = service.Status();
    return status.State == TState::Stopped && status.Win32ExitCode == kServiceSpecificError;
  }));
  EXPECT_EQ(service.Status().ServiceExitCode, 3u);
  EXPECT_TRUE(service.Events().empty());
}

TEST(ServiceHostTest, UninstallStopsARunningServiceFirst) {
  TTestService service("Running");
  std::string error;
  ASSERT_TRUE(service.Install("serve", error)) << error;
  ASSERT_TRUE(TServiceHost::Start(service.Name(), error)) << error;
  ASSERT_TRUE(service.WaitForState(TState::Running));
  ASSERT_TRUE(TServiceHost::Uninstall(service.Name(), error)) << error;
  // A deleted service is only marked for deletion until the manager lets go of it (wine's
  // does so a moment later on a busy machine).
  EXPECT_TRUE(WaitUntil([&] { return service.Status().State == TState::NotInstalled; }));
  EXPECT_TRUE(service.WaitForEvents(3));
  EXPECT_EQ(service.Events(), (std::vector<std::string>{"running", "stop", "ended"}));
}

#endif  // _WIN32

}  // namespace
}  // namespace gw
