#include "AdminClient.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>

namespace gw {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitBadToken = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBadUrl = 3;
constexpr int kExitNoConnection = 7;
constexpr int kExitHttpError = 22;
constexpr int kExitTls = 35;
constexpr int kExitBrokenAnswer = 56;

constexpr char kUsage[] =
    "usage: gatekit admin URL [--token-file F] [--cacert F] [--insecure] COMMAND [ARG]\n"
    "  status | sessions [QUERY] | kick HANDLE | block ADDR [--temporary] |\n"
    "  unblock ADDR [--temporary] | reload | drain\n";

struct TExit {
  int Code;
  std::string Text;
};

struct TUrl {
  bool Tls = false;
  std::string Host;  // without brackets
  std::string Port;
};

std::optional<TUrl> ParseUrl(const std::string& Text) {
  TUrl url;
  std::string rest;
  if (Text.starts_with("http://")) {
    rest = Text.substr(7);
  } else if (Text.starts_with("https://")) {
    url.Tls = true;
    rest = Text.substr(8);
  } else {
    return std::nullopt;
  }
  rest = rest.substr(0, rest.find('/'));
  if (rest.starts_with("[")) {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return std::nullopt;
    url.Host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return std::nullopt;
    url.Port = rest.empty() ? "" : rest.substr(1);
  } else {
    const size_t colon = rest.find(':');
    url.Host = rest.substr(0, colon);
    url.Port = colon == std::string::npos ? "" : rest.substr(colon + 1);
  }
  if (url.Port.empty()) url.Port = url.Tls ? "443" : "80";
  if (url.Host.empty() || url.Port.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return url;
}

std::string ReadToken(const std::string& File) {
  if (File.empty()) {
    const char* env = std::getenv("GATEWAY_ADMIN_TOKEN");
    if (env == nullptr || *env == '\0') {
      throw TExit{kExitBadToken, "no --token-file and no GATEWAY_ADMIN_TOKEN"};
    }
    return env;
  }
  std::ifstream in(File, std::ios::binary);
  if (!in) throw TExit{kExitBadToken, File + ": cannot be read"};
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    return colon == std::string::npos ? line : line.substr(colon + 1);
  }
  throw TExit{kExitBadToken, File + ": no token in it"};
}

std::string JsonString(const std::string& Text) {
  std::string out = "\"";
  for (char c : Text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string PercentEncode(const std::string& Text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : Text) {
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == '~' || c == '*' || c == ':') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

struct TBioFree {
  void operator()(BIO* b) const { BIO_free_all(b); }
};
struct TCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

// Sends one request and returns the status and the body.
std::pair<int, std::string> Exchange(const TUrl& Url, const std::string& Request,
                                     const std::string& CaFile, bool Insecure) {
  const std::string hostPort =
      (Url.Host.find(':') != std::string::npos ? "[" + Url.Host + "]" : Url.Host) + ":" + Url.Port;
  // The connection first, then (for https) the handshake: their failures have their own codes.
  std::unique_ptr<BIO, TBioFree> bio(BIO_new_connect(hostPort.c_str()));
  if (!bio || BIO_do_connect(bio.get()) <= 0) {
    throw TExit{kExitNoConnection, "cannot connect to " + hostPort};
  }
  std::unique_ptr<SSL_CTX, TCtxFree> ctx;
  if (Url.Tls) {
    ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx) throw TExit{kExitTls, "no TLS context"};
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    if (Insecure) {
      SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
      SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
      const bool loaded =
          CaFile.empty() ? SSL_CTX_set_default_verify_paths(ctx.get()) == 1
                         : SSL_CTX_load_verify_locations(ctx.get(), CaFile.c_str(), nullptr) == 1;
      if (!loaded) throw TExit{kExitTls, "cannot load the CA certificates " + CaFile};
    }
    BIO* tls = BIO_new_ssl(ctx.get(), 1);
    if (tls == nullptr) throw TExit{kExitTls, "no TLS session"};
    SSL* ssl = nullptr;
    BIO_get_ssl(tls, &ssl);
    // An address is checked against the certificate's IP names and sent no server name
    // (RFC 6066); a host name is checked against its DNS names.
    const bool literal = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), Url.Host.c_str()) == 1;
    if (!literal) {
      SSL_set_tlsext_host_name(ssl, Url.Host.c_str());
      if (!Insecure) SSL_set1_host(ssl, Url.Host.c_str());
    }
    bio.reset(BIO_push(tls, bio.release()));
    if (BIO_do_handshake(bio.get()) <= 0) {
      char text[256];
      ERR_error_string_n(ERR_get_error(), text, sizeof text);
      throw TExit{kExitTls, "TLS with " + hostPort + " failed: " + text};
    }
  }
  size_t sent = 0;
  while (sent < Request.size()) {
    const int n =
        BIO_write(bio.get(), Request.data() + sent, static_cast<int>(Request.size() - sent));
    if (n <= 0) throw TExit{kExitBrokenAnswer, "the connection broke while sending"};
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buffer[16384];
  for (;;) {
    const int n = BIO_read(bio.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
    if (answer.size() > (64u << 20)) throw TExit{kExitBrokenAnswer, "the answer is too large"};
  }
  const size_t headEnd = answer.find("\r\n\r\n");
  int status = 0;
  if (headEnd == std::string::npos || !answer.starts_with("HTTP/1.") || answer.size() < 12 ||
      (status = std::atoi(answer.substr(9, 3).c_str())) < 100) {
    throw TExit{kExitBrokenAnswer, "no HTTP answer from " + hostPort};
  }
  return {status, answer.substr(headEnd + 4)};
}

int Run(const std::vector<std::string>& Args, std::string& Out, std::string& Err) {
  std::vector<std::string> words;
  std::string tokenFile, caFile;
  bool insecure = false, temporary = false;
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if ((a == "--token-file" || a == "--cacert") && i + 1 < Args.size()) {
      (a == "--token-file" ? tokenFile : caFile) = Args[++i];
    } else if (a == "--insecure") {
      insecure = true;
    } else if (a == "--temporary") {
      temporary = true;
    } else if (a.starts_with("--")) {
      throw TExit{kExitUsage, "unknown option " + a + "\n" + kUsage};
    } else {
      words.push_back(a);
    }
  }
  if (words.size() < 2) throw TExit{kExitUsage, std::string("URL and COMMAND expected\n") + kUsage};
  const std::optional<TUrl> url = ParseUrl(words[0]);
  if (!url) throw TExit{kExitBadUrl, "malformed URL " + words[0]};
  const std::string& command = words[1];
  const auto arg = [&](const char* what) {
    if (words.size() != 3) throw TExit{kExitUsage, command + " takes " + what + "\n" + kUsage};
    return words[2];
  };
  const auto none = [&] {
    if (words.size() != 2) throw TExit{kExitUsage, command + " takes no argument\n" + kUsage};
  };
  std::string method = "GET", path, body;
  const std::string list = temporary ? "temporary" : "permanent";
  if (command == "status") {
    none();
    path = "/api/status";
  } else if (command == "sessions") {
    path = "/api/sessions";
    if (words.size() == 3) {
      path += "?q=" + PercentEncode(words[2]);
    } else {
      none();
    }
  } else if (command == "kick") {
    method = "POST";
    path = "/api/sessions/" + PercentEncode(arg("HANDLE")) + "/kick";
  } else if (command == "block" || command == "unblock") {
    method = command == "block" ? "POST" : "DELETE";
    path = "/api/blocklist";
    body = "{\"address\":" + JsonString(arg("ADDR")) + ",\"list\":\"" + list + "\"}";
  } else if (command == "reload" || command == "drain") {
    none();
    method = "POST";
    path = "/api/" + command;
  } else {
    throw TExit{kExitUsage, "unknown admin command " + command + "\n" + kUsage};
  }
  const std::string token = ReadToken(tokenFile);
  const std::string hostHeader =
      (url->Host.find(':') != std::string::npos ? "[" + url->Host + "]" : url->Host) + ":" +
      url->Port;
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + hostHeader +
                        "\r\nAuthorization: Bearer " + token +
                        "\r\nUser-Agent: gatekit\r\nAccept: application/json\r\nConnection: "
                        "close\r\n";
  if (!body.empty() || method != "GET") {
    request +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  const auto [status, answer] = Exchange(*url, request, caFile, insecure);
  std::string text = answer;
  if (!text.empty() && text.back() != '\n') text += '\n';
  if (status >= 400) {
    Err = "gatekit: HTTP " + std::to_string(status) + ": " + text;
    return kExitHttpError;
  }
  Out = text;
  return kExitOk;
}

}  // namespace

int RunAdminClient(const std::vector<std::string>& Args, std::string& Out, std::string& Err) {
  try {
    return Run(Args, Out, Err);
  } catch (const TExit& e) {
    Err = "gatekit: " + e.Text + (e.Text.ends_with('\n') ? "" : "\n");
    return e.Code;
  }
}

}  // namespace gw
