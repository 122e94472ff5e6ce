// The web console's files, built into the program from src/admin/web (and the charting
// library fetched by scripts/setup.sh) by a build step: the console needs no network access
// and no files beside the program at run time.
//
// Thread safety: constant data.
#pragma once

#include <span>
#include <string_view>

namespace gw {

struct TAdminWebFile {
  const char* Path;         // "/index.html", "/app.js", ...
  const char* ContentType;  // with its charset
  std::string_view Body;
};

std::span<const TAdminWebFile> AdminWebFiles();

}  // namespace gw
