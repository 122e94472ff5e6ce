#include "admin/AdminTokens.h"

namespace gw {

// Windows keeps access lists, not permission bits: the file's folder decides who reads it.
std::string TAdminTokens::FileOpenness(const std::string&) { return {}; }

}  // namespace gw
