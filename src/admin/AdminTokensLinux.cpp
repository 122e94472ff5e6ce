#include <sys/stat.h>

#include <cstdio>

#include "admin/AdminTokens.h"

namespace gw {

std::string TAdminTokens::FileOpenness(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  const unsigned mode = st.st_mode & 0777;
  if ((mode & 077) == 0) return {};
  char text[64];
  std::snprintf(text, sizeof text, "mode %04o: readable by %s", mode,
                (mode & 007) != 0 ? "others" : "its group");
  return text;
}

}  // namespace gw
