// The block list pages when a list is full: the page shows only what the manager holds, and
// a move into a full list leaves the entry on the list it came from.
#include <QTemporaryDir>
#include <QtTest>

#include <string>
#include <vector>

#include "config/GateIPManager.h"
#include "console/IPaddrFilterModel.h"

using namespace gw;

namespace {

using TList = std::vector<std::string>;

TList Held(TGateIPManager& manager, bool temp) {
  TList out;
  TIPEarchProc collect = [&](int, const TSockaddr* entry) { out.push_back(entry->IPaddr); };
  temp ? manager.EarchTempBlockIPs(collect) : manager.EarchBlockIPs(collect);
  return out;
}

}  // namespace

class BlockListFullTest : public QObject {
  Q_OBJECT

 private slots:
  void fullListsRefuseAndNothingIsLost() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    TGateIPManager manager((folder.path() + "/BlockIPList.txt").toStdString(), {}, 2);
    TList blocked;  // the addresses reported as blocked
    TIPaddrFilterModel model(manager, [&](const std::string& a) { blocked.push_back(a); });

    model.AddBlock("1.1.1.1");
    model.AddBlock("1.1.1.2");
    model.AddBlock("1.1.1.3");  // refused: the permanent list is full
    QCOMPARE(model.BlockList(), (TList{"1.1.1.1", "1.1.1.2"}));
    model.AddTemp("2.2.2.1");
    model.AddTemp("2.2.2.2");
    model.AddTemp("2.2.2.3");  // refused: the temporary list is full
    QCOMPARE(model.TempList(), (TList{"2.2.2.1", "2.2.2.2"}));
    QCOMPARE(blocked, (TList{"1.1.1.1", "1.1.1.2", "2.2.2.1", "2.2.2.2"}));

    // Moves into a full list: each entry stays where it was, in the page and the manager.
    model.MoveTempToBlock({0});
    model.MoveBlockToTemp({1});
    QCOMPARE(model.TempList(), (TList{"2.2.2.1", "2.2.2.2"}));
    QCOMPARE(model.BlockList(), (TList{"1.1.1.1", "1.1.1.2"}));
    QCOMPARE(Held(manager, true), (TList{"2.2.2.1", "2.2.2.2"}));
    QCOMPARE(Held(manager, false), (TList{"1.1.1.1", "1.1.1.2"}));

    // With room again, a move goes through.
    model.DeleteBlock({1});
    model.MoveTempToBlock({0});
    QCOMPARE(model.TempList(), (TList{"2.2.2.2"}));
    QCOMPARE(model.BlockList(), (TList{"1.1.1.1", "2.2.2.1"}));
    QCOMPARE(Held(manager, false), (TList{"1.1.1.1", "2.2.2.1"}));
  }
};

QTEST_APPLESS_MAIN(BlockListFullTest)
#include "BlockListFullTest.moc"
