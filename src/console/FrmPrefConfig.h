// The performance dialog ("性能设置"): server check time-out in seconds, packet warning size and
// the fixed client block size. Decisions live in TPrefConfigModel. Created fresh for each
// opening. User-interface thread only.
#pragma once

#include <QDialog>
#include <string>

class QPushButton;
class QSpinBox;

namespace gw {

class TGateWayConfigure;

class TFrmPrefConfig : public QDialog {
  Q_OBJECT

 public:
  TFrmPrefConfig(TGateWayConfigure& config, std::string configFile, QWidget* parent = nullptr);

  QSpinBox* SpinTimeOut() const { return FSpinTimeOut; }
  QSpinBox* SpinWarningSize() const { return FSpinWarningSize; }
  QSpinBox* SpinBlockSize() const { return FSpinBlockSize; }
  QPushButton* ButtonOK() const { return FButtonOK; }

 private:
  void ButtonOKClick();

  TGateWayConfigure& FConfig;
  std::string FConfigFile;
  QSpinBox* FSpinTimeOut;
  QSpinBox* FSpinWarningSize;
  QSpinBox* FSpinBlockSize;
  QPushButton* FButtonOK;
};

}  // namespace gw
