// The five settings dialogs driven through their real widgets on the offscreen platform:
// validations with their error boxes, ranges and clamping, what is stored and saved, the block
// list commands acting on the IP manager and its file at once, the word list editing and the
// speed-hack save-button logic.
#include <QtTest>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "config/GateShare.h"
#include "console/ConsoleWidgets.h"
#include "console/FrmGeneralConfig.h"
#include "console/FrmHookCheck.h"
#include "console/FrmIPaddrFilter.h"
#include "console/FrmMessageFilterConfig.h"
#include "console/FrmPrefConfig.h"
#include "console/ScriptedPrompts.h"

using namespace gw;

namespace {

std::string ReadFile(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void PutText(const QString& path, const std::string& bytes) {
  std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Shows the dialog as the active window, so its accelerators work as under a real display.
bool ShowActive(QDialog& dialog) {
  dialog.show();
  QApplication::setActiveWindow(&dialog);
  return QTest::qWaitForWindowActive(&dialog);
}

// Types `text` over the whole content of the spin field, leaving the focus in it.
void TypeInto(QSpinBox* spin, const QString& text) {
  spin->setFocus();
  spin->selectAll();
  QTest::keyClicks(QApplication::focusWidget(), text);
}

}  // namespace

class SettingsDialogsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir FDir;
  QString FConfigFile;
  QString FOldDir;

 private slots:
  void initTestCase() {
    QVERIFY(FDir.isValid());
    FOldDir = QDir::currentPath();
    // The word list file is named relative to the working directory.
    QDir::setCurrent(FDir.path());
    FConfigFile = FDir.filePath("GateWay.xml");
  }
  void cleanupTestCase() { QDir::setCurrent(FOldDir); }
  void init() { QFile::remove(FConfigFile); }

  // Every field of a setting the gateway does not act on says so: a muted "仅保存" label in its
  // dialog and the same words in its hint; the settings it does act on carry neither.
  void storedOnlySettingsAreMarked() {
    TGateWayConfigure config;
    TGateIPManager manager(FDir.filePath("BlockIPList.txt").toStdString());
    const QString hint = QString::fromUtf8(kStoredOnlyHint);
    auto marked = [&hint](QWidget& dialog, int labels, std::initializer_list<QWidget*> stored,
                          std::initializer_list<QWidget*> acted) {
      const auto found = dialog.findChildren<QLabel*>(QStringLiteral("storedOnly"));
      QCOMPARE(found.size(), labels);
      for (QLabel* label : found) QCOMPARE(label->text(), QString::fromUtf8(kStoredOnlyText));
      for (QWidget* field : stored)
        QVERIFY2(field->toolTip().contains(hint), qPrintable(field->objectName()));
      for (QWidget* field : acted) QVERIFY(!field->toolTip().contains(hint));
    };
    TFrmGeneralConfig general(config, FConfigFile.toStdString());
    marked(general, 1, {general.EditGateAddr()},
           {general.EditGatePort(), general.EditServerAddr(), general.EditServerPort()});
    TFrmPrefConfig pref(config, FConfigFile.toStdString());
    marked(pref, 2, {pref.SpinWarningSize(), pref.SpinBlockSize()}, {pref.SpinTimeOut()});
    TFrmIPaddrFilter filter(config, manager, FConfigFile.toStdString(), {});
    int nomPackets = 0;
    for (QSpinBox* spin : filter.findChildren<QSpinBox*>()) {
      nomPackets += spin->toolTip().contains(hint) ? 1 : 0;
    }
    QCOMPARE(nomPackets, 1);
    marked(filter, 1, {}, {});
    TFrmHookCheck hook(config, FConfigFile.toStdString());
    QList<QWidget*> hookFields;
    for (QCheckBox* box : hook.findChildren<QCheckBox*>()) hookFields.append(box);
    for (QSpinBox* spin : hook.findChildren<QSpinBox*>()) hookFields.append(spin);
    for (QLineEdit* edit : hook.findChildren<QLineEdit*>()) {
      if (!qobject_cast<QSpinBox*>(edit->parent())) hookFields.append(edit);  // not a spin's own
    }
    QVERIFY(hookFields.size() >= 7);
    for (QWidget* field : hookFields) QVERIFY(field->toolTip().contains(hint));
    marked(hook, 1, {}, {});
  }

  void generalAcceptsEmbeddedAddressAndStoresTrimmedTexts() {
    TScriptedPrompts prompts;
    TGateWayConfigure config;
    TFrmGeneralConfig dialog(config, FConfigFile.toStdString());
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("基本设置"));
    QCOMPARE(dialog.EditGatePort()->text(), QString("7200"));
    dialog.EditGateAddr()->setText(" x10.0.0.1y ");
    dialog.EditGatePort()->setText(" 7300");
    dialog.EditTitle()->setText(QString::fromUtf8(" 一号网关 "));
    dialog.CheckMinimize()->setChecked(false);
    QTest::mouseClick(dialog.ButtonOK(), Qt::LeftButton);
    QVERIFY(prompts.Errors().isEmpty());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(config.GateAddr, std::string("x10.0.0.1y"));
    QCOMPARE(config.GatePort, std::string("7300"));
    QCOMPARE(config.Title, std::string("一号网关"));
    QVERIFY(!config.Minimize);
    QVERIFY(ReadFile(FConfigFile).find("\t<GatePort>7300</GatePort>\r\n") != std::string::npos);
  }

  void generalRejects_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    const QString portError = QString::fromUtf8("网关端口设置错误！！！");
    QTest::newRow("gate address 10.0.0") << "gateaddr"
                                         << "10.0.0" << QString::fromUtf8("网关地址设置错误！！！");
    QTest::newRow("gate port 65536") << "gateport"
                                     << "65536" << portError;
    QTest::newRow("gate port not a number") << "gateport"
                                            << "72OO" << portError;
    QTest::newRow("server port 65536") << "serverport"
                                       << "65536" << portError;
    QTest::newRow("blank title") << "title"
                                 << "   " << QString::fromUtf8("标题设置错误！！！");
  }
  void generalRejects() {
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, error);
    TScriptedPrompts prompts;
    TGateWayConfigure config;
    TFrmGeneralConfig dialog(config, FConfigFile.toStdString());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QLineEdit* edit = field == "gateaddr"     ? dialog.EditGateAddr()
                      : field == "gateport"   ? dialog.EditGatePort()
                      : field == "serverport" ? dialog.EditServerPort()
                                              : dialog.EditTitle();
    edit->setText(text);
    dialog.EditServerAddr()->setFocus();
    QTest::mouseClick(dialog.ButtonOK(), Qt::LeftButton);
    QCOMPARE(prompts.Errors(), QStringList{error});
    QCOMPARE(prompts.Asked.front().Caption, QString::fromUtf8("错误信息"));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.focusWidget(), static_cast<QWidget*>(edit));
    QCOMPARE(config.GatePort, std::string("7200"));  // nothing stored
    QVERIFY(!QFile::exists(FConfigFile));
  }

  // The real error box: caption, icon and text, answered by a timer that finds it.
  void generalShowsRealErrorBox() {
    TGateWayConfigure config;
    TFrmGeneralConfig dialog(config, FConfigFile.toStdString());
    dialog.EditGatePort()->setText("65536");
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      caption = box->windowTitle();
      text = box->text();
      icon = box->icon();
      box->accept();
    });
    QTest::mouseClick(dialog.ButtonOK(), Qt::LeftButton);
    QCOMPARE(caption, QString::fromUtf8("错误信息"));
    QCOMPARE(text, QString::fromUtf8("网关端口设置错误！！！"));
    QCOMPARE(icon, QMessageBox::Critical);
  }

  // The real question box: Chinese button texts, and Enter takes the action (the default).
  void realQuestionBoxSpeaksChineseAndEnterConfirms() {
    for (TQuestionButtons buttons : {qbOkCancel, qbYesNo}) {
      QStringList texts;
      QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        for (QAbstractButton* b : box->buttons()) texts << b->text();
        QTest::keyClick(box, Qt::Key_Return);
      });
      const bool answer = TConsolePrompts::Current().Question(
          nullptr, QString::fromUtf8("确认信息"), QString::fromUtf8("是否确认重新加载配置信息？"),
          buttons);
      QVERIFY(answer);
      texts.sort();
      QStringList expected =
          buttons == qbOkCancel
              ? QStringList{QString::fromUtf8("取消"), QString::fromUtf8("确定")}
              : QStringList{QString::fromUtf8("否(&N)"), QString::fromUtf8("是(&Y)")};
      expected.sort();
      QCOMPARE(texts, expected);
    }
  }

  void performanceShowsSecondsAndStoresMilliseconds() {
    TGateWayConfigure config;
    QCOMPARE(config.CheckServerTimeOutTime, 180000);
    config.ClientSendBlockSize = 2000;
    TFrmPrefConfig dialog(config, FConfigFile.toStdString());
    QCOMPARE(dialog.SpinTimeOut()->value(), 180);
    QCOMPARE(dialog.SpinBlockSize()->value(), 1460);
    QVERIFY(!dialog.SpinBlockSize()->isEnabled());
    QCOMPARE(dialog.SpinWarningSize()->value(), 32767);
    // The time-out field has no range: a value far from 60 stays as typed.
    dialog.SpinTimeOut()->setValue(1000);
    QCOMPARE(dialog.SpinTimeOut()->value(), 1000);
    dialog.SpinTimeOut()->setValue(180);
    QTest::mouseClick(dialog.ButtonOK(), Qt::LeftButton);
    QCOMPARE(config.CheckServerTimeOutTime, 180000);
    QCOMPARE(config.ClientSendBlockSize, 1460);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(ReadFile(FConfigFile).find("<ClientSendBlockSize>1460<") != std::string::npos);
  }

  // A typed text that is not a number counts as the field's minimum once the field loses focus,
  // also in the time-out field, whose minimum equals its maximum (60).
  void typedTextThatIsNotANumberCountsAsTheMinimum() {
    TScriptedPrompts prompts;
    TGateWayConfigure config;
    TFrmPrefConfig pref(config, FConfigFile.toStdString());
    pref.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pref));
    auto clear = [](QSpinBox* spin) {
      spin->setFocus();
      QLineEdit* edit = spin->findChild<QLineEdit*>();
      edit->selectAll();
      QTest::keyClick(edit, Qt::Key_Delete);
      QVERIFY(spin->text().isEmpty());
    };
    clear(pref.SpinTimeOut());
    QTest::mouseClick(pref.ButtonOK(), Qt::LeftButton);
    QCOMPARE(config.CheckServerTimeOutTime, 60000);

    TGateIPManager manager(FDir.filePath("BlockIPList.txt").toStdString());
    TFrmIPaddrFilter filter(config, manager, FConfigFile.toStdString(), {});
    filter.show();
    QVERIFY(QTest::qWaitForWindowExposed(&filter));
    clear(filter.SpinMaxConn());
    clear(filter.SpinClientTimeOut());
    QTest::mouseClick(filter.ButtonOK(), Qt::LeftButton);
    QCOMPARE(config.MaxConnOfIPaddr, 1);
    QCOMPARE(config.ClientTimeOut, 100);
  }

  void ipFilterPullsIntoRangeAndRaisesShortTimeOut() {
    TScriptedPrompts prompts;
    TGateWayConfigure config;
    TGateIPManager manager(FDir.filePath("BlockIPList.txt").toStdString());
    QCOMPARE(config.ClearTempBlockListTime, 12000);
    TFrmIPaddrFilter dialog(config, manager, FConfigFile.toStdString(), {});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.Pages()->currentIndex(), 0);
    QCOMPARE(dialog.SpinClearTempTime()->value(), 10000);
    QVERIFY(dialog.RadioMethod(mDisconnect)->isChecked());
    dialog.SpinClientTimeOut()->setValue(50);
    dialog.SpinMaxConn()->setValue(500);  // beyond 100: pulled into range
    dialog.RadioMethod(mBlockList)->setChecked(true);
    QTest::mouseClick(dialog.ButtonOK(), Qt::LeftButton);
    QCOMPARE(config.ClientTimeOut, 100);
    QCOMPARE(config.ClearTempBlockListTime, 10000);
    QCOMPARE(config.MaxConnOfIPaddr, 100);
    QCOMPARE(config.BlockMethod, mBlockList);
    QCOMPARE(manager.MaxConnections(), 100);
    QVERIFY(QFile::exists(FConfigFile));
  }

  // Alt+O confirms without moving the focus: the value still being typed is taken all the same.
  void confirmingWithTheAcceleratorTakesTheTypedValue() {
    TScriptedPrompts prompts;
    {
      TGateWayConfigure config;
      TGateIPManager manager(FDir.filePath("BlockIPList.txt").toStdString());
      TFrmIPaddrFilter dialog(config, manager, FConfigFile.toStdString(), {});
      QVERIFY(ShowActive(dialog));
      QCOMPARE(dialog.SpinMaxConn()->value(), 10);
      TypeInto(dialog.SpinMaxConn(), "50");
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::AltModifier);
      // The accelerator clicks the button after its short press animation.
      QTRY_COMPARE(dialog.result(), int(QDialog::Accepted));
      QCOMPARE(config.MaxConnOfIPaddr, 50);
      QCOMPARE(manager.MaxConnections(), 50);
      QVERIFY(ReadFile(FConfigFile).find("\t<MaxConnOfIPaddr>50</MaxConnOfIPaddr>\r\n") !=
              std::string::npos);
    }
    {
      TGateWayConfigure config;
      TFrmPrefConfig dialog(config, FConfigFile.toStdString());
      QVERIFY(ShowActive(dialog));
      TypeInto(dialog.SpinWarningSize(), "4096");
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::AltModifier);
      // The accelerator clicks the button after its short press animation.
      QTRY_COMPARE(dialog.result(), int(QDialog::Accepted));
      QCOMPARE(config.PacketWarningSize, 4096);
    }
  }

  // The lists' red text stays in the lists: their context menus draw disabled items in the
  // disabled colour, not in the same red as enabled ones.
  void blockListMenusShowDisabledItemsAsDisabled() {
    TGateWayConfigure config;
    TGateIPManager manager(FDir.filePath("BlockIPList.txt").toStdString());
    TFrmIPaddrFilter dialog(config, manager, FConfigFile.toStdString(), {});
    for (QMenu* menu : {dialog.TempMenu().Menu, dialog.BlockMenu().Menu}) {
      menu->ensurePolished();
      const QPalette palette = menu->palette();
      for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
        QVERIFY(palette.color(QPalette::Disabled, role) != palette.color(QPalette::Active, role));
    }
    dialog.ListBlock()->ensurePolished();
    QCOMPARE(dialog.ListBlock()->palette().color(QPalette::Active, QPalette::Text),
             QColor(Qt::red));
  }

  void ipFilterMovesThreeEntriesAndRewritesTheFileAtOnce() {
    TScriptedPrompts prompts;
    TGateWayConfigure config;
    const QString listFile = FDir.filePath("BlockIPList.txt");
    TGateIPManager manager(listFile.toStdString());
    for (const char* a : {"10.0.0.4", "10.0.0.2", "10.0.0.1", "10.0.0.3"}) manager.AddBlockIP(a);
    manager.AddTempBlockIP("9.9.9.9");
    manager.SaveBlockIPList();
    std::vector<std::string> blocked;
    TFrmIPaddrFilter dialog(config, manager, FConfigFile.toStdString(),
                            [&](const std::string& a) { blocked.push_back(a); });
    QListWidget* list = dialog.ListBlock();
    QCOMPARE(list->count(), 4);
    QCOMPARE(list->item(0)->text(), QString("10.0.0.1"));  // sorted by text
    QCOMPARE(list->item(3)->text(), QString("10.0.0.4"));

    dialog.UpdateBlockMenu();
    QVERIFY(dialog.BlockMenu().Sort->isEnabled());
    QVERIFY(!dialog.BlockMenu().Move->isEnabled());  // nothing current yet
    list->setCurrentRow(0);
    list->item(0)->setSelected(true);
    list->item(2)->setSelected(true);
    list->item(3)->setSelected(true);
    dialog.UpdateBlockMenu();
    QVERIFY(dialog.BlockMenu().Move->isEnabled());
    QVERIFY(dialog.BlockMenu().Delete->isEnabled());
    dialog.BlockMenu().Move->trigger();

    QCOMPARE(ReadFile(listFile), std::string("10.0.0.2\r\n"));
    QCOMPARE(list->count(), 1);
    QCOMPARE(dialog.ListTemp()->count(), 4);
    QCOMPARE(dialog.ListTemp()->item(3)->text(), QString("9.9.9.9"));
    std::vector<std::string> temp;
    manager.EarchTempBlockIPs([&](int, const TSockaddr* e) { temp.push_back(e->IPaddr); });
    QCOMPARE(temp, (std::vector<std::string>{"9.9.9.9", "10.0.0.1", "10.0.0.3", "10.0.0.4"}));
    QCOMPARE(blocked, (std::vector<std::string>{"10.0.0.1", "10.0.0.3", "10.0.0.4"}));

    // Adding to the permanent list writes the file too; an empty address is refused.
    prompts.Inputs = {QString("  "), QString("10.1.1.1")};
    dialog.BlockMenu().Add->trigger();
    QCOMPARE(prompts.Errors().size(), 1);
    dialog.BlockMenu().Add->trigger();
    QCOMPARE(prompts.Asked.back().Caption, QString::fromUtf8("永久IP过滤"));
    QCOMPARE(ReadFile(listFile), std::string("10.0.0.2\r\n10.1.1.1\r\n"));
    // Deleting from the temporary list acts on the manager at once.
    dialog.ListTemp()->setCurrentRow(3);
    dialog.ListTemp()->item(3)->setSelected(true);
    dialog.TempMenu().Delete->trigger();
    QCOMPARE(dialog.ListTemp()->count(), 3);
    temp.clear();
    manager.EarchTempBlockIPs([&](int, const TSockaddr* e) { temp.push_back(e->IPaddr); });
    QCOMPARE(temp.size(), size_t(3));
    QVERIFY(std::find(temp.begin(), temp.end(), "9.9.9.9") == temp.end());
  }

  // Shown with the focus in the list, no entry is chosen: 删除 and 修改 stay disabled and
  // Alt+D deletes nothing until the operator picks an entry.
  void messageFilterStartsWithNothingChosen() {
    TScriptedPrompts prompts;
    WordList().Assign({"外挂", "代练"});
    TFrmMessageFilterConfig dialog;
    dialog.Open();
    QVERIFY(ShowActive(dialog));
    dialog.ListWords()->setFocus();
    QTRY_VERIFY(dialog.ListWords()->hasFocus());
    QVERIFY(!dialog.ButtonDelete()->isEnabled());
    QVERIFY(!dialog.ButtonModify()->isEnabled());
    QCOMPARE(dialog.Model().Current(), -1);
    QTest::keyClick(dialog.ListWords(), Qt::Key_D, Qt::AltModifier);
    QCOMPARE(dialog.Model().Entries().size(), size_t(2));
    // The second opening starts the same way, whatever was current before.
    dialog.ListWords()->setCurrentRow(1);
    QTest::keyClick(dialog.ListWords(), Qt::Key_Up);
    QVERIFY(dialog.ButtonDelete()->isEnabled());
    dialog.Open();
    QVERIFY(!dialog.ButtonDelete()->isEnabled());
    dialog.reject();
  }

  // Opening the dialog on the word list file and confirming without edits leaves the file's
  // bytes exactly as they were, in every encoding it may come in.
  void messageFilterRoundTripKeepsTheFileBytes_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("UTF-8 without mark") << QByteArray("外挂\r\n代练\r\n");
    QTest::newRow("UTF-8 with mark") << QByteArray("\xEF\xBB\xBF外挂\r\n代练\r\n");
    QTest::newRow("GBK") << QByteArray("\xCD\xE2\xB9\xD2\r\n\xB4\xFA\xC1\xB7\r\n");
    QTest::newRow("UTF-16LE") << QByteArray("\xFF\xFE\x16\x59\x02\x63\r\0\n\0", 10);
  }
  void messageFilterRoundTripKeepsTheFileBytes() {
    QFETCH(QByteArray, bytes);
    const QString file = FDir.filePath("WordFilter.txt");
    PutText(file, bytes.toStdString());
    LoadWordFilterFile();
    TFrmMessageFilterConfig dialog;
    dialog.Open();
    QVERIFY(dialog.ListWords()->count() > 0);
    QVERIFY(dialog.ListWords()->item(0)->text() == QString::fromUtf8("外挂"));
    QTest::mouseClick(dialog.ButtonOK(), Qt::LeftButton);
    QCOMPARE(QByteArray::fromStdString(ReadFile(file)), bytes);
    QFile::remove(file);
  }

  void messageFilterDeletingTheLastEntryMakesTheNewLastCurrent() {
    TScriptedPrompts prompts;
    WordList().Assign({"外挂", "代练", "私服"});
    TFrmMessageFilterConfig dialog;
    dialog.Open();
    QVERIFY(!dialog.ButtonDelete()->isEnabled());
    QVERIFY(!dialog.ButtonModify()->isEnabled());
    QListWidget* list = dialog.ListWords();
    QCOMPARE(list->count(), 3);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(2)).center());
    QVERIFY(dialog.ButtonDelete()->isEnabled());
    QTest::mouseClick(dialog.ButtonDelete(), Qt::LeftButton);
    QCOMPARE(list->count(), 2);
    QCOMPARE(dialog.Model().Current(), 1);
    QCOMPARE(list->currentRow(), 1);
    QVERIFY(dialog.ButtonModify()->isEnabled());
    // The keyboard makes entries current too; modify then acts on the entry now current.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(dialog.Model().Current(), 0);
    prompts.Inputs = {QString::fromUtf8("外挂2")};
    QTest::mouseClick(dialog.ButtonModify(), Qt::LeftButton);
    QCOMPARE(list->item(0)->text(), QString::fromUtf8("外挂2"));
    QCOMPARE(prompts.Asked.back().Text, QString::fromUtf8("请输入新的文字:|外挂"));

    prompts.Inputs = {QString(""), QString::fromUtf8("刷钱")};
    QTest::mouseClick(dialog.ButtonAdd(), Qt::LeftButton);
    QCOMPARE(prompts.Errors(), QStringList{QString::fromUtf8("请输入正确的文本！！！")});
    QTest::mouseClick(dialog.ButtonAdd(), Qt::LeftButton);
    QCOMPARE(prompts.Asked.back().Caption, QString::fromUtf8("增加过滤文字"));
    QCOMPARE(list->count(), 3);
    // Nothing reaches the word list before "确定(&O)".
    QCOMPARE(WordList().Items().size(), size_t(3));
    QTest::mouseClick(dialog.ButtonOK(), Qt::LeftButton);
    QCOMPARE(WordList().Items(), (std::vector<std::string>{"外挂2", "代练", "刷钱"}));
    QVERIFY(QFile::exists(FDir.filePath("WordFilter.txt")));
  }

  void speedHackDefaultsThenCloseStoreNothing() {
    TGateWayConfigure config;
    TFrmHookCheck dialog(config, FConfigFile.toStdString());
    QVERIFY(!dialog.ButtonSave()->isEnabled());
    QVERIFY(!dialog.CheckWalk()->isChecked());
    QTest::mouseClick(dialog.CheckWalk(), Qt::LeftButton);  // a control box alone
    QVERIFY(!dialog.ButtonSave()->isEnabled());
    QTest::mouseClick(dialog.ButtonDefault(), Qt::LeftButton);
    QVERIFY(dialog.ButtonSave()->isEnabled());
    QVERIFY(dialog.CheckSpell()->isChecked());
    QVERIFY(dialog.EditErrMsg()->isEnabled());
    QCOMPARE(dialog.SpinInc()->value(), 5);
    QTest::mouseClick(dialog.ButtonClose(), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!config.StartWalkCheck);
    QVERIFY(!config.StartWarning);
    QVERIFY(!QFile::exists(FConfigFile));

    // The next opening starts from the configuration again; a spin change enables saving.
    dialog.Open();
    QVERIFY(!dialog.CheckWalk()->isChecked());
    QVERIFY(!dialog.ButtonSave()->isEnabled());
    QVERIFY(!dialog.EditErrMsg()->isEnabled());
    dialog.SpinInc()->setValue(7);
    QVERIFY(dialog.ButtonSave()->isEnabled());
    QTest::mouseClick(dialog.CheckWarning(), Qt::LeftButton);
    QVERIFY(dialog.EditErrMsg()->isEnabled());
    QTest::mouseClick(dialog.ButtonSave(), Qt::LeftButton);
    QVERIFY(!dialog.ButtonSave()->isEnabled());
    QCOMPARE(config.IncErrorCount, 7);
    QVERIFY(config.StartWarning);
    QVERIFY(ReadFile(FConfigFile).find("<IncErrorCount>7<") != std::string::npos);
    // Typing into the text field enables saving; typing stops at 255 characters.
    QTest::keyClicks(dialog.EditErrMsg(), "!");
    QVERIFY(dialog.ButtonSave()->isEnabled());
    dialog.EditErrMsg()->setText(QString(254, 'x'));
    QTest::keyClicks(dialog.EditErrMsg(), "yz");
    QCOMPARE(dialog.EditErrMsg()->text(), QString(254, 'x') + "y");
    QTest::mouseClick(dialog.ButtonSave(), Qt::LeftButton);
    QCOMPARE(config.ErrMsg, std::string(254, 'x') + "y");
  }

  // The 255 bound is for typing only: a longer warning text from GateWay.xml shows whole, may
  // be shortened but not lengthened, and survives a save of the dialog.
  void speedHackKeepsALongerWarningTextFromTheFile() {
    const std::string longText = std::string(150, 'a') + std::string(150, 'b');  // 300
    PutText(FConfigFile, "<TGateWayConfigure>\r\n\t<ErrMsg>" + longText +
                             "</ErrMsg>\r\n</TGateWayConfigure>\r\n");
    TGateWayConfigure config;
    config.LoadFromXMLFile(FConfigFile.toStdString());
    QCOMPARE(config.ErrMsg.size(), size_t{300});
    TFrmHookCheck dialog(config, FConfigFile.toStdString());
    QCOMPARE(dialog.EditErrMsg()->text().size(), 300);
    QTest::mouseClick(dialog.CheckWarning(), Qt::LeftButton);
    QTest::keyClicks(dialog.EditErrMsg(), "c");  // no longer than it was
    QCOMPARE(dialog.EditErrMsg()->text(), QString::fromStdString(longText));
    QTest::mouseClick(dialog.ButtonSave(), Qt::LeftButton);
    QCOMPARE(config.ErrMsg, longText);
    QVERIFY(ReadFile(FConfigFile).find("<ErrMsg>" + longText + "</ErrMsg>\r\n") !=
            std::string::npos);
    TGateWayConfigure back;
    back.LoadFromXMLFile(FConfigFile.toStdString());
    QCOMPARE(back.ErrMsg, longText);
  }
};

QTEST_MAIN(SettingsDialogsTest)
#include "SettingsDialogsTest.moc"
