// The message filter dialog's working copy of the word list: its entries, the current entry and
// what add, modify and delete do to them. The dialog copies the word list in on opening and
// hands the entries back on "确定(&O)". No widget involved; used on the user-interface thread.
#pragma once

#include <string>
#include <vector>

namespace gw {

class TMessageFilterModel {
 public:
  static const char* const kEmptyTextError;  // "请输入正确的文本！！！"

  void Assign(std::vector<std::string> entries);
  const std::vector<std::string>& Entries() const { return FEntries; }

  // -1 when no entry is current.
  int Current() const { return FCurrent; }
  void SetCurrent(int index);
  // "删除(&D)" and "修改(&M)" are enabled exactly when an entry is current.
  bool CanEdit() const { return FCurrent >= 0; }

  // Appends `text`; false (nothing changes) for the empty text.
  bool Add(const std::string& text);
  // Replaces the current entry; false for the empty text or without a current entry.
  bool Modify(const std::string& text);
  // Deletes the current entry; the entry now at its position becomes current, or the new
  // last one when the deleted entry was last; none when the list is empty.
  void Delete();

 private:
  std::vector<std::string> FEntries;
  int FCurrent = -1;
};

}  // namespace gw
