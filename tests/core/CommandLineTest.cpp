// The gateway's command line: options never taken for the launch block.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace gw {
namespace {

TEST(CommandLine, TheLaunchBlockIsTheFirstArgumentThatIsNotAnOption) {
  struct TCase {
    std::vector<const char*> Args;
    bool Headless;
    std::string Block;
    // A part of the usage error expected; empty: none.
    std::string Error;
  } cases[] = {
      {{"gateway"}, false, "", ""},
      {{"gateway", "--headless"}, true, "", ""},
      {{"gateway", "--headless", "QUJD+/=="}, true, "QUJD+/==", ""},
      {{"gateway", "QUJD", "--headless", "second"}, true, "QUJD", "unexpected argument 'second'"},
      {{"gateway", "-profile", "-x", "QUJD"}, false, "QUJD", "unknown option '-x'"},
      {{"gateway", "--metric", "127.0.0.1:9100"},
       false,
       "127.0.0.1:9100",
       "unknown option '--metric'"},
      {{"gateway", "help"}, false, "help", ""},
      {{"gateway", "", "QUJD"}, false, "QUJD", ""},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    EXPECT_EQ(cl.Headless, tc.Headless) << tc.Args.size();
    EXPECT_EQ(cl.LaunchBlock, tc.Block);
    if (tc.Error.empty()) {
      EXPECT_EQ(cl.Error, "") << tc.Args.back();
    } else {
      EXPECT_NE(cl.Error.find(tc.Error), std::string::npos) << cl.Error;
    }
  }
  const char* help[] = {"gateway", "-h"};
  EXPECT_TRUE(ParseCommandLine(2, help).Help);
}

TEST(CommandLine, SendIntervalTakesMillisecondsFrom0To1000) {
  struct TCase {
    std::vector<const char*> Args;
    std::optional<uint32_t> Interval;  // none: not given, or refused
    bool Error;
    std::string Block;
  } cases[] = {
      {{"gateway"}, std::nullopt, false, ""},
      {{"gateway", "--send-interval", "0", "QUJD"}, 0u, false, "QUJD"},
      {{"gateway", "--send-interval=25", "--headless"}, 25u, false, ""},
      {{"gateway", "--send-interval", "1000"}, 1000u, false, ""},
      {{"gateway", "--send-interval", "1001"}, std::nullopt, true, ""},
      {{"gateway", "--send-interval", "-1"}, std::nullopt, true, ""},
      {{"gateway", "--send-interval", "5ms"}, std::nullopt, true, ""},
      {{"gateway", "--send-interval="}, std::nullopt, true, ""},
      {{"gateway", "--send-interval"}, std::nullopt, true, ""},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    const std::string name = tc.Args.size() > 2 ? tc.Args[2] : "(none)";
    EXPECT_EQ(cl.SendInterval, tc.Interval) << name;
    EXPECT_EQ(!cl.Error.empty(), tc.Error) << name;
    EXPECT_EQ(cl.LaunchBlock, tc.Block) << name;
  }
}

TEST(CommandLine, BalancerAndMetricsOptions) {
  struct TCase {
    std::vector<const char*> Args;
    bool Proxy;
    size_t Ranges;  // balancer ranges trusted
    bool Metrics;
    std::string Host;
    uint16_t Port;
    bool Error;
  } cases[] = {
      {{"gateway"}, false, 0, false, "", 0, false},
      // Loopback only unless the balancers are named.
      {{"gateway", "--proxy-protocol"}, true, 2, false, "", 0, false},
      {{"gateway", "--proxy-protocol", "--proxy-from", "10.0.0.0/8, 192.0.2.1,fd00::/8"},
       true,
       3,
       false,
       "",
       0,
       false},
      {{"gateway", "--proxy-from=10.0.0.0/8", "--proxy-protocol"}, true, 1, false, "", 0, false},
      {{"gateway", "--proxy-protocol", "--proxy-from", "10.0.0.0/33"}, true, 2, false, "", 0, true},
      {{"gateway", "--proxy-protocol", "--proxy-from"}, true, 2, false, "", 0, true},
      // A list of balancers without the protocol would be silently ignored.
      {{"gateway", "--proxy-from", "10.0.0.0/8"}, false, 1, false, "", 0, true},
      {{"gateway", "--metrics", "127.0.0.1:9100"}, false, 0, true, "127.0.0.1", 9100, false},
      {{"gateway", "--metrics=[::1]:0"}, false, 0, true, "::1", 0, false},
      {{"gateway", "--metrics", "9100"}, false, 0, false, "", 0, true},
      {{"gateway", "--metrics", ":9100"}, false, 0, false, "", 0, true},
      {{"gateway", "--metrics", "::1:9100"}, false, 0, false, "", 0, true},
      {{"gateway", "--metrics", "127.0.0.1:65536"}, false, 0, false, "", 0, true},
      {{"gateway", "--metrics"}, false, 0, false, "", 0, true},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    std::string name;
    for (const char* arg : tc.Args) name += std::string(arg) + " ";
    EXPECT_EQ(cl.ProxyProtocol, tc.Proxy) << name;
    if (!tc.Error || tc.Proxy) {
      EXPECT_EQ(cl.ProxyFrom.size(), tc.Ranges) << name;
    }
    EXPECT_EQ(cl.Metrics, tc.Metrics) << name;
    EXPECT_EQ(cl.MetricsHost, tc.Host) << name;
    EXPECT_EQ(cl.MetricsPort, tc.Port) << name;
    EXPECT_EQ(!cl.Error.empty(), tc.Error) << name << cl.Error;
    EXPECT_TRUE(cl.LaunchBlock.empty()) << name;
  }
}

TEST(CommandLine, TlsFilesComeAsAPairAndAreNeverTheLaunchBlock) {
  struct TCase {
    std::vector<const char*> Args;
    std::string Cert, Key, Block;
    bool Error;
  } cases[] = {
      {{"gateway", "--tls-cert", "c.pem", "--tls-key", "k.pem", "QUJD"},
       "c.pem",
       "k.pem",
       "QUJD",
       false},
      {{"gateway", "QUJD", "--tls-key=k.pem", "--tls-cert=c.pem"}, "c.pem", "k.pem", "QUJD", false},
      {{"gateway", "--tls-cert", "c.pem", "QUJD"}, "c.pem", "", "QUJD", true},
      {{"gateway", "--tls-key", "k.pem"}, "", "k.pem", "", true},
      {{"gateway", "--tls-key", "k.pem", "--tls-cert"}, "", "k.pem", "", true},
      {{"gateway", "--tls-cert=", "--tls-key=k.pem"}, "", "k.pem", "", true},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    const std::string name = tc.Args[1];
    EXPECT_EQ(cl.TlsCert, tc.Cert) << name;
    EXPECT_EQ(cl.TlsKey, tc.Key) << name;
    EXPECT_EQ(cl.LaunchBlock, tc.Block) << name;
    EXPECT_EQ(!cl.Error.empty(), tc.Error) << name;
  }
}

TEST(CommandLine, ServiceActionsNameAndTheInstalledServicesArguments) {
  using TAction = TCommandLine::TServiceAction;
  struct TCase {
    std::vector<const char*> Args;
    TAction Action;
    std::string Name;
    std::vector<std::string> ServiceArguments;  // only with install
    bool Error;
  } cases[] = {
      {{"gateway"}, TAction::None, kDefaultServiceName, {}, false},
      {{"gateway", "--service", "install"}, TAction::Install, kDefaultServiceName, {}, false},
      {{"gateway", "--service=uninstall"}, TAction::Uninstall, kDefaultServiceName, {}, false},
      {{"gateway", "--service", "run", "--service-name", "Gate2"},
       TAction::Run,
       "Gate2",
       {},
       false},
      {{"gateway", "--headless", "--service", "install", "--service-name=Gate 2", "--metrics",
        "127.0.0.1:9100", "--tls-cert", "C:\\gw\\c.pem", "--tls-key=C:\\gw\\k.pem"},
       TAction::Install,
       "Gate 2",
       {"--service-name=Gate 2", "--metrics", "127.0.0.1:9100", "--tls-cert", "C:\\gw\\c.pem",
        "--tls-key=C:\\gw\\k.pem"},
       false},
      {{"gateway", "--service"}, TAction::None, kDefaultServiceName, {}, true},
      {{"gateway", "--service", "start"}, TAction::None, kDefaultServiceName, {}, true},
      {{"gateway", "--service", "install", "--service-name"}, TAction::Install, "", {}, true},
      {{"gateway", "--service-name", "Gate2"}, TAction::None, "Gate2", {}, true},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    const std::string name = tc.Args.size() > 1 ? tc.Args.back() : "(none)";
    EXPECT_EQ(cl.Service, tc.Action) << name;
    EXPECT_EQ(cl.ServiceName, tc.Name) << name;
    EXPECT_EQ(!cl.Error.empty(), tc.Error) << name << ": " << cl.Error;
    if (!tc.Error) {
      EXPECT_EQ(cl.ServiceArguments, tc.ServiceArguments) << name;
    }
    EXPECT_TRUE(cl.LaunchBlock.empty()) << name << ": an action is never the launch block";
  }
}

}  // namespace
}  // namespace gw

namespace gw {
namespace {

TEST(CommandLine, OperatorOptions) {
  struct TCase {
    std::vector<const char*> Args;
    bool Version, Check;
    std::string Dir, LogDir;
    std::optional<TLogLevel> Level;
    bool Error;
  } cases[] = {
      {{"gateway", "--version"}, true, false, "", "", std::nullopt, false},
      {{"gateway", "--check", "--dir", "/etc/gw"}, false, true, "/etc/gw", "", std::nullopt, false},
      {{"gateway", "--dir=/srv/a b", "--log-dir", "/var/log/gw"},
       false,
       false,
       "/srv/a b",
       "/var/log/gw",
       std::nullopt,
       false},
      {{"gateway", "--log-level", "info"}, false, false, "", "", llMessage, false},
      {{"gateway", "--log-level=debug"}, false, false, "", "", llDebug, false},
      {{"gateway", "--log-level", "warning"}, false, false, "", "", llWarning, false},
      {{"gateway", "--log-level", "error"}, false, false, "", "", llError, false},
      {{"gateway", "--log-level", "verbose"}, false, false, "", "", std::nullopt, true},
      {{"gateway", "--dir"}, false, false, "", "", std::nullopt, true},
      {{"gateway", "--log-dir="}, false, false, "", "", std::nullopt, true},
  };
  for (const TCase& tc : cases) {
    TCommandLine cl = ParseCommandLine(static_cast<int>(tc.Args.size()), tc.Args.data());
    const std::string name = tc.Args.back();
    EXPECT_EQ(cl.Version, tc.Version) << name;
    EXPECT_EQ(cl.Check, tc.Check) << name;
    EXPECT_EQ(cl.Dir, tc.Dir) << name;
    EXPECT_EQ(cl.LogDir, tc.LogDir) << name;
    EXPECT_EQ(cl.LogLevel, tc.Level) << name;
    EXPECT_EQ(!cl.Error.empty(), tc.Error) << name << ": " << cl.Error;
    EXPECT_TRUE(cl.LaunchBlock.empty()) << name << ": a value is never the launch block";
  }
}

}  // namespace
}  // namespace gw
