#include "console/FrmIPaddrFilter.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "console/ConsoleErrors.h"
#include "console/ConsolePrompts.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleWidgets.h"
#include "console/TextRules.h"

namespace gw {

namespace {
const char* const kAddCaption = "永久IP过滤";
const char* const kAddPrompt = "请输入一个新的IP地址: ";
const char* const kEmptyAddressError = "请输入正确的IP地址！！！";

QLabel* Label(const char* text, QWidget* parent) {
  return new QLabel(QString::fromUtf8(text), parent);
}
}  // namespace

TFrmIPaddrFilter::TFrmIPaddrFilter(TGateWayConfigure& config, TGateIPManager& manager,
                                   std::string configFile,
                                   TIPaddrFilterModel::TBlockedProc onAddressBlocked,
                                   QWidget* parent)
    : QDialog(parent),
      FConfig(config),
      FManager(manager),
      FConfigFile(std::move(configFile)),
      FModel(manager, std::move(onAddressBlocked)) {
  setWindowTitle(QString::fromUtf8("网络安全过滤 - 防CC策略"));
  FPages = new QTabWidget(this);
  FPages->addTab(BuildProtectionPage(), QString::fromUtf8("攻击保护"));
  FPages->addTab(
      BuildListPage(
          FListTemp, FTempMenu,
          "动态过滤列表，在此列表中的IP将无法建立连接，但在程序重新启动时此列表的信息将被清空",
          "加入永久过滤列表(&D)"),
      QString::fromUtf8("动态过滤列表"));
  FPages->addTab(BuildListPage(FListBlock, FBlockMenu,
                               "永久过滤列表，在此列表中的IP将无法建立连接，此列表将保存于配置文件"
                               "中，在程序重新启动时会重新加载此列表",
                               "加入动态过滤列表(&A)"),
                 QString::fromUtf8("永久过滤列表"));
  FPages->setCurrentIndex(0);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FPages);

  connect(FTempMenu.Menu, &QMenu::aboutToShow, this, &TFrmIPaddrFilter::UpdateTempMenu);
  connect(FBlockMenu.Menu, &QMenu::aboutToShow, this, &TFrmIPaddrFilter::UpdateBlockMenu);
  auto guarded = [this](std::function<void()> action) {
    return [this, action] {
      GuardedCall(action);
      ShowLists();
    };
  };
  connect(FTempMenu.Refresh, &QAction::triggered, this, guarded([this] { FModel.RefillTemp(); }));
  connect(FTempMenu.Sort, &QAction::triggered, this, guarded([] {}));
  connect(FTempMenu.Add, &QAction::triggered, this, guarded([this] {
            QString address;
            if (AskAddress(address)) FModel.AddTemp(FromQt(address));
          }));
  connect(FTempMenu.Move, &QAction::triggered, this,
          guarded([this] { FModel.MoveTempToBlock(SelectedRows(FListTemp)); }));
  connect(FTempMenu.Delete, &QAction::triggered, this,
          guarded([this] { FModel.DeleteTemp(SelectedRows(FListTemp)); }));
  connect(FBlockMenu.Refresh, &QAction::triggered, this, guarded([this] { FModel.RefillBlock(); }));
  connect(FBlockMenu.Sort, &QAction::triggered, this, guarded([] {}));
  connect(FBlockMenu.Add, &QAction::triggered, this, guarded([this] {
            QString address;
            if (AskAddress(address)) FModel.AddBlock(FromQt(address));
          }));
  connect(FBlockMenu.Move, &QAction::triggered, this,
          guarded([this] { FModel.MoveBlockToTemp(SelectedRows(FListBlock)); }));
  connect(FBlockMenu.Delete, &QAction::triggered, this,
          guarded([this] { FModel.DeleteBlock(SelectedRows(FListBlock)); }));

  FModel.RefillTemp();
  FModel.RefillBlock();
  ShowLists();
  const TIPaddrFilterFields f = TIPaddrFilterModel::Load(FConfig);
  FSpinMaxConn->setValue(f.MaxConnOfIPaddr);
  if (f.BlockMethod >= 0 && f.BlockMethod < 3) FRadioMethod[f.BlockMethod]->setChecked(true);
  FSpinMaxPacket->setValue(f.MaxClientPacketSize);
  FSpinNomPacket->setValue(f.NomClientPacketSize);
  FSpinMsgCount->setValue(f.MaxClientMsgCount);
  FCheckKickOver->setChecked(f.KickOverPacketSize);
  FSpinClientTimeOut->setValue(f.ClientTimeOut);
  FCheckClearTemp->setChecked(f.ClearTempList);
  FSpinClearTempTime->setValue(f.ClearTempBlockListTime);
  FSpinATKCount->setValue(f.ConnectionATKCount);
  FSpinATKSec->setValue(f.ConnectionATKSec);
}

QWidget* TFrmIPaddrFilter::BuildProtectionPage() {
  auto* page = new QWidget(this);
  using M = TIPaddrFilterModel;
  auto* top = new QGridLayout;
  FSpinMaxConn = MakeSpin(M::kMaxConnRange, false, page);
  SetHint(
      FSpinMaxConn,
      "单个IP最多可以建立的连接数，数量不应该超过可开客户端数量。超过指定连接数将按下面的操作处理");
  FSpinClientTimeOut = MakeSpin(M::kClientTimeOutRange, false, page);
  SetHint(FSpinClientTimeOut, "指定时间内没完成校验则以攻击处理");
  top->addWidget(Label("连接限制:", page), 0, 0);
  top->addWidget(FSpinMaxConn, 0, 1);
  top->addWidget(Label("连接/IP", page), 0, 2);
  top->addWidget(Label("校验超时:", page), 1, 0);
  top->addWidget(FSpinClientTimeOut, 1, 1);
  top->addWidget(Label("毫秒", page), 1, 2);

  auto* attack = new QGroupBox(QString::fromUtf8("攻击操作"), page);
  auto* attackGrid = new QGridLayout(attack);
  auto* methods = new QButtonGroup(attack);
  const char* const methodTexts[3] = {"断开连接", "加入动态过滤列表", "加入永久过滤列表"};
  const char* const methodHints[3] = {"将连接简单的断开处理",
                                      "将此连接的IP加入动态过滤列表，并将此IP的所有连接强行中断",
                                      "将此连接的IP加入永久过滤列表，并将此IP的所有连接强行中断"};
  for (int i = 0; i < 3; ++i) {
    FRadioMethod[i] = new QRadioButton(QString::fromUtf8(methodTexts[i]), attack);
    SetHint(FRadioMethod[i], methodHints[i]);
    methods->addButton(FRadioMethod[i], i);
  }
  FCheckClearTemp = new QCheckBox(attack);
  FSpinClearTempTime = MakeSpin(M::kClearTempTimeRange, false, attack);
  SetHint(FSpinClearTempTime, "秒");
  attackGrid->addWidget(FRadioMethod[0], 0, 0, 1, 3);
  attackGrid->addWidget(FRadioMethod[1], 1, 0, 1, 3);
  attackGrid->addWidget(FCheckClearTemp, 2, 0);
  attackGrid->addWidget(FSpinClearTempTime, 2, 1);
  attackGrid->addWidget(Label("毫秒后取消过滤", attack), 2, 2);
  attackGrid->addWidget(FRadioMethod[2], 3, 0, 1, 3);

  auto* flow = new QGroupBox(QString::fromUtf8("流量控制"), page);
  auto* flowGrid = new QGridLayout(flow);
  FSpinNomPacket = MakeSpin(M::kNomPacketRange, true, flow);
  SetHint(FSpinNomPacket, "接收到的数据信息临界大小，如果超过此大小，将被特殊处理。");
  FSpinMaxPacket = MakeSpin(M::kMaxPacketRange, true, flow);
  SetHint(FSpinMaxPacket, "接收到的数据信息最大限制，如果超过此大小，则被视为攻击。");
  FSpinMsgCount = MakeSpin(M::kMsgCountRange, true, flow);
  SetHint(FSpinMsgCount, "一次接收到数据信息的数量多少，超过指定数量将被视为攻击。");
  FCheckKickOver = new QCheckBox(QString::fromUtf8("数据超限按攻击处理"), flow);
  SetHint(FCheckKickOver, "打开此功能后，如果客户端的发送的数据超过指定限制将会按照攻击处理操作线");
  flowGrid->addWidget(Label("临界大小:", flow), 0, 0);
  flowGrid->addWidget(FSpinNomPacket, 0, 1);
  flowGrid->addWidget(StoredOnlyLabel({FSpinNomPacket}, flow), 0, 2);
  flowGrid->addWidget(Label("最大限制:", flow), 1, 0);
  flowGrid->addWidget(FSpinMaxPacket, 1, 1);
  flowGrid->addWidget(Label("数量限制:", flow), 2, 0);
  flowGrid->addWidget(FSpinMsgCount, 2, 1);
  flowGrid->addWidget(FCheckKickOver, 3, 0, 1, 2);

  auto* flood = new QGroupBox(QString::fromUtf8("连接攻击判定"), page);
  auto* floodGrid = new QGridLayout(flood);
  FSpinATKSec = MakeSpin(M::kAttackRange, true, flood);
  SetHint(FSpinATKSec,
          "同IP判定为攻击的间隔时间,单位秒.例如设置为5 ,则 如果5秒内同一IP连接数量超过\n"
          "连接数量配置的个数。那么被识别为攻击。0表示不限制");
  FSpinATKCount = MakeSpin(M::kAttackRange, true, flood);
  SetHint(FSpinATKCount,
          "在一定时间内(时间判定设定的值) 连接数量超过此设定值 将被识别为攻击 0 表示不限制");
  floodGrid->addWidget(Label("时间判定:", flood), 0, 0);
  floodGrid->addWidget(FSpinATKSec, 0, 1);
  floodGrid->addWidget(Label("连接数量:", flood), 1, 0);
  floodGrid->addWidget(FSpinATKCount, 1, 1);

  auto* note = Label("(*)以上参数调后立即生效", page);
  note->setStyleSheet(QStringLiteral("color: red"));
  FButtonOK = new QPushButton(QString::fromUtf8("确定(&O)"), page);
  FButtonOK->setDefault(true);
  connect(FButtonOK, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonOKClick(); }); });

  auto* groups = new QGridLayout;
  groups->addWidget(attack, 0, 0);
  groups->addWidget(flow, 0, 1);
  groups->addWidget(flood, 1, 1);
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(top);
  layout->addLayout(groups);
  layout->addWidget(note);
  layout->addWidget(FButtonOK, 0, Qt::AlignRight);
  return page;
}

QWidget* TFrmIPaddrFilter::BuildListPage(QListWidget*& list, TListMenu& menu, const char* hint,
                                         const char* move) {
  auto* page = new QWidget(this);
  list = new QListWidget(page);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // The red text is the list's own: a bare "color" would reach its context menu too and make
  // disabled items look enabled.
  list->setStyleSheet(QStringLiteral("QListWidget { color: red; }"));
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  SetHint(list, hint);
  menu.Menu = new QMenu(list);
  menu.Refresh = menu.Menu->addAction(QString::fromUtf8("刷新(&R)"));
  menu.Sort = menu.Menu->addAction(QString::fromUtf8("排序(&S)"));
  menu.Add = menu.Menu->addAction(QString::fromUtf8("增加(&A)"));
  menu.Move = menu.Menu->addAction(QString::fromUtf8(move));
  menu.Delete = menu.Menu->addAction(QString::fromUtf8("删除(&D)"));
  QMenu* popup = menu.Menu;
  connect(list, &QListWidget::customContextMenuRequested, this,
          [list, popup](const QPoint& pos) { popup->popup(list->viewport()->mapToGlobal(pos)); });
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(list);
  return page;
}

void TFrmIPaddrFilter::UpdateTempMenu() {
  FTempMenu.Sort->setEnabled(FListTemp->count() > 0);
  FTempMenu.Move->setEnabled(FListTemp->currentRow() >= 0);
  FTempMenu.Delete->setEnabled(FListTemp->currentRow() >= 0);
}

void TFrmIPaddrFilter::UpdateBlockMenu() {
  FBlockMenu.Sort->setEnabled(FListBlock->count() > 0);
  FBlockMenu.Move->setEnabled(FListBlock->currentRow() >= 0);
  FBlockMenu.Delete->setEnabled(FListBlock->currentRow() >= 0);
}

void TFrmIPaddrFilter::ShowLists() {
  auto fill = [](QListWidget* list, const std::vector<std::string>& entries) {
    if (list->count() == static_cast<int>(entries.size())) {
      bool same = true;
      for (int i = 0; same && i < list->count(); ++i)
        same = FromQt(list->item(i)->text()) == entries[i];
      if (same) return;
    }
    list->clear();
    for (const std::string& e : entries) list->addItem(ToQt(e));
  };
  fill(FListTemp, FModel.TempList());
  fill(FListBlock, FModel.BlockList());
}

std::vector<int> TFrmIPaddrFilter::SelectedRows(const QListWidget* list) {
  std::vector<int> rows;
  for (const QListWidgetItem* item : list->selectedItems()) rows.push_back(list->row(item));
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Any address text is accepted except an empty one, which would block nothing and only
// leave an empty line in the lists.
bool TFrmIPaddrFilter::AskAddress(QString& address) {
  address.clear();
  if (!TConsolePrompts::Current().InputText(this, QString::fromUtf8(kAddCaption),
                                            QString::fromUtf8(kAddPrompt), address))
    return false;
  address = ToQt(TrimText(FromQt(address)));
  if (address.isEmpty()) {
    TConsolePrompts::Current().Error(this, QString::fromUtf8(kEmptyAddressError));
    return false;
  }
  return true;
}

void TFrmIPaddrFilter::ButtonOKClick() {
  TakeTypedValues(this);
  TIPaddrFilterFields f;
  f.MaxConnOfIPaddr = FSpinMaxConn->value();
  f.BlockMethod = -1;
  for (int i = 0; i < 3; ++i)
    if (FRadioMethod[i]->isChecked()) f.BlockMethod = i;
  f.MaxClientPacketSize = FSpinMaxPacket->value();
  f.NomClientPacketSize = FSpinNomPacket->value();
  f.MaxClientMsgCount = FSpinMsgCount->value();
  f.KickOverPacketSize = FCheckKickOver->isChecked();
  f.ClientTimeOut = FSpinClientTimeOut->value();
  f.ClearTempList = FCheckClearTemp->isChecked();
  f.ClearTempBlockListTime = FSpinClearTempTime->value();
  f.ConnectionATKSec = FSpinATKSec->value();
  f.ConnectionATKCount = FSpinATKCount->value();
  TIPaddrFilterModel::Store(f, FConfig);
  SaveConfiguration(FConfig, FConfigFile);
  SetIPLimit(FManager, FConfig);
  accept();
}

}  // namespace gw
