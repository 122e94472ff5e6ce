#include "console/FrmOnLineHum.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "console/ConsoleErrors.h"
#include "console/ConsolePrompts.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleWidgets.h"
#include "console/OnlineSessions.h"

namespace gw {

const char* const TFrmOnLineHum::kKickReason = "管理员踢下线";

TFrmOnLineHum::TFrmOnLineHum(IOnlineSessions* sessions, TGateIPManager& manager, QWidget* parent)
    : QDialog(parent), FSessions(sessions), FManager(manager) {
  auto* group = new QGroupBox(QString::fromUtf8("在线人物"), this);
  FTable = new QTableWidget(0, 3, group);
  FTable->setHorizontalHeaderLabels(
      {QString::fromUtf8("序号"), QString::fromUtf8("登陆IP地址"), QString::fromUtf8("当前状态")});
  FTable->setColumnWidth(0, 50);
  FTable->setColumnWidth(1, 250);
  FTable->setColumnWidth(2, 150);
  FTable->setShowGrid(true);
  FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  FTable->setSelectionMode(QAbstractItemView::SingleSelection);
  FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FTable->verticalHeader()->setVisible(false);
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addWidget(FTable);

  FButtonRefresh = new QPushButton(QString::fromUtf8("刷新(&R)"), this);
  FButtonKick = new QPushButton(QString::fromUtf8("踢下线(&T)"), this);
  FButtonAddTemp = new QPushButton(QString::fromUtf8("加入动态过滤列表(&A)"), this);
  FButtonAddBlock = new QPushButton(QString::fromUtf8("加入永久过滤列表(&D)"), this);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {FButtonRefresh, FButtonKick, FButtonAddTemp, FButtonAddBlock}) {
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(buttons);
  resize(500, 400);

  connect(FTable, &QTableWidget::currentCellChanged, this,
          [this](int row, int, int, int) { RowSelected(row); });
  connect(FTable, &QTableWidget::cellClicked, this, [this](int row, int) { RowSelected(row); });
  connect(FButtonRefresh, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { RefreshList(); }); });
  connect(FButtonKick, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonKickClick(); }); });
  connect(FButtonAddTemp, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonAddTempClick(); }); });
  connect(FButtonAddBlock, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonAddBlockClick(); }); });

  RefreshList();
}

void TFrmOnLineHum::RefreshList() {
  const std::vector<TOnlineSession> sessions =
      FSessions ? FSessions->ListSessions() : std::vector<TOnlineSession>{};
  {
    const QSignalBlocker blocker(FTable);
    FTable->clearContents();
    FTable->setRowCount(static_cast<int>(sessions.size()));
    for (int row = 0; row < static_cast<int>(sessions.size()); ++row) {
      FTable->setItem(row, 0, new QTableWidgetItem(QString::number(row + 1)));
      FTable->setItem(row, 1, new QTableWidgetItem(ToQt(sessions[row].Address)));
      FTable->setItem(row, 2, new QTableWidgetItem(ToQt(SessionStateText(sessions[row]))));
    }
    FTable->setCurrentCell(-1, -1);
  }
  FRowHandles.clear();
  for (const TOnlineSession& s : sessions) FRowHandles.push_back(s.SessionHandle);
  // The rows changed under any earlier selection: nothing is selected now.
  FSelIPaddr.clear();
  FSelSessionHandle = 0;
  SetActionsEnabled(false);
  setWindowTitle(QString::fromUtf8("在线人物 [%1]").arg(sessions.size()));
}

void TFrmOnLineHum::RowSelected(int row) {
  if (row < 0 || row >= FTable->rowCount() || !FTable->item(row, 1)) return;
  FSelIPaddr = FromQt(FTable->item(row, 1)->text());
  FSelSessionHandle = row < static_cast<int>(FRowHandles.size()) ? FRowHandles[row] : 0;
  SetActionsEnabled(true);
}

void TFrmOnLineHum::SetActionsEnabled(bool enabled) {
  FButtonKick->setEnabled(enabled);
  FButtonAddTemp->setEnabled(enabled);
  FButtonAddBlock->setEnabled(enabled);
}

bool TFrmOnLineHum::Confirm(const char* question) {
  if (FSelIPaddr.empty()) return false;
  return TConsolePrompts::Current().Question(this,
                                             QString::fromUtf8(TConsolePrompts::kConfirmCaption) +
                                                 QString::fromUtf8(" - ") + ToQt(FSelIPaddr),
                                             QString::fromUtf8(question), qbOkCancel);
}

void TFrmOnLineHum::CloseSessionsOfSelected() {
  if (FSessions) FSessions->CloseSessionsOf(FSelIPaddr, kKickReason);
}

void TFrmOnLineHum::ButtonKickClick() {
  if (!Confirm("是否确认将此连接断开？")) return;
  if (FSessions && FSelSessionHandle != 0) FSessions->CloseSession(FSelSessionHandle, kKickReason);
  RefreshList();
}

void TFrmOnLineHum::AddressBlocked() {
  // The address's sessions are closed: the table is filled again, and the address stays
  // selected so it can still go on the other list; only the kick has nothing left to close.
  CloseSessionsOfSelected();
  const std::string address = FSelIPaddr;
  RefreshList();
  FSelIPaddr = address;
  FButtonAddTemp->setEnabled(true);
  FButtonAddBlock->setEnabled(true);
}

void TFrmOnLineHum::ButtonAddTempClick() {
  if (!Confirm(
          "是否确认将此IP加入动态过滤列表中？加入过滤列表后，此IP建立的所有连接将被强行中断。"))
    return;
  FManager.AddTempBlockIP(FSelIPaddr);
  AddressBlocked();
}

void TFrmOnLineHum::ButtonAddBlockClick() {
  if (!Confirm(
          "是否确认将此IP加入永久过滤列表中？加入过滤列表后，此IP建立的所有连接将被强行中断。"))
    return;
  // The process-wide manager writes the permanent list to its file at once.
  FManager.AddBlockIP(FSelIPaddr);
  AddressBlocked();
}

}  // namespace gw
