#include "net/HttpRequest.h"
#include "common/PeerLimits.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gw {

namespace {

constexpr size_t kMethodCheckSize = 8;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

// One decimal number, or a list of the same number (repeated fields, RFC 9112 §6.3).
bool ReadContentLength(const std::string& list, int64_t& out) {
  constexpr size_t kMaxDigits = 18;  // fits in int64_t
  std::string first;
  size_t pos = 0;
  for (;;) {
    size_t end = list.find(',', pos);
    if (end == std::string::npos) end = list.size();
    size_t b = pos, e = end;
    while (b < e && (list[b] == ' ' || list[b] == '\t')) ++b;
    while (e > b && (list[e - 1] == ' ' || list[e - 1] == '\t')) --e;
    std::string item = list.substr(b, e - b);
    if (item.empty() || item.size() > kMaxDigits) return false;
    for (char c : item) {
      if (c < '0' || c > '9') return false;
    }
    if (first.empty()) {
      first = item;
    } else if (std::strtoll(item.c_str(), nullptr, 10) !=
               std::strtoll(first.c_str(), nullptr, 10)) {
      return false;
    }
    if (end == list.size()) break;
    pos = end + 1;
  }
  out = std::strtoll(first.c_str(), nullptr, 10);
  return true;
}

}  // namespace

bool HasToken(const std::string& list, const char* token) {
  size_t n = std::strlen(token);
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(',', pos);
    if (end == std::string::npos) end = list.size();
    size_t b = pos, e = end;
    while (b < e && (list[b] == ' ' || list[b] == '\t')) ++b;
    while (e > b && (list[e - 1] == ' ' || list[e - 1] == '\t')) --e;
    if (e - b == n && strncasecmp(list.data() + b, token, n) == 0) return true;
    pos = end + 1;
  }
  return false;
}

const char* const THttpRequest::kMethodTags[16] = {
    "GET",   "POST", "PUT",  "DELETE", "HEAD",  "OPTIONS", "TRACE",  "CONNECT",
    "PATCH", "COPY", "LINK", "UNLINK", "PURGE", "LOCK",    "UNLOCK", "PROPFIND",
};

const std::string* THttpHeader::Find(const std::string& name) const {
  for (const auto& field : FFields) {
    if (field.first.size() == name.size() &&
        strncasecmp(field.first.data(), name.data(), name.size()) == 0) {
      return &field.second;
    }
  }
  return nullptr;
}

std::string THttpHeader::Value(const std::string& name) const {
  const std::string* v = Find(name);
  return v ? *v : std::string();
}

std::string THttpHeader::Joined(const std::string& name) const {
  std::string out;
  bool first = true;
  for (const auto& field : FFields) {
    if (field.first.size() == name.size() &&
        strncasecmp(field.first.data(), name.data(), name.size()) == 0) {
      if (!first) out += ", ";
      out += field.second;
      first = false;
    }
  }
  return out;
}

void THttpHeader::Set(const std::string& name, const std::string& value) {
  for (auto& field : FFields) {
    if (field.first.size() == name.size() &&
        strncasecmp(field.first.data(), name.data(), name.size()) == 0) {
      field.second = value;
      return;
    }
  }
  FFields.emplace_back(name, value);
}

void THttpRequest::Reset() {
  FParseState = psHeader;
  FCRCount = FLFCount = 0;
  FRawRequest.clear();
  FMethod.clear();
  FRawPathAndParams.clear();
  FRawPath.clear();
  FRawParamsText.clear();
  FPath.clear();
  FVersion.clear();
  FRequestCmdLine.clear();
  FHttpVerNum = 11;
  FKeepAlive = false;
  FChunked = false;
  FHeader.Clear();
  FRequestConnection.clear();
  FContentLength = -1;
  FPostDataSize = 0;
  FBody.clear();
  FChunkLeftSize = 0;
  FChunkSizeLine.clear();
  FInTrailer = false;
  FHeaderError = nullptr;
  FChunkLineTooLong = false;
}

bool THttpRequest::DecodeRequestHead() {
  const std::string& raw = FRawRequest;
  // The request line ends at the first CR or LF, which must be a CR LF pair: a bare
  // one would let the line's text run into what follows it.
  size_t lineEnd = raw.find_first_of("\r\n");
  if (lineEnd == std::string::npos || raw.compare(lineEnd, 2, "\r\n") != 0) return false;
  FRequestCmdLine = raw.substr(0, lineEnd);
  size_t sp1 = FRequestCmdLine.find(' ');
  FMethod = FRequestCmdLine.substr(0, sp1);
  if (sp1 != std::string::npos) {
    size_t sp2 = FRequestCmdLine.find(' ', sp1 + 1);
    FRawPathAndParams = FRequestCmdLine.substr(
        sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
    if (sp2 != std::string::npos) FVersion = FRequestCmdLine.substr(sp2 + 1);
  }
  if (FVersion.empty()) FVersion = "HTTP/1.0";
  if (FVersion != "HTTP/1.0" && FVersion != "HTTP/1.1") {
    FVersion.clear();  // a reply names its own version, never this text
    return false;
  }
  FHttpVerNum = FVersion == "HTTP/1.0" ? 10 : 11;
  size_t q = FRawPathAndParams.find('?');
  FRawPath = FRawPathAndParams.substr(0, q);
  FRawParamsText = q == std::string::npos ? std::string() : FRawPathAndParams.substr(q + 1);
  FPath = PercentDecode(FRawPath);

  // Header fields: name up to the first ':', then every ':', blank and tab skipped, the
  // value up to the end of the line less trailing blanks and tabs. CR and LF bytes
  // between fields are skipped. Each line is looked at once: linear in the header size.
  size_t pos = lineEnd;
  while (pos < raw.size()) {
    while (pos < raw.size() && (raw[pos] == '\r' || raw[pos] == '\n')) ++pos;
    if (pos >= raw.size()) break;
    size_t end = raw.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = raw.size();
    const void* colonAt = std::memchr(raw.data() + pos, ':', end - pos);
    if (colonAt != nullptr) {
      size_t colon = static_cast<size_t>(static_cast<const char*>(colonAt) - raw.data());
      // "Host : x" may be read as another field name by whatever stands in front.
      if (colon > pos && (raw[colon - 1] == ' ' || raw[colon - 1] == '\t')) {
        FHeaderError = "Whitespace before a header field's colon.";
        return false;
      }
      size_t v = colon;
      while (v < end && (raw[v] == ':' || raw[v] == ' ' || raw[v] == '\t')) ++v;
      size_t e = end;
      while (e > v && (raw[e - 1] == ' ' || raw[e - 1] == '\t')) --e;
      FHeader.Add(raw.substr(pos, colon - pos), raw.substr(v, e - v));
    }
    pos = end;
  }

  FRequestConnection = FHeader.Joined("Connection");
  bool close = HasToken(FRequestConnection, "close");
  FKeepAlive = FHttpVerNum == 10 ? HasToken(FRequestConnection, "keep-alive") && !close : !close;
  FContentLength = -1;
  if (FHeader.Find("Content-Length") != nullptr) {
    if (FHeader.Find("Transfer-Encoding") != nullptr) {
      FHeaderError = "Content-Length and Transfer-Encoding together.";
      return false;
    }
    if (!ReadContentLength(FHeader.Joined("Content-Length"), FContentLength)) {
      FHeaderError = "Content-Length invalid.";
      return false;
    }
  }
  FChunked = Lower(FHeader.Joined("Transfer-Encoding")).find("chunked") != std::string::npos;
  return true;
}

THttpParseResult THttpRequest::StartBody() {
  if (FMaxPostDataSize > 0 && FContentLength > 0 &&
      static_cast<uint64_t>(FContentLength) > FMaxPostDataSize) {
    return hprPostDataTooLarge;
  }
  if (FChunked) {
    FParseState = psChunkSize;
  } else if (FContentLength > 0) {
    FParseState = psPostData;
  } else {
    FParseState = psDone;
    return hprDone;
  }
  return hprNeedMore;
}

THttpParseResult THttpRequest::HeaderByte(uint8_t byte) {
  if (byte == '\n') {
    ++FLFCount;
  } else if (byte == '\r') {
    ++FCRCount;
  } else {
    FCRCount = FLFCount = 0;
  }
  if (FMaxHeaderSize > 0 && FRawRequest.size() + 1 > FMaxHeaderSize) return hprHeaderTooLarge;
  FRawRequest.push_back(static_cast<char>(byte));
  if (FRawRequest.size() == kMethodCheckSize) {
    bool known = false;
    for (const char* tag : kMethodTags) {
      if (std::strncmp(FRawRequest.data(), tag, std::strlen(tag)) == 0) {
        known = true;
        break;
      }
    }
    if (!known) return hprMethodInvalid;
  }
  if (FCRCount == 2 && FLFCount == 2) {
    FCRCount = FLFCount = 0;
    if (!DecodeRequestHead()) return FHeaderError != nullptr ? hprBadHeader : hprBadRequestLine;
    return StartBody();
  }
  return hprNeedMore;
}

THttpParseResult THttpRequest::Parse(const uint8_t* data, size_t size, size_t& consumed) {
  if (FParseState == psDone) Reset();
  size_t pos = 0;
  THttpParseResult result = hprNeedMore;
  while (pos < size && result == hprNeedMore) {
    switch (FParseState) {
      case psHeader:
        result = HeaderByte(data[pos]);
        if (result != hprHeaderTooLarge) ++pos;
        break;
      case psPostData: {
        uint64_t left = static_cast<uint64_t>(FContentLength) - FPostDataSize;
        size_t take = static_cast<size_t>(std::min<uint64_t>(left, size - pos));
        if (FMaxPostDataSize > 0) FBody.append(reinterpret_cast<const char*>(data + pos), take);
        FPostDataSize += take;
        pos += take;
        if (FPostDataSize == static_cast<uint64_t>(FContentLength)) {
          FParseState = psDone;
          result = hprDone;
        }
        break;
      }
      case psChunkSize: {
        char c = static_cast<char>(data[pos++]);
        if (c != '\n') {
          if (FChunkSizeLine.size() >= limits::kMaxHttpChunkLine) {
            FChunkLineTooLong = true;
            return consumed = pos, hprBadChunk;
          }
          if (c != '\r') FChunkSizeLine += c;
          break;
        }
        std::string digits = FChunkSizeLine.substr(0, FChunkSizeLine.find(';'));
        while (!digits.empty() && digits.back() == ' ') digits.pop_back();
        FChunkSizeLine.clear();
        if (digits.empty() || digits.size() > 15) return consumed = pos, hprBadChunk;
        uint64_t n = 0;
        for (char d : digits) {
          int h = HexDigit(d);
          if (h < 0) return consumed = pos, hprBadChunk;
          n = n * 16 + static_cast<uint64_t>(h);
        }
        if (FMaxPostDataSize > 0 && FPostDataSize + n > FMaxPostDataSize) {
          result = hprPostDataTooLarge;
          break;
        }
        FChunkLeftSize = n;
        FInTrailer = n == 0;
        FParseState = n == 0 ? psChunkEnd : psChunkData;
        break;
      }
      case psChunkData: {
        size_t take = static_cast<size_t>(std::min<uint64_t>(FChunkLeftSize, size - pos));
        FChunkLeftSize -= take;
        if (FMaxPostDataSize > 0) FBody.append(reinterpret_cast<const char*>(data + pos), take);
        FPostDataSize += take;
        pos += take;
        if (FChunkLeftSize == 0) FParseState = psChunkEnd;
        break;
      }
      case psChunkEnd: {
        // After a chunk: the rest of its line. After the last chunk: trailer lines up
        // to an empty one.
        char c = static_cast<char>(data[pos++]);
        if (c == '\r') break;
        if (c != '\n') {
          if (FChunkSizeLine.size() >= limits::kMaxHttpChunkLine) {
            FChunkLineTooLong = true;
            return consumed = pos, hprBadChunk;
          }
          FChunkSizeLine += c;
          break;
        }
        bool emptyLine = FChunkSizeLine.empty();
        FChunkSizeLine.clear();
        if (!FInTrailer) {
          FParseState = psChunkSize;
        } else if (emptyLine) {
          FParseState = psDone;
          result = hprDone;
        }
        break;
      }
      case psDone:
        result = hprDone;
        break;
    }
  }
  consumed = pos;
  return result;
}

}  // namespace gw
