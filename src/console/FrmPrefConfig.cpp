#include "console/FrmPrefConfig.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "console/ConsoleErrors.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleWidgets.h"
#include "console/PrefConfigModel.h"

namespace gw {

TFrmPrefConfig::TFrmPrefConfig(TGateWayConfigure& config, std::string configFile, QWidget* parent)
    : QDialog(parent), FConfig(config), FConfigFile(std::move(configFile)) {
  setWindowTitle(QString::fromUtf8("性能设置"));
  auto* serverGroup = new QGroupBox(QString::fromUtf8("服务器通讯"), this);
  auto* serverGrid = new QGridLayout(serverGroup);
  FSpinTimeOut = MakeSpin(TPrefConfigModel::kTimeOutRange, false, serverGroup);
  SetHint(FSpinTimeOut, "与游戏服务器之间通讯检测超时时间长度");
  FSpinWarningSize = MakeSpin(TPrefConfigModel::kPacketWarningRange, false, serverGroup);
  SetHint(FSpinWarningSize, "单个封包超过此大小提示封包过大 0 表示不提示");
  serverGrid->addWidget(new QLabel(QString::fromUtf8("检测超时:"), serverGroup), 0, 0);
  serverGrid->addWidget(FSpinTimeOut, 0, 1);
  serverGrid->addWidget(new QLabel(QString::fromUtf8("秒"), serverGroup), 0, 2);
  serverGrid->addWidget(new QLabel(QString::fromUtf8("封包报警大小:"), serverGroup), 1, 0);
  serverGrid->addWidget(FSpinWarningSize, 1, 1);
  serverGrid->addWidget(StoredOnlyLabel({FSpinWarningSize}, serverGroup), 1, 2);

  auto* clientGroup = new QGroupBox(QString::fromUtf8("客户端通讯"), this);
  auto* clientGrid = new QGridLayout(clientGroup);
  FSpinBlockSize = MakeSpin(TPrefConfigModel::kBlockSizeRange, false, clientGroup);
  FSpinBlockSize->setEnabled(false);
  SetHint(FSpinBlockSize, "发送给客户端数据包大小");
  clientGrid->addWidget(new QLabel(QString::fromUtf8("数据大小:"), clientGroup), 0, 0);
  clientGrid->addWidget(FSpinBlockSize, 0, 1);
  clientGrid->addWidget(new QLabel(QString::fromUtf8("字节"), clientGroup), 0, 2);
  clientGrid->addWidget(StoredOnlyLabel({FSpinBlockSize}, clientGroup), 0, 3);

  FButtonOK = new QPushButton(QString::fromUtf8("确定(&O)"), this);
  FButtonOK->setDefault(true);
  connect(FButtonOK, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonOKClick(); }); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(serverGroup);
  layout->addWidget(clientGroup);
  layout->addWidget(FButtonOK, 0, Qt::AlignRight);

  const TPrefConfigFields fields = TPrefConfigModel::Load(FConfig);
  FSpinTimeOut->setValue(fields.TimeOutSeconds);
  FSpinWarningSize->setValue(fields.PacketWarningSize);
  FSpinBlockSize->setValue(fields.ClientSendBlockSize);
}

void TFrmPrefConfig::ButtonOKClick() {
  TakeTypedValues(this);
  TPrefConfigFields fields;
  fields.TimeOutSeconds = FSpinTimeOut->value();
  fields.PacketWarningSize = FSpinWarningSize->value();
  fields.ClientSendBlockSize = FSpinBlockSize->value();
  TPrefConfigModel::Store(fields, FConfig);
  SaveConfiguration(FConfig, FConfigFile);
  accept();
}

}  // namespace gw
