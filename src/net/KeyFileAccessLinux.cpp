#include "net/KeyFileAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace gw {

std::string KeyFileOpenness(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
  if ((st.st_mode & S_IROTH) != 0) return std::string("mode ") + mode + ": readable by others";
  // Group read for the program's own group is the usual way to hand it a key owned by
  // root (e.g. certbot's files); any other group is other users.
  if ((st.st_mode & S_IRGRP) != 0 && st.st_gid != ::getegid()) {
    return std::string("mode ") + mode + ": readable by group " + std::to_string(st.st_gid);
  }
  return {};
}

}  // namespace gw
