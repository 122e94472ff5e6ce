#include "app/SettingsCheck.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "codec/DeploymentKeys.h"
#include "common/AnsiCodePage.h"
#include "common/Utf8Path.h"
#include "config/BlockListEntry.h"
#include "config/GateShare.h"
#include "config/SettingsValidation.h"
#include "config/TextFile.h"
#include "net/TlsContext.h"

namespace gw {

namespace {

constexpr char kCommandLineSource[] = "command line";

class TSettingsCheck {
 public:
  explicit TSettingsCheck(const TCommandLine& CommandLine) : FLine(CommandLine) {}

  int Run() {
    const std::string folder = FLine.Dir.empty() ? std::string(".") : FLine.Dir;
    std::error_code ec;
    if (!FLine.Dir.empty() && !std::filesystem::is_directory(PathFromUtf8(FLine.Dir), ec)) {
      Problem(TSettingsSeverity::Error, kCommandLineSource,
              "--dir " + FLine.Dir + " is not a folder");
    }
    const auto file = [&](const char* name) { return Utf8FromPath(PathFromUtf8(folder) / name); };

    TLaunchParams params;
    if (!FLine.LaunchBlock.empty()) {
      std::string error;
      if (!params.Decode(Utf8ToAnsi(FLine.LaunchBlock), error)) {
        Problem(TSettingsSeverity::Error, kCommandLineSource,
                "the launch block does not decode: " + error);
      }
    }
    const TGateWaySettingsRead read =
        ReadGateWaySettings(TGateWayConfigure(), params, file("GateWay.xml"), false);
    Add(read.Problems);
    PrintSettings(read, file("GateWay.xml"), params);

    CheckKeys(folder);
    CheckList("word list", file("WordFilter.txt"));
    CheckList("block list", file("BlockIPList.txt"), true);
    CheckTls();
    CheckFlags(read.Config);

    const size_t errors = CountSettingsProblems(FProblems, TSettingsSeverity::Error);
    const size_t warnings = CountSettingsProblems(FProblems, TSettingsSeverity::Warning);
    std::fflush(stdout);
    for (const TSettingsProblem& p : FProblems) {
      std::fprintf(stderr, "%s\n", FormatSettingsProblem(p).c_str());
    }
    const std::string verdict =
        std::string("gateway: the settings check ") + (errors == 0 ? "passed" : "failed") + ": " +
        std::to_string(errors) + " error(s), " + std::to_string(warnings) + " warning(s)";
    std::fprintf(stderr, "%s\n", verdict.c_str());
    return errors == 0 ? 0 : 1;
  }

 private:
  void Problem(TSettingsSeverity Severity, const std::string& File, std::string Text) {
    FProblems.push_back({Severity, File, 0, std::move(Text)});
  }
  void Add(const TSettingsProblems& Problems) {
    FProblems.insert(FProblems.end(), Problems.begin(), Problems.end());
  }
  static void Print(const std::string& Line) { std::printf("%s\n", Line.c_str()); }

  void PrintSettings(const TGateWaySettingsRead& Read, const std::string& File,
                     const TLaunchParams& Params) {
    Print("settings (" + AbsoluteSettingsPath(File) +
          (Read.Missing ? ", not found: the defaults" : "") +
          (Params.HasAddresses() ? ", addresses and workers from the launch block" : "") + "):");
    for (const TSerialProperty& p : Read.Config.Properties()) {
      std::string value = p.GetText(Read.Config);
      // The pass word is a secret even enciphered: only whether there is one.
      if (p.Name == "NetPassWord") value = value.empty() ? "(empty)" : "(set)";
      Print("  " + p.Name + " = " + value);
    }
  }

  void CheckKeys(const std::string& Folder) {
    try {
      const TDeploymentKeys keys = LoadDeploymentKeys(Folder);
      Print("handshake keys: " + keys.Origin);
      if (keys.Origin == DevelopmentKeyTexts().Origin) {
        Problem(TSettingsSeverity::Warning,
                AbsoluteSettingsPath(Utf8FromPath(PathFromUtf8(Folder) / kDeploymentKeyFileName)),
                "not found: the built-in development keys, which every client of the public "
                "builds knows, would be in use");
      }
    } catch (const std::exception& e) {
      Print("handshake keys: not usable");
      Problem(TSettingsSeverity::Error,
              AbsoluteSettingsPath(Utf8FromPath(PathFromUtf8(Folder) / kDeploymentKeyFileName)),
              e.what());
    }
  }

  // `BlockList`: each line is also read as the guard reads it; a line it would skip (or take
  // with a warning) is a warning here too, since the gateway starts with the rest.
  void CheckList(const std::string& What, const std::string& File, bool BlockList = false) {
    const std::string shown = AbsoluteSettingsPath(File);
    if (!FileExists(File)) {
      Print(What + ": " + shown + " (none)");
      return;
    }
    try {
      const TTextLines lines = DecodeTextLines(ReadSettingsFile(File));
      if (!BlockList) {
        Print(What + ": " + shown + " (" + std::to_string(lines.Lines.size()) + " lines)");
        return;
      }
      const TBlockListText list = ParseBlockListLines(lines.Lines);
      Print(What + ": " + shown + " (" + std::to_string(list.Addresses) + " addresses, " +
            std::to_string(list.Prefixes) + " prefixes, " + std::to_string(list.Ranges) +
            " ranges)");
      for (const TBlockListProblem& p : list.Problems) {
        FProblems.push_back({TSettingsSeverity::Warning, shown, static_cast<int>(p.Line), p.Text});
      }
    } catch (const std::exception& e) {
      Print(What + ": " + shown + " (not readable)");
      Problem(TSettingsSeverity::Error, shown, e.what());
    }
  }

  void CheckTls() {
    if (FLine.TlsCert.empty()) {
      Print("tls: off (ws://)");
      return;
    }
    std::string error;
    const PTlsContext tls = TTlsContext::Load(FLine.TlsCert, FLine.TlsKey, error);
    if (!tls) {
      Print("tls: not usable");
      Problem(TSettingsSeverity::Error, "--tls-cert/--tls-key", error);
      return;
    }
    Print("tls: " + tls->Subject() + ", expires " + tls->NotAfter());
  }

  void CheckFlags(const TGateWayConfigure& Config) {
    Print("options:");
    Print("  --send-interval = " +
          (FLine.SendInterval ? std::to_string(*FLine.SendInterval) : std::string("10 (default)")));
    Print(std::string("  --proxy-protocol = ") + (FLine.ProxyProtocol ? "on" : "off"));
    Print("  --metrics = " + (FLine.Metrics
                                  ? FLine.MetricsHost + ":" + std::to_string(FLine.MetricsPort)
                                  : std::string("off")));
    Print("  --dir = " + AbsoluteSettingsPath(FLine.Dir.empty() ? "." : FLine.Dir));
    Print("  --log-dir = " + (FLine.LogDir.empty() ? std::string("Log/ beside the program")
                                                   : AbsoluteSettingsPath(FLine.LogDir)));
    if (FLine.Metrics && std::to_string(FLine.MetricsPort) == Config.GatePort) {
      Problem(TSettingsSeverity::Error, kCommandLineSource,
              "--metrics port " + std::to_string(FLine.MetricsPort) +
                  " is the client port (GatePort) as well");
    }
    std::error_code ec;
    if (!FLine.LogDir.empty() && std::filesystem::exists(PathFromUtf8(FLine.LogDir), ec) &&
        !std::filesystem::is_directory(PathFromUtf8(FLine.LogDir), ec)) {
      Problem(TSettingsSeverity::Error, kCommandLineSource,
              "--log-dir " + FLine.LogDir + " is not a folder");
    }
  }

  const TCommandLine& FLine;
  TSettingsProblems FProblems;
};

}  // namespace

int RunSettingsCheck(const TCommandLine& CommandLine) { return TSettingsCheck(CommandLine).Run(); }

}  // namespace gw
