#include "console/FrmMessageFilterConfig.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/ConsoleErrors.h"
#include "console/ConsolePrompts.h"
#include "console/ConsoleShared.h"
#include "console/ConsoleWidgets.h"

namespace gw {

namespace {
const char* const kInputCaption = "增加过滤文字";
const char* const kInputPrompt = "请输入新的文字:";
}  // namespace

TFrmMessageFilterConfig::TFrmMessageFilterConfig(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8("消息文字过滤设置"));
  FListWords = new QListWidget(this);
  FButtonAdd = new QPushButton(QString::fromUtf8("增加(&A)"), this);
  FButtonDelete = new QPushButton(QString::fromUtf8("删除(&D)"), this);
  FButtonModify = new QPushButton(QString::fromUtf8("修改(&M)"), this);
  FButtonOK = new QPushButton(QString::fromUtf8("确定(&O)"), this);
  for (QPushButton* b : {FButtonAdd, FButtonDelete, FButtonModify}) b->setAutoDefault(false);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(FButtonAdd);
  buttons->addWidget(FButtonDelete);
  buttons->addWidget(FButtonModify);
  buttons->addStretch();
  buttons->addWidget(FButtonOK);
  auto* body = new QHBoxLayout;
  body->addWidget(FListWords, 1);
  body->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QString::fromUtf8("过滤文本:"), this));
  layout->addLayout(body);

  connect(FListWords, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
    FModel.SetCurrent(FListWords->row(item));
    ShowModel();
  });
  // Moving through the list with the keyboard selects an entry and makes it current just as a
  // click does. The list's own current row alone does not count: the list sets one on its first
  // entry when it gets the focus, and 删除/修改 must stay disabled until the operator chooses.
  connect(FListWords, &QListWidget::itemSelectionChanged, this, [this] {
    const QList<QListWidgetItem*> selected = FListWords->selectedItems();
    if (selected.isEmpty()) return;
    const int row = FListWords->row(selected.front());
    if (row == FModel.Current()) return;
    FModel.SetCurrent(row);
    ShowModel();
  });
  connect(FListWords, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    FModel.SetCurrent(FListWords->row(item));
    GuardedCall([this] { ButtonModifyClick(); });
  });
  connect(FButtonAdd, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonAddClick(); }); });
  connect(FButtonModify, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonModifyClick(); }); });
  connect(FButtonDelete, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonDeleteClick(); }); });
  connect(FButtonOK, &QPushButton::clicked, this,
          [this] { GuardedCall([this] { ButtonOKClick(); }); });
}

void TFrmMessageFilterConfig::Open() {
  FModel.Assign(CopyWordList());
  ShowModel();
}

void TFrmMessageFilterConfig::ShowModel() {
  const std::vector<std::string>& entries = FModel.Entries();
  // The list follows the model here; its own change signals would feed back into the model.
  const QSignalBlocker blocker(FListWords);
  if (FListWords->count() != static_cast<int>(entries.size())) {
    FListWords->clear();
    for (const std::string& e : entries) FListWords->addItem(ToQt(e));
  } else {
    for (int i = 0; i < FListWords->count(); ++i) FListWords->item(i)->setText(ToQt(entries[i]));
  }
  FListWords->setCurrentRow(FModel.Current());
  FButtonDelete->setEnabled(FModel.CanEdit());
  FButtonModify->setEnabled(FModel.CanEdit());
}

void TFrmMessageFilterConfig::ButtonAddClick() {
  QString text;
  if (!TConsolePrompts::Current().InputText(this, QString::fromUtf8(kInputCaption),
                                            QString::fromUtf8(kInputPrompt), text))
    return;
  if (!FModel.Add(FromQt(text))) {
    TConsolePrompts::Current().Error(this, QString::fromUtf8(TMessageFilterModel::kEmptyTextError));
    return;
  }
  ShowModel();
}

void TFrmMessageFilterConfig::ButtonModifyClick() {
  if (!FModel.CanEdit()) {
    TConsolePrompts::Current().Error(this, QString::fromUtf8(TMessageFilterModel::kEmptyTextError));
    return;
  }
  QString text = ToQt(FModel.Entries()[FModel.Current()]);
  if (!TConsolePrompts::Current().InputText(this, QString::fromUtf8(kInputCaption),
                                            QString::fromUtf8(kInputPrompt), text))
    return;
  if (!FModel.Modify(FromQt(text))) {
    TConsolePrompts::Current().Error(this, QString::fromUtf8(TMessageFilterModel::kEmptyTextError));
    return;
  }
  ShowModel();
}

void TFrmMessageFilterConfig::ButtonDeleteClick() {
  FModel.Delete();
  ShowModel();
}

void TFrmMessageFilterConfig::ButtonOKClick() {
  ReplaceAndSaveWordList(FModel.Entries());
  accept();
}

}  // namespace gw
