#include "console/FrmHookCheck.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>

#include "console/ConsoleErrors.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleWidgets.h"

namespace gw {

// The warning text's length bound holds for typing only: a longer text read from GateWay.xml
// shows whole and is stored whole; it may be edited but not made longer. (A plain maximum
// length would cut it when shown, and the next save would store the cut text.)
class TFrmHookCheck::TTypedLengthLimit : public QValidator {
 public:
  explicit TTypedLengthLimit(QObject* parent) : QValidator(parent) {}
  // The longest text the operator may type: the bound, or the shown text when that is longer.
  void SetShown(const QString& text) {
    FLimit = std::max<qsizetype>(THookCheckModel::kErrMsgMaxChars, text.size());
  }
  State validate(QString& input, int&) const override {
    return input.size() <= FLimit ? Acceptable : Invalid;
  }

 private:
  qsizetype FLimit = THookCheckModel::kErrMsgMaxChars;
};

TFrmHookCheck::TFrmHookCheck(TGateWayConfigure& config, std::string configFile, QWidget* parent)
    : QDialog(parent), FConfig(config), FConfigFile(std::move(configFile)) {
  setWindowTitle(QString::fromUtf8("外挂控制"));
  auto* controlGroup = new QGroupBox(QString::fromUtf8("控制项"), this);
  auto* controlGrid = new QGridLayout(controlGroup);
  FCheckWalk = new QCheckBox(QString::fromUtf8("走路控制"), controlGroup);
  FCheckRun = new QCheckBox(QString::fromUtf8("跑步控制"), controlGroup);
  FCheckHit = new QCheckBox(QString::fromUtf8("攻击控制"), controlGroup);
  FCheckSpell = new QCheckBox(QString::fromUtf8("魔法控制"), controlGroup);
  controlGrid->addWidget(FCheckWalk, 0, 0);
  controlGrid->addWidget(FCheckRun, 0, 1);
  controlGrid->addWidget(FCheckHit, 1, 0);
  controlGrid->addWidget(FCheckSpell, 1, 1);

  auto* tuneGroup = new QGroupBox(QString::fromUtf8("微调设置"), this);
  auto* tuneGrid = new QGridLayout(tuneGroup);
  FSpinInc = MakeSpin(THookCheckModel::kCountRange, true, tuneGroup);
  FSpinDec = MakeSpin(THookCheckModel::kCountRange, true, tuneGroup);
  auto* note = new QLabel(QString::fromUtf8("提示：累计值达到50则让加速人物T下线"), tuneGroup);
  note->setStyleSheet(QStringLiteral("color: red"));
  tuneGrid->addWidget(new QLabel(QString::fromUtf8("每次加速的累加值:"), tuneGroup), 0, 0);
  tuneGrid->addWidget(FSpinInc, 0, 1);
  tuneGrid->addWidget(new QLabel(QString::fromUtf8("正常动作的减少值:"), tuneGroup), 1, 0);
  tuneGrid->addWidget(FSpinDec, 1, 1);
  tuneGrid->addWidget(note, 2, 0, 1, 2);

  FCheckWarning = new QCheckBox(QString::fromUtf8("开启加速提示"), this);
  FComboWarnKind = new QComboBox(this);
  FComboWarnKind->addItem(QString::fromUtf8("密人提示"));
  FComboWarnKind->addItem(QString::fromUtf8("弹窗提示"));
  FComboWarnKind->setCurrentIndex(0);
  FEditErrMsg = new QLineEdit(this);
  FErrMsgLimit = new TTypedLengthLimit(FEditErrMsg);
  FEditErrMsg->setValidator(FErrMsgLimit);
  FEditErrMsg->setStyleSheet(QStringLiteral("color: white; background-color: red"));

  FButtonSave = new QPushButton(QString::fromUtf8("保存启用设置(&O)"), this);
  FButtonDefault = new QPushButton(QString::fromUtf8("恢复默认设置(&C)"), this);
  FButtonClose = new QPushButton(QString::fromUtf8("关闭(&C)"), this);
  FButtonSave->setAutoDefault(false);
  FButtonDefault->setAutoDefault(false);
  FButtonClose->setAutoDefault(false);

  auto* warnRow = new QHBoxLayout;
  warnRow->addWidget(FCheckWarning);
  warnRow->addWidget(FComboWarnKind);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FButtonSave);
  buttons->addWidget(FButtonDefault);
  buttons->addWidget(FButtonClose);
  // The relay has no speed-hack checks: every setting of this dialog is stored only.
  QLabel* storedOnly = StoredOnlyLabel({FCheckWalk, FCheckRun, FCheckHit, FCheckSpell, FSpinInc,
                                        FSpinDec, FCheckWarning, FComboWarnKind, FEditErrMsg},
                                       this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(storedOnly, 0, Qt::AlignRight);
  layout->addWidget(controlGroup);
  layout->addWidget(tuneGroup);
  layout->addLayout(warnRow);
  layout->addWidget(FEditErrMsg);
  layout->addLayout(buttons);

  THookCheckFields& f = FModel.Fields();
  connect(FCheckWalk, &QCheckBox::toggled, this, [this, &f](bool on) {
    f.StartWalkCheck = on;
    FieldChanged(false);
  });
  connect(FCheckRun, &QCheckBox::toggled, this, [this, &f](bool on) {
    f.StartRunCheck = on;
    FieldChanged(false);
  });
  connect(FCheckHit, &QCheckBox::toggled, this, [this, &f](bool on) {
    f.StartHitCheck = on;
    FieldChanged(false);
  });
  connect(FCheckSpell, &QCheckBox::toggled, this, [this, &f](bool on) {
    f.StartSpellCheck = on;
    FieldChanged(false);
  });
  // A click (not a programmatic change) on the warning box counts as a change.
  connect(FCheckWarning, &QCheckBox::clicked, this, [this, &f](bool on) {
    f.StartWarning = on;
    FEditErrMsg->setEnabled(on);
    FieldChanged(true);
  });
  connect(FSpinInc, &QSpinBox::valueChanged, this, [this, &f](int v) {
    f.IncErrorCount = v;
    FieldChanged(true);
  });
  connect(FSpinDec, &QSpinBox::valueChanged, this, [this, &f](int v) {
    f.DecErrorCount = v;
    FieldChanged(true);
  });
  connect(FEditErrMsg, &QLineEdit::textChanged, this, [this, &f](const QString& text) {
    f.ErrMsg = FromQt(text);
    FieldChanged(true);
  });
  connect(FButtonSave, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonSaveClick(); }); });
  connect(FButtonDefault, &QPushButton::clicked, this, [this] {
    FModel.RestoreDefaults();
    ShowModel();
  });
  connect(FButtonClose, &QPushButton::clicked, this, &QDialog::reject);
  Open();
}

void TFrmHookCheck::Open() {
  FModel.Load(FConfig);
  ShowModel();
}

void TFrmHookCheck::ShowModel() {
  FShowing = true;
  const THookCheckFields& f = FModel.Fields();
  FCheckWalk->setChecked(f.StartWalkCheck);
  FCheckRun->setChecked(f.StartRunCheck);
  FCheckHit->setChecked(f.StartHitCheck);
  FCheckSpell->setChecked(f.StartSpellCheck);
  FCheckWarning->setChecked(f.StartWarning);
  FEditErrMsg->setEnabled(f.StartWarning);
  FSpinInc->setValue(f.IncErrorCount);
  FSpinDec->setValue(f.DecErrorCount);
  FErrMsgLimit->SetShown(ToQt(f.ErrMsg));
  FEditErrMsg->setText(ToQt(f.ErrMsg));
  FShowing = false;
  FButtonSave->setEnabled(FModel.CanSave());
}

void TFrmHookCheck::FieldChanged(bool enablesSave) {
  if (FShowing) return;
  if (enablesSave) FModel.MarkChanged();
  FButtonSave->setEnabled(FModel.CanSave());
}

void TFrmHookCheck::ButtonSaveClick() {
  FModel.Store(FConfig);
  SaveConfiguration(FConfig, FConfigFile);
  FButtonSave->setEnabled(FModel.CanSave());
}

}  // namespace gw
