// The online users window ("在线人物"): lists the live sessions (running number, address,
// state), kicks the selected session (by its handle: other players behind the same address
// stay) and puts the selected address on either block list, which also closes that address's
// sessions. Modal, created for each opening.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>
#include <vector>

class QPushButton;
class QTableWidget;

namespace gw {

class IOnlineSessions;
class TGateIPManager;

class TFrmOnLineHum : public QDialog {
  Q_OBJECT

 public:
  static const char* const kKickReason;

  // `sessions` may be null (no service yet): the table stays empty.
  TFrmOnLineHum(IOnlineSessions* sessions, TGateIPManager& manager, QWidget* parent = nullptr);

  // Fills the table from the live sessions and shows the row count in the caption.
  void RefreshList();

  const std::string& SelIPaddr() const { return FSelIPaddr; }
  // The selected row's session handle; 0 when no row is selected.
  uint32_t SelSessionHandle() const { return FSelSessionHandle; }
  QTableWidget* Table() const { return FTable; }
  QPushButton* ButtonRefresh() const { return FButtonRefresh; }
  QPushButton* ButtonKick() const { return FButtonKick; }
  QPushButton* ButtonAddTemp() const { return FButtonAddTemp; }
  QPushButton* ButtonAddBlock() const { return FButtonAddBlock; }

 private:
  void RowSelected(int row);
  void SetActionsEnabled(bool enabled);
  bool Confirm(const char* question);
  void ButtonKickClick();
  void ButtonAddTempClick();
  void ButtonAddBlockClick();
  void CloseSessionsOfSelected();
  void AddressBlocked();

  IOnlineSessions* FSessions;
  TGateIPManager& FManager;
  std::string FSelIPaddr;
  uint32_t FSelSessionHandle = 0;
  std::vector<uint32_t> FRowHandles;  // the session handle of each row
  QTableWidget* FTable;
  QPushButton* FButtonRefresh;
  QPushButton* FButtonKick;
  QPushButton* FButtonAddTemp;
  QPushButton* FButtonAddBlock;
};

}  // namespace gw
