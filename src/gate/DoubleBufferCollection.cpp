#include "gate/DoubleBufferCollection.h"

#include <iterator>

namespace gw {

void TDoubleStringList::Append(std::string str, void* obj) {
  std::lock_guard<std::mutex> guard(FLock);
  FAppendList.push_back(TStringListEntry{std::move(str), obj});
}

void TDoubleStringList::Flush() {
  std::vector<TStringListEntry> taken;
  {
    std::lock_guard<std::mutex> guard(FLock);
    taken.swap(FAppendList);
  }
  if (FList.empty()) {
    FList.swap(taken);
  } else {
    FList.insert(FList.end(), std::make_move_iterator(taken.begin()),
                 std::make_move_iterator(taken.end()));
  }
}

}  // namespace gw
