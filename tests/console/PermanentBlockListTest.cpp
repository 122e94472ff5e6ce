// The permanent block list reaches BlockIPList.txt at once whoever adds to it: here the login
// server's kick ("T"), which the login link turns into AddBlockIP on the process-wide IP
// manager, followed by a configuration reload that reads the file back.
#include <QtTest>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "config/GateShare.h"
#include "links/LinkTestUtil.h"
#include "links/LoginSrvClient.h"

using namespace gw;

class PermanentBlockListTest : public QObject {
  Q_OBJECT

 private slots:
  void loginServerKickIsInTheFileAtOnce() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path());
    test::TFakeGateWayServer server;
    server.SetAddr(6, "10.1.1.6");
    {
      // No manager given: the link acts on the process-wide one, as in the gateway.
      TLoginSrvClient link("LoginSrvClient", "127.0.0.1", 1, &server, nullptr);
      link.DoPacket("%+T6$");
    }
    std::ifstream in(dir.filePath("BlockIPList.txt").toStdString(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    QCOMPARE(bytes.str(), std::string("10.1.1.6\r\n"));
    // A reload before any dialog saved keeps the entry.
    IPManager().LoadBlockIPFile();
    std::vector<std::string> kept;
    IPManager().EarchBlockIPs([&](int, const TSockaddr* e) { kept.push_back(e->IPaddr); });
    QCOMPARE(kept, std::vector<std::string>{"10.1.1.6"});
    IPManager().RemoveBlockIP("10.1.1.6");
    QDir::setCurrent(old);
  }
};

QTEST_APPLESS_MAIN(PermanentBlockListTest)
#include "PermanentBlockListTest.moc"
