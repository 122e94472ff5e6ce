// THttpRequest: reads one HTTP/1.x request from the bytes of a connection: the
// request line and header fields (the header ends where two CR and two LF bytes have
// been seen with no other byte between them), then a body by Content-Length or
// chunked coding, which is counted and skipped, unless a bound on its size is set: then
// it is kept (see Body), since it can take no more memory than that bound. Pure: bytes
// in, a parsed request out, no sockets.
//
// The request line must end in CR LF and name HTTP/1.0 or HTTP/1.1 (none at all counts
// as HTTP/1.0), so nothing of it can reach a reply's status line. Field values lose
// the blanks and tabs around them; repeated fields are all kept (see Joined).
//
// Headers that two parsers could read as two different requests are refused (RFC 9112
// §5.1, §6.1, §6.3): blanks between a field name and its colon, Content-Length together
// with Transfer-Encoding, a Content-Length that is not one decimal number (repeated
// fields must agree). The reply to such a request ends the connection.
//
// Thread safety: none; one request object belongs to one connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace gw {

enum THttpParseState : uint8_t {
  psHeader,
  psPostData,
  psChunkSize,
  psChunkData,
  psChunkEnd,
  psDone,
};

enum THttpParseResult : uint8_t {
  hprNeedMore,          // every byte consumed, the request is not complete yet
  hprDone,              // a request is complete (bytes after it were not consumed)
  hprHeaderTooLarge,    // "Request header too large."
  hprMethodInvalid,     // "Request method invalid."
  hprPostDataTooLarge,  // "Post data too large."
  hprBadChunk,          // a chunk size that is not hexadecimal
  hprBadRequestLine,    // "Request line invalid." (a bare CR or LF, or an unknown version)
  hprBadHeader,         // a header that frames the request ambiguously (see HeaderError)
};

// Header fields in the order they were set; lookup ignores letter case, first match wins.
class THttpHeader {
 public:
  const std::string* Find(const std::string& name) const;
  std::string Value(const std::string& name) const;
  // Every value of a field that may be repeated, joined as one list with ", " (the
  // same meaning as one field holding the list, RFC 9110 5.3).
  std::string Joined(const std::string& name) const;
  // Replaces the value of an existing field, otherwise appends the field (for the
  // few fields of a reply).
  void Set(const std::string& name, const std::string& value);
  // Appends a field as received, in constant time (a request may carry thousands).
  void Add(std::string name, std::string value) {
    FFields.emplace_back(std::move(name), std::move(value));
  }
  void Clear() { std::vector<std::pair<std::string, std::string>>().swap(FFields); }
  const std::vector<std::pair<std::string, std::string>>& Fields() const { return FFields; }

 private:
  std::vector<std::pair<std::string, std::string>> FFields;
};

// True when the comma-separated `list` holds `token` (ignoring case and the blanks
// around each item).
bool HasToken(const std::string& list, const char* token);

class THttpRequest {
 public:
  // The 16 request methods accepted, in the order they are tried.
  static const char* const kMethodTags[16];

  // maxHeaderSize / maxPostDataSize: 0 means no limit.
  THttpRequest(size_t maxHeaderSize, uint64_t maxPostDataSize)
      : FMaxHeaderSize(maxHeaderSize), FMaxPostDataSize(maxPostDataSize) {}

  // Parses from `data`; `consumed` receives the bytes used. On hprDone the request's
  // fields are valid until the next Parse, which starts a new request.
  THttpParseResult Parse(const uint8_t* data, size_t size, size_t& consumed);
  void Reset();

  THttpParseState ParseState() const { return FParseState; }
  const std::string& Method() const { return FMethod; }
  const std::string& RawPathAndParams() const { return FRawPathAndParams; }
  const std::string& Path() const { return FPath; }  // percent-decoded
  const std::string& Version() const { return FVersion; }
  int HttpVerNum() const { return FHttpVerNum; }
  bool KeepAlive() const { return FKeepAlive; }
  const THttpHeader& Header() const { return FHeader; }
  const std::string& RequestConnection() const { return FRequestConnection; }
  int64_t ContentLength() const { return FContentLength; }
  uint64_t PostDataSize() const { return FPostDataSize; }
  // The body as received (chunks joined); empty unless a maxPostDataSize was given.
  const std::string& Body() const { return FBody; }
  // After hprBadHeader: the reply's text, e.g. "Content-Length invalid."
  const char* HeaderError() const { return FHeaderError; }
  // After hprBadChunk: whether the chunk-size line passed limits::kMaxHttpChunkLine.
  bool ChunkLineTooLong() const { return FChunkLineTooLong; }

 private:
  THttpParseResult HeaderByte(uint8_t byte);
  bool DecodeRequestHead();  // false: the request line is malformed
  THttpParseResult StartBody();

  const size_t FMaxHeaderSize;
  const uint64_t FMaxPostDataSize;
  THttpParseState FParseState = psHeader;
  uint8_t FCRCount = 0;
  uint8_t FLFCount = 0;
  std::string FRawRequest;
  std::string FMethod, FRawPathAndParams, FRawPath, FRawParamsText, FPath, FVersion;
  std::string FRequestCmdLine;
  int FHttpVerNum = 11;
  bool FKeepAlive = false;
  bool FChunked = false;
  THttpHeader FHeader;
  std::string FRequestConnection;
  int64_t FContentLength = -1;
  uint64_t FPostDataSize = 0;
  std::string FBody;  // kept only under a size bound
  uint64_t FChunkLeftSize = 0;
  std::string FChunkSizeLine;
  bool FInTrailer = false;             // after the last chunk: trailer lines up to an empty line
  const char* FHeaderError = nullptr;  // why the head was refused (hprBadHeader)
  bool FChunkLineTooLong = false;      // why a chunk was refused (hprBadChunk)
};

}  // namespace gw
