#include "console/FrmGeneralConfig.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "console/ConsoleErrors.h"
#include "console/ConsolePrompts.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleWidgets.h"

namespace gw {

TFrmGeneralConfig::TFrmGeneralConfig(TGateWayConfigure& config, std::string configFile,
                                     QWidget* parent)
    : QDialog(parent), FConfig(config), FConfigFile(std::move(configFile)) {
  setWindowTitle(QString::fromUtf8("基本设置"));
  auto* tabs = new QTabWidget(this);
  auto* page = new QWidget(tabs);
  auto* form = new QFormLayout(page);
  FEditTitle = new QLineEdit(page);
  FEditGateAddr = new QLineEdit(page);
  FEditGatePort = new QLineEdit(page);
  FEditServerAddr = new QLineEdit(page);
  FEditServerPort = new QLineEdit(page);
  FCheckMinimize = new QCheckBox(QString::fromUtf8("启动成功后最小化"), page);
  SetHint(FEditTitle, "程序标题上显示的名称，此名称只用于显示\n暂时不做其它用途。");
  SetHint(FEditGateAddr,
          "此地址一般默认为 0.0.0.0 ，通常不需要更改。\n如果单机上有多个IP地址时，可设置为本机其\n"
          "中一个IP，以实现同端口不同IP的绑定。");
  SetHint(FEditGatePort,
          "网关对外开放的端口号，此端口标准为 7200，\n此端口可根据自己的要求进行修改。");
  SetHint(FEditServerAddr, "游戏服务器的IP地址，如果是单机运行服务\n器端时，一般就用 127.0.0.1 。");
  SetHint(FEditServerPort,
          "游戏服务器的端口，此端口标准为 5000，\n如果使用的游戏服务器端修改过，则改为\n"
          "相应的端口就行了。");
  form->addRow(QString::fromUtf8("标题:"), FEditTitle);
  {
    // The gateway listens on every interface, whatever this field holds.
    auto* row = new QHBoxLayout;
    row->addWidget(FEditGateAddr);
    row->addWidget(StoredOnlyLabel({FEditGateAddr}, page));
    form->addRow(QString::fromUtf8("网关地址:"), row);
  }
  form->addRow(QString::fromUtf8("网关端口:"), FEditGatePort);
  form->addRow(QString::fromUtf8("服务器地址:"), FEditServerAddr);
  form->addRow(QString::fromUtf8("服务器端口:"), FEditServerPort);
  form->addRow(FCheckMinimize);
  tabs->addTab(page, QString::fromUtf8("基本参数"));

  FButtonOK = new QPushButton(QString::fromUtf8("确定(&O)"), this);
  FButtonOK->setDefault(true);
  SetHint(FButtonOK, "保存当前设置，网络设置于下一次启动\n服务时生效。");
  connect(FButtonOK, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonOKClick(); }); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addWidget(FButtonOK, 0, Qt::AlignRight);

  const TGeneralConfigFields fields = TGeneralConfigModel::Load(FConfig);
  FEditTitle->setText(ToQt(fields.Title));
  FEditGateAddr->setText(ToQt(fields.GateAddr));
  FEditGatePort->setText(ToQt(fields.GatePort));
  FEditServerAddr->setText(ToQt(fields.ServerAddr));
  FEditServerPort->setText(ToQt(fields.ServerPort));
  FCheckMinimize->setChecked(fields.Minimize);
}

QLineEdit* TFrmGeneralConfig::FieldEdit(TGeneralConfigField field) const {
  switch (field) {
    case gfGateAddr:
      return FEditGateAddr;
    case gfGatePort:
      return FEditGatePort;
    case gfServerAddr:
      return FEditServerAddr;
    case gfServerPort:
      return FEditServerPort;
    case gfTitle:
      return FEditTitle;
    case gfNone:
      break;
  }
  return nullptr;
}

void TFrmGeneralConfig::ButtonOKClick() {
  TGeneralConfigFields fields;
  fields.Title = FromQt(FEditTitle->text());
  fields.GateAddr = FromQt(FEditGateAddr->text());
  fields.GatePort = FromQt(FEditGatePort->text());
  fields.ServerAddr = FromQt(FEditServerAddr->text());
  fields.ServerPort = FromQt(FEditServerPort->text());
  fields.Minimize = FCheckMinimize->isChecked();
  const TGeneralConfigCheck check = TGeneralConfigModel::Check(fields);
  if (!check.Ok()) {
    TConsolePrompts::Current().Error(this, ToQt(check.Error));
    if (QLineEdit* edit = FieldEdit(check.Field)) edit->setFocus();
    return;
  }
  TGeneralConfigModel::Store(fields, FConfig);
  SaveConfiguration(FConfig, FConfigFile);
  accept();
}

}  // namespace gw
