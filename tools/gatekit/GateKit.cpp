#include "GateKit.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "AdminClient.h"
#include "LaunchBlock.h"
#include "codec/DeploymentKeys.h"
#include "codec/EDcode.h"
#include "codec/TokenHandshake.h"
#include "common/GateWayStats.h"
#include "common/Utf8Path.h"
#include "config/ControlChannel.h"

namespace gw {

namespace {

constexpr char kUsage[] =
    "usage: gatekit COMMAND ...\n"
    "  encipher TEXT                       stored-secret form (NetPassWord, key files)\n"
    "  decipher TEXT                       plain text of a stored secret\n"
    "  blowfish-encrypt --password P TEXT  password-based Blowfish, base64 out\n"
    "  blowfish-decrypt --password P BASE64\n"
    "  sixbit-encode HEX                   six-bit text of the bytes\n"
    "  sixbit-decode TEXT                  bytes (hex) of a six-bit text\n"
    "  token-challenge TOKEN               challenge text the gateway sends for a token\n"
    "  token-answer CHALLENGE_TEXT         answer text a correct client sends back\n"
    "  launch-block --gate A:P --logic A:P --login A:P --db A:P [--gate-number N]\n"
    "               [--controller HANDLE] [--pressure-test] [--profiling]\n"
    "                                      enciphered launch parameter block\n"
    "  control-path HANDLE                 socket path of the control channel listener of HANDLE\n"
    "                                      (Linux; makes its private folder when missing)\n"
    "  control-send HANDLE IDENT [TEXT]    sends one control message (2000: close the gateway\n"
    "                                      whose process ID is HANDLE)\n"
    "  admin URL [--token-file F] [--cacert F] [--insecure] COMMAND [ARG]\n"
    "                                      the gateway's admin API: status, sessions [QUERY],\n"
    "                                      kick HANDLE, block ADDR, unblock ADDR [--temporary],\n"
    "                                      reload, drain (exit codes as curl -f: 22 HTTP error,\n"
    "                                      7 no connection)\n"
    "  metrics-table [--readme FILE]       the README's tables of metrics and bounds; with\n"
    "                                      --readme, written into FILE between their markers\n"
    "Keys for token-challenge/token-answer: ./GateKeys.txt when present, else the development "
    "keys.\n";

// Bad command-line shape (exit 2) versus bad input values (exit 1).
struct TUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct TInputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Positional arguments and "--name value" / "--flag" options of one subcommand.
struct TParsedArgs {
  std::vector<std::string> Positional;
  std::vector<std::pair<std::string, std::string>> Options;

  std::optional<std::string> Option(const std::string& Name) const {
    for (const auto& [name, value] : Options) {
      if (name == Name) return value;
    }
    return std::nullopt;
  }
  std::string Required(const std::string& Name) const {
    auto value = Option(Name);
    if (!value) throw TUsageError("missing " + Name);
    return *value;
  }
};

TParsedArgs ParseArgs(const std::vector<std::string>& Args, const std::vector<std::string>& Valued,
                      const std::vector<std::string>& Flags) {
  TParsedArgs parsed;
  bool onlyPositional = false;
  for (size_t i = 1; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if (!onlyPositional && a == "--") {
      onlyPositional = true;
    } else if (!onlyPositional && a.size() > 2 && a.starts_with("--")) {
      if (std::find(Valued.begin(), Valued.end(), a) != Valued.end()) {
        if (i + 1 >= Args.size()) throw TUsageError(a + " needs a value");
        if (parsed.Option(a)) throw TUsageError(a + " given twice");
        parsed.Options.emplace_back(a, Args[++i]);
      } else if (std::find(Flags.begin(), Flags.end(), a) != Flags.end()) {
        parsed.Options.emplace_back(a, "");
      } else {
        throw TUsageError("unknown option " + a);
      }
    } else {
      parsed.Positional.push_back(a);
    }
  }
  return parsed;
}

std::string OnePositional(const TParsedArgs& Parsed, const char* What) {
  if (Parsed.Positional.size() != 1) throw TUsageError(std::string("expected one ") + What);
  return Parsed.Positional[0];
}

std::string ToHex(std::string_view Bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(Bytes.size() * 2);
  for (unsigned char c : Bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::vector<uint8_t> FromHex(std::string_view Text) {
  if (Text.size() % 2 != 0) throw TInputError("hex text has an odd number of digits");
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<uint8_t> out;
  for (size_t i = 0; i < Text.size(); i += 2) {
    const int hi = digit(Text[i]);
    const int lo = digit(Text[i + 1]);
    if (hi < 0 || lo < 0) throw TInputError("not a hex digit in \"" + std::string(Text) + "\"");
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return out;
}

void RequireBase64(const std::string& Text) {
  if (!Text.empty() && !IsBase64Text(Text)) throw TInputError("not base64 text: " + Text);
}

uint32_t ParseNumber(const std::string& Text, uint32_t Max, const char* What) {
  uint32_t value = 0;
  std::string_view digits = Text;
  int base = 10;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    digits.remove_prefix(2);
    base = 16;
  }
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value > Max) {
    throw TInputError(std::string(What) + " must be a number from 0 to " + std::to_string(Max));
  }
  return value;
}

std::string LaunchBlockCommand(const TParsedArgs& Parsed) {
  if (!Parsed.Positional.empty()) throw TUsageError("launch-block takes only options");
  TLaunchBlockRequest request;
  try {
    request.Gate = ParseLaunchEndpoint(Parsed.Required("--gate"));
    request.Logic = ParseLaunchEndpoint(Parsed.Required("--logic"));
    request.Login = ParseLaunchEndpoint(Parsed.Required("--login"));
    request.DB = ParseLaunchEndpoint(Parsed.Required("--db"));
  } catch (const std::invalid_argument& e) {
    throw TInputError(e.what());
  }
  if (auto n = Parsed.Option("--gate-number")) {
    request.GateNumber = static_cast<uint8_t>(ParseNumber(*n, 255, "--gate-number"));
  }
  if (auto h = Parsed.Option("--controller")) {
    request.ControllerHandle = ParseNumber(*h, 0xFFFFFFFFu, "--controller");
  }
  request.PressureTest = Parsed.Option("--pressure-test").has_value();
  request.Profiling = Parsed.Option("--profiling").has_value();
  try {
    const TLaunchBlock block = BuildLaunchBlock(request);
    return EncodeSourceData(block);
  } catch (const std::invalid_argument& e) {
    throw TInputError(e.what());
  }
}

// Writes the generated tables into the README at Path.
std::string UpdateReadmeFile(const std::string& Path) {
  std::ifstream in(PathFromUtf8(Path), std::ios::binary);
  if (!in) throw TInputError("cannot read " + Path);
  std::ostringstream text;
  text << in.rdbuf();
  in.close();
  const std::string updated = TGateWayStats::UpdateReadme(text.str());
  if (updated.empty()) throw TInputError(Path + " lacks the metrics-table or limits-table markers");
  if (updated == text.str()) return Path + " is up to date";
  std::ofstream out(PathFromUtf8(Path), std::ios::binary | std::ios::trunc);
  out << updated;
  if (!out.flush()) throw TInputError("cannot write " + Path);
  return Path + " updated";
}

std::string Run(const std::vector<std::string>& Args) {
  if (Args.empty()) throw TUsageError("no command");
  const std::string& command = Args[0];
  if (command == "encipher") {
    return EncodeSource(OnePositional(ParseArgs(Args, {}, {}), "TEXT"));
  }
  if (command == "decipher") {
    const std::string text = OnePositional(ParseArgs(Args, {}, {}), "TEXT");
    RequireBase64(text);
    return DecodeSource(text);
  }
  if (command == "blowfish-encrypt" || command == "blowfish-decrypt") {
    const TParsedArgs parsed = ParseArgs(Args, {"--password"}, {});
    const std::string password = parsed.Required("--password");
    const std::string text = OnePositional(parsed, "TEXT");
    if (password.empty()) throw TInputError(kNoPasswordError);
    if (command == "blowfish-encrypt") return BlowfishEncryptString(text, password);
    RequireBase64(text);
    return BlowfishDecryptString(text, password);
  }
  if (command == "sixbit-encode") {
    return EncodeSixBit(FromHex(OnePositional(ParseArgs(Args, {}, {}), "HEX")));
  }
  if (command == "sixbit-decode") {
    return ToHex(DecodeSixBitAlloc(OnePositional(ParseArgs(Args, {}, {}), "TEXT")).View());
  }
  if (command == "token-challenge" || command == "token-answer") {
    const std::string text = OnePositional(ParseArgs(Args, {}, {}), "TEXT");
    TDeploymentKeys keys;
    try {
      keys = LoadDeploymentKeys(".");
    } catch (const TCodecError& e) {
      throw TInputError(e.what());
    }
    if (command == "token-challenge") {
      if (text.empty()) throw TInputError("empty token");
      return ChallengeText(text, keys);
    }
    std::optional<std::string> answer = TokenAnswerText(text, keys);
    if (!answer) throw TInputError("challenge text cannot be opened with the challenge key");
    return *answer;
  }
  if (command == "launch-block") {
    return LaunchBlockCommand(
        ParseArgs(Args, {"--gate", "--logic", "--login", "--db", "--gate-number", "--controller"},
                  {"--pressure-test", "--profiling"}));
  }
  if (command == "control-path") {
    const uint32_t handle =
        ParseNumber(OnePositional(ParseArgs(Args, {}, {}), "HANDLE"), 0xFFFFFFFFu, "HANDLE");
    try {
      return ControlSocketPath(handle, /*ACreateFolder=*/true);
    } catch (const std::exception& e) {
      throw TInputError(e.what());
    }
  }
  if (command == "control-send") {
    const TParsedArgs parsed = ParseArgs(Args, {}, {});
    if (parsed.Positional.size() < 2 || parsed.Positional.size() > 3) {
      throw TUsageError("control-send takes HANDLE IDENT [TEXT]");
    }
    const uint32_t handle = ParseNumber(parsed.Positional[0], 0xFFFFFFFFu, "HANDLE");
    const uint32_t ident = ParseNumber(parsed.Positional[1], 0xFFFFu, "IDENT");
    const std::string text = parsed.Positional.size() == 3 ? parsed.Positional[2] : "";
    if (!TControlChannel::Send(handle, MakeControlWParam(static_cast<uint16_t>(ident), 0), text)) {
      throw TInputError("no control channel listener of " + std::to_string(handle) +
                        " took the message");
    }
    return "sent";
  }
  if (command == "metrics-table") {
    const TParsedArgs parsed = ParseArgs(Args, {"--readme"}, {});
    if (!parsed.Positional.empty()) throw TUsageError("metrics-table takes no argument");
    const std::optional<std::string> file = parsed.Option("--readme");
    if (!file) return TGateWayStats::ReadmeTable() + "\n" + TGateWayStats::ReadmeLimitsTable();
    return UpdateReadmeFile(*file);
  }
  if (command == "-h" || command == "--help" || command == "help") return "";
  throw TUsageError("unknown command " + command);
}

}  // namespace

int RunGateKit(const std::vector<std::string>& Args, std::string& Out, std::string& Err) {
  try {
    if (!Args.empty() && Args[0] == "admin") {
      return RunAdminClient(std::vector<std::string>(Args.begin() + 1, Args.end()), Out, Err);
    }
    if (!Args.empty() && (Args[0] == "-h" || Args[0] == "--help" || Args[0] == "help")) {
      Out = kUsage;
      return 0;
    }
    Out = Run(Args) + "\n";
    return 0;
  } catch (const TUsageError& e) {
    Err = std::string("gatekit: ") + e.what() + "\n" + kUsage;
    return 2;
  } catch (const std::exception& e) {
    Err = std::string("gatekit: ") + e.what() + "\n";
    return 1;
  }
}

}  // namespace gw
