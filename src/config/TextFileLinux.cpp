#include "config/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gw {

namespace {

std::string FileError(const char* what, const std::string& file, int err) {
  return std::string(what) + " \"" + file + "\": " + std::strerror(err);
}

// Closes the descriptor when the scope ends.
class TFileDescriptor {
 public:
  explicit TFileDescriptor(int fd) : FFd(fd) {}
  ~TFileDescriptor() {
    if (FFd >= 0) ::close(FFd);
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  int Get() const { return FFd; }
  // Closes now and reports whether the close succeeded (a late write error shows up here).
  bool Close() {
    int fd = FFd;
    FFd = -1;
    return ::close(fd) == 0;
  }

 private:
  int FFd;
};

}  // namespace

bool FileExists(const std::string& FileName) {
  struct stat st {};
  return ::stat(FileName.c_str(), &st) == 0;
}

std::string ReadSettingsFile(const std::string& FileName) {
  TFileDescriptor fd(::open(FileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw ESettingsFileError(FileError("Cannot open file", FileName, errno));
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0)
    throw ESettingsFileError(FileError("Cannot read file", FileName, errno));
  if (S_ISDIR(st.st_mode))
    throw ESettingsFileError(FileError("Cannot read file", FileName, EISDIR));
  auto tooLarge = [&](uint64_t size) {
    CountLimitBreach(TLimitBreach::lbSettingsFileTooLarge);
    return ESettingsFileError("Cannot read file \"" + FileName + "\": it holds " +
                              std::to_string(size) + " bytes, more than the " +
                              std::to_string(kMaxSettingsFileSize) +
                              " bytes a settings or list file may hold");
  };
  // Refused before reading a byte; a file that grows while it is read is caught below.
  if (static_cast<uint64_t>(st.st_size) > kMaxSettingsFileSize)
    throw tooLarge(static_cast<uint64_t>(st.st_size));
  std::string bytes;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ESettingsFileError(FileError("Cannot read file", FileName, errno));
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > kMaxSettingsFileSize)
      throw tooLarge(bytes.size() + static_cast<size_t>(n));
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

void WriteSettingsFile(const std::string& FileName, std::string_view Bytes) {
  const size_t slash = FileName.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : FileName.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
  // A hidden name in the same folder, so the rename stays within one file system.
  std::string temp = folder + (folder.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
  TFileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.Get() < 0) throw ESettingsFileError(FileError("Cannot create file", FileName, errno));
  // Until the rename succeeds the new bytes live only in the temporary file: any failure
  // removes it and leaves the old file as it was.
  auto fail = [&](int err) {
    ::unlink(temp.c_str());
    throw ESettingsFileError(FileError("Cannot write file", FileName, err));
  };
  struct stat old {};
  const mode_t mode = ::stat(FileName.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  if (::fchmod(fd.Get(), mode) != 0) fail(errno);
  while (!Bytes.empty()) {
    ssize_t n = ::write(fd.Get(), Bytes.data(), Bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    Bytes.remove_prefix(static_cast<size_t>(n));
  }
  if (::fsync(fd.Get()) != 0) fail(errno);
  if (!fd.Close()) fail(errno);
  if (::rename(temp.c_str(), FileName.c_str()) != 0) fail(errno);
  // The rename itself reaches the disk with the folder's entry.
  TFileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) ::fsync(dir.Get());
}

}  // namespace gw
