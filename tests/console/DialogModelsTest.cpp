// The dialogs' decisions, checked without widgets: text rules, spin ranges, the general
// settings checks in their order, and the message filter's list editing.
#include <QtTest>

#include "console/GeneralConfigModel.h"
#include "console/MessageFilterModel.h"
#include "console/SpinRange.h"
#include "console/TextRules.h"

using namespace gw;

class DialogModelsTest : public QObject {
  Q_OBJECT

 private slots:
  void addressPattern_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("passes");
    QTest::newRow("plain") << "10.0.0.1" << true;
    QTest::newRow("embedded") << "x10.0.0.1y" << true;
    QTest::newRow("three parts") << "10.0.0" << false;
    QTest::newRow("any address") << "0.0.0.0" << true;
    QTest::newRow("255") << "255.255.255.255" << true;
    QTest::newRow("256 still contains 56.1.1.1") << "256.1.1.1" << true;
    QTest::newRow("letters") << "localhost" << false;
    QTest::newRow("empty") << "" << false;
  }
  void addressPattern() {
    QFETCH(QString, text);
    QFETCH(bool, passes);
    QCOMPARE(ContainsIPv4Address(text.toStdString()), passes);
  }

  void portText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("0") << "0" << true;
    QTest::newRow("7200") << "7200" << true;
    QTest::newRow("65535") << "65535" << true;
    QTest::newRow("65536") << "65536" << false;
    QTest::newRow("negative") << "-1" << false;
    QTest::newRow("not a number") << "72a0" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("huge") << "99999999999999999999999" << false;
  }
  void portText() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(IsValidPortText(text.toStdString()), valid);
  }

  void spinRange() {
    const TSpinRange range{1, 10000, 1};
    QCOMPARE(range.Clamp(12000), 10000);
    QCOMPARE(range.Clamp(0), 1);
    const TSpinRange noRange{60, 60, 30};
    QVERIFY(!noRange.HasRange());
    QCOMPARE(noRange.Clamp(180), 180);
    QCOMPARE(noRange.Clamp(-5), -5);
  }

  // The checks run in their order and stop at the first failure, naming the field to focus.
  void generalChecks_data() {
    QTest::addColumn<QStringList>(
        "fields");  // title, gate addr, gate port, server addr, server port
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("error");
    const QString portError = QString::fromUtf8("网关端口设置错误！！！");
    QTest::newRow("all good, trimmed")
        << QStringList{" 网关 ", " x10.0.0.1y ", " 7200 ", "127.0.0.1", "5000"} << int(gfNone)
        << "";
    QTest::newRow("gate address 10.0.0")
        << QStringList{"t", "10.0.0", "70000", "bad", "x"} << int(gfGateAddr)
        << QString::fromUtf8("网关地址设置错误！！！");
    QTest::newRow("gate port 65536")
        << QStringList{"t", "0.0.0.0", "65536", "bad", "x"} << int(gfGatePort) << portError;
    QTest::newRow("gate port not a number")
        << QStringList{"t", "0.0.0.0", "abc", "127.0.0.1", "5000"} << int(gfGatePort) << portError;
    QTest::newRow("server address")
        << QStringList{"t", "0.0.0.0", "7200", "server", "x"} << int(gfServerAddr)
        << QString::fromUtf8("服务器地址设置错误！！！");
    QTest::newRow("server port shares the gate port text")
        << QStringList{"t", "0.0.0.0", "7200", "127.0.0.1", "-1"} << int(gfServerPort) << portError;
    QTest::newRow("blank title") << QStringList{"   ", "0.0.0.0", "7200", "127.0.0.1", "5000"}
                                 << int(gfTitle) << QString::fromUtf8("标题设置错误！！！");
  }
  void generalChecks() {
    QFETCH(QStringList, fields);
    QFETCH(int, field);
    QFETCH(QString, error);
    TGeneralConfigFields f{fields[0].toStdString(), fields[1].toStdString(),
                           fields[2].toStdString(), fields[3].toStdString(),
                           fields[4].toStdString(), false};
    const TGeneralConfigCheck check = TGeneralConfigModel::Check(f);
    QCOMPARE(int(check.Field), field);
    QCOMPARE(QString::fromStdString(check.Error), error);
    if (check.Ok()) {
      QCOMPARE(QString::fromStdString(f.Title), QString::fromUtf8("网关"));
      QCOMPARE(QString::fromStdString(f.GateAddr), QString("x10.0.0.1y"));
      QCOMPARE(QString::fromStdString(f.GatePort), QString("7200"));
    }
  }

  void messageFilterEditing() {
    TMessageFilterModel model;
    model.Assign({"a", "b", "c"});
    QVERIFY(!model.CanEdit());
    QVERIFY(!model.Modify("x"));  // nothing current
    QVERIFY(!model.Add(""));
    QVERIFY(model.Add("d"));
    model.SetCurrent(1);
    QVERIFY(model.Modify("B"));
    QVERIFY(!model.Modify(""));
    model.Delete();  // deletes "B"; "c" moves into its place and becomes current
    QCOMPARE(model.Current(), 1);
    QCOMPARE(model.Entries(), (std::vector<std::string>{"a", "c", "d"}));
    model.SetCurrent(2);
    model.Delete();  // the last entry: the new last one becomes current
    QCOMPARE(model.Current(), 1);
    model.Delete();
    model.Delete();
    QCOMPARE(model.Current(), -1);
    QVERIFY(!model.CanEdit());
    QVERIFY(model.Entries().empty());
  }
};

QTEST_APPLESS_MAIN(DialogModelsTest)
#include "DialogModelsTest.moc"
