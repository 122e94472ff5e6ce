// The IP filter dialog ("网络安全过滤 - 防CC策略"): the protection settings page and the
// temporary and permanent block list pages with their context menus. Decisions, and the
// commands on the IP manager, live in TIPaddrFilterModel. Created fresh for each opening.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <string>

#include "console/IPaddrFilterModel.h"

class QAction;
class QCheckBox;
class QListWidget;
class QMenu;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace gw {

class TFrmIPaddrFilter : public QDialog {
  Q_OBJECT

 public:
  // The actions of one list page's context menu.
  struct TListMenu {
    QMenu* Menu = nullptr;
    QAction* Refresh = nullptr;
    QAction* Sort = nullptr;
    QAction* Add = nullptr;
    QAction* Move = nullptr;
    QAction* Delete = nullptr;
  };

  // `onAddressBlocked` runs for every address put on either block list from this dialog.
  TFrmIPaddrFilter(TGateWayConfigure& config, TGateIPManager& manager, std::string configFile,
                   TIPaddrFilterModel::TBlockedProc onAddressBlocked, QWidget* parent = nullptr);

  // Sets the enabled state of a list's menu items as the menu does when it opens.
  void UpdateTempMenu();
  void UpdateBlockMenu();

  QTabWidget* Pages() const { return FPages; }
  QSpinBox* SpinMaxConn() const { return FSpinMaxConn; }
  QSpinBox* SpinClientTimeOut() const { return FSpinClientTimeOut; }
  QSpinBox* SpinClearTempTime() const { return FSpinClearTempTime; }
  QSpinBox* SpinNomPacket() const { return FSpinNomPacket; }
  QSpinBox* SpinMaxPacket() const { return FSpinMaxPacket; }
  QSpinBox* SpinMsgCount() const { return FSpinMsgCount; }
  QSpinBox* SpinATKSec() const { return FSpinATKSec; }
  QSpinBox* SpinATKCount() const { return FSpinATKCount; }
  QRadioButton* RadioMethod(int method) const { return FRadioMethod[method]; }
  QCheckBox* CheckClearTemp() const { return FCheckClearTemp; }
  QCheckBox* CheckKickOver() const { return FCheckKickOver; }
  QPushButton* ButtonOK() const { return FButtonOK; }
  QListWidget* ListTemp() const { return FListTemp; }
  QListWidget* ListBlock() const { return FListBlock; }
  const TListMenu& TempMenu() const { return FTempMenu; }
  const TListMenu& BlockMenu() const { return FBlockMenu; }

 private:
  QWidget* BuildProtectionPage();
  QWidget* BuildListPage(QListWidget*& list, TListMenu& menu, const char* hint, const char* move);
  void ShowLists();
  static std::vector<int> SelectedRows(const QListWidget* list);
  bool AskAddress(QString& address);
  void ButtonOKClick();

  TGateWayConfigure& FConfig;
  TGateIPManager& FManager;
  std::string FConfigFile;
  TIPaddrFilterModel FModel;
  QTabWidget* FPages;
  QSpinBox* FSpinMaxConn;
  QSpinBox* FSpinClientTimeOut;
  QSpinBox* FSpinClearTempTime;
  QSpinBox* FSpinNomPacket;
  QSpinBox* FSpinMaxPacket;
  QSpinBox* FSpinMsgCount;
  QSpinBox* FSpinATKSec;
  QSpinBox* FSpinATKCount;
  QRadioButton* FRadioMethod[3];
  QCheckBox* FCheckClearTemp;
  QCheckBox* FCheckKickOver;
  QPushButton* FButtonOK;
  QListWidget* FListTemp;
  QListWidget* FListBlock;
  TListMenu FTempMenu;
  TListMenu FBlockMenu;
};

}  // namespace gw
