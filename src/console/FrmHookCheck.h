// The speed-hack control dialog ("外挂控制"). It lives for the whole run and is refilled from
// the configuration at every opening. Decisions (save-button state, defaults, what is stored)
// live in THookCheckModel. User-interface thread only.
#pragma once

#include <QDialog>
#include <string>

#include "console/HookCheckModel.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace gw {

class TFrmHookCheck : public QDialog {
  Q_OBJECT

 public:
  TFrmHookCheck(TGateWayConfigure& config, std::string configFile, QWidget* parent = nullptr);

  // Refills every control from the configuration and disables the save button.
  void Open();

  const THookCheckModel& Model() const { return FModel; }
  QCheckBox* CheckWalk() const { return FCheckWalk; }
  QCheckBox* CheckRun() const { return FCheckRun; }
  QCheckBox* CheckHit() const { return FCheckHit; }
  QCheckBox* CheckSpell() const { return FCheckSpell; }
  QCheckBox* CheckWarning() const { return FCheckWarning; }
  QSpinBox* SpinInc() const { return FSpinInc; }
  QSpinBox* SpinDec() const { return FSpinDec; }
  QLineEdit* EditErrMsg() const { return FEditErrMsg; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  QPushButton* ButtonDefault() const { return FButtonDefault; }
  QPushButton* ButtonClose() const { return FButtonClose; }

 private:
  class TTypedLengthLimit;
  void ShowModel();
  void FieldChanged(bool enablesSave);
  void ButtonSaveClick();

  TGateWayConfigure& FConfig;
  std::string FConfigFile;
  THookCheckModel FModel;
  QCheckBox* FCheckWalk;
  QCheckBox* FCheckRun;
  QCheckBox* FCheckHit;
  QCheckBox* FCheckSpell;
  QCheckBox* FCheckWarning;
  QComboBox* FComboWarnKind;
  QSpinBox* FSpinInc;
  QSpinBox* FSpinDec;
  QLineEdit* FEditErrMsg;
  TTypedLengthLimit* FErrMsgLimit;
  QPushButton* FButtonSave;
  QPushButton* FButtonDefault;
  QPushButton* FButtonClose;
  bool FShowing = false;
};

}  // namespace gw
