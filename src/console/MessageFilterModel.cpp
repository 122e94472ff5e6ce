#include "console/MessageFilterModel.h"

namespace gw {

const char* const TMessageFilterModel::kEmptyTextError = "请输入正确的文本！！！";

void TMessageFilterModel::Assign(std::vector<std::string> entries) {
  FEntries = std::move(entries);
  FCurrent = -1;
}

void TMessageFilterModel::SetCurrent(int index) {
  FCurrent = (index >= 0 && index < static_cast<int>(FEntries.size())) ? index : -1;
}

bool TMessageFilterModel::Add(const std::string& text) {
  if (text.empty()) return false;
  FEntries.push_back(text);
  return true;
}

bool TMessageFilterModel::Modify(const std::string& text) {
  if (text.empty() || FCurrent < 0) return false;
  FEntries[FCurrent] = text;
  return true;
}

void TMessageFilterModel::Delete() {
  if (FCurrent < 0) return;
  FEntries.erase(FEntries.begin() + FCurrent);
  if (FCurrent >= static_cast<int>(FEntries.size()))
    FCurrent = static_cast<int>(FEntries.size()) - 1;
}

}  // namespace gw
