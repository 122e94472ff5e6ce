// The message filter dialog ("消息文字过滤设置"): edits a copy of the chat word list and, on
// "确定(&O)", replaces the word list under its lock and saves it. It lives for the whole run and
// is refilled from the word list at every opening. Decisions live in TMessageFilterModel.
// User-interface thread only.
#pragma once

#include <QDialog>

#include "console/MessageFilterModel.h"

class QListWidget;
class QPushButton;

namespace gw {

class TFrmMessageFilterConfig : public QDialog {
  Q_OBJECT

 public:
  explicit TFrmMessageFilterConfig(QWidget* parent = nullptr);

  // Copies the word list into the dialog and disables "删除(&D)" and "修改(&M)".
  void Open();

  const TMessageFilterModel& Model() const { return FModel; }
  QListWidget* ListWords() const { return FListWords; }
  QPushButton* ButtonAdd() const { return FButtonAdd; }
  QPushButton* ButtonDelete() const { return FButtonDelete; }
  QPushButton* ButtonModify() const { return FButtonModify; }
  QPushButton* ButtonOK() const { return FButtonOK; }

 private:
  void ShowModel();
  void ButtonAddClick();
  void ButtonModifyClick();
  void ButtonDeleteClick();
  void ButtonOKClick();

  TMessageFilterModel FModel;
  QListWidget* FListWords;
  QPushButton* FButtonAdd;
  QPushButton* FButtonDelete;
  QPushButton* FButtonModify;
  QPushButton* FButtonOK;
};

}  // namespace gw
