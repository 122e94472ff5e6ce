// The general settings dialog ("基本设置"): title, gateway and server addresses and ports, and
// the minimise flag. Decisions live in TGeneralConfigModel; this class binds the fields.
// Created fresh for each opening. User-interface thread only.
#pragma once

#include <QDialog>

#include "console/GeneralConfigModel.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace gw {

class TFrmGeneralConfig : public QDialog {
  Q_OBJECT

 public:
  // `configFile` is where the configuration is saved on "确定(&O)".
  TFrmGeneralConfig(TGateWayConfigure& config, std::string configFile, QWidget* parent = nullptr);

  QLineEdit* EditTitle() const { return FEditTitle; }
  QLineEdit* EditGateAddr() const { return FEditGateAddr; }
  QLineEdit* EditGatePort() const { return FEditGatePort; }
  QLineEdit* EditServerAddr() const { return FEditServerAddr; }
  QLineEdit* EditServerPort() const { return FEditServerPort; }
  QCheckBox* CheckMinimize() const { return FCheckMinimize; }
  QPushButton* ButtonOK() const { return FButtonOK; }

 private:
  void ButtonOKClick();
  QLineEdit* FieldEdit(TGeneralConfigField field) const;

  TGateWayConfigure& FConfig;
  std::string FConfigFile;
  QLineEdit* FEditTitle;
  QLineEdit* FEditGateAddr;
  QLineEdit* FEditGatePort;
  QLineEdit* FEditServerAddr;
  QLineEdit* FEditServerPort;
  QCheckBox* FCheckMinimize;
  QPushButton* FButtonOK;
};

}  // namespace gw
