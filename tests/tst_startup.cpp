// The command line and the update server's answer; the real binary starts in the e2e test.
#include "approottesting.h"
#include "commandlineoptions.h"
#include "producttree.h"
#include "startupmessage.h"
#include "udpresponder.h"
#include "updatechecker.h"

#include <QTest>

static QStringList warnings;

class StartupTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("port");    // of update.ini's server; PORT: the responder's
        QTest::addColumn<QString>("outcome"); // error|mode|type|version|queries|warned
        const auto row = [](const char* name, const QStringList& args, const char* outcome,
                            const char* port = "PORT") {
            QTest::newRow(name) << args << QString(port) << QString(outcome);
        };
        const QString dflt = "client_linux_x86";
        row("none", {}, "|1|client_linux_x86|57|1|");
        row("none, port not a number", {},
            "Can't detect default parameters|0|client_linux_x86|0|0|"
            "warned",
            "PORTx");
        row("lone --nouser", {"--nouser"}, "|2|client_linux_x86|57|1|");
        row("type and version", {"client_mac", "7"}, "|1|client_mac|7|0|");
        row("version not a number", {dflt, "1x"}, "Wrong version code|1|client_linux_x86|0|0|");
        row("--nouser, type and version", {"--nouser", dflt, "12"}, "|2|client_linux_x86|12|0|");
        // Safer for scheduled runs: a version alone is refused rather than guessed at...
        row("--nouser and a version only", {"--nouser", "57"},
            "No client version specified|2|57|0|0|");
        // ...and a stray argument too many still runs unattended, with the server's version.
        row("--nouser and three more", {"--nouser", "a", "b", "c"}, "|2|client_linux_x86|57|1|");
        row("one argument, not --nouser", {dflt}, "--nouser option is missed|0||0|0|");
        row("three arguments, not --nouser", {"--NOUSER", dflt, "12"},
            "--nouser option is missed|0||0|0|");
        row("four arguments", {"a", "b", "c", "d"}, "|1|client_linux_x86|57|1|");
    }
    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, port);
        QFETCH(QString, outcome);
        UdpResponder responder;
        responder.setReply("57,3,4");
        QTemporaryDir root;
        QVERIFY(writeFile(root.filePath("update.ini"),
                          "[update]\nserver=127.0.0.1:" +
                              port.replace("PORT", QString::number(responder.port())).toUtf8()));
        setAppRootPathForTesting(root.path());
        warnings.clear();
        setStartupMessageHook([](StartupMessageLevel, const QString& title, const QString& text) {
            warnings << title + "|" + text;
        });
        CommandLineOptions options;
        const QString error =
            parseCommandLineOptions(&options, QString(), QStringList{"/opt/vm3/update"} + args);
        setStartupMessageHook(nullptr);
        setAppRootPathForTesting(QString());
        QCOMPARE(QStringList({error, QString::number(options.mode), options.clientType,
                              QString::number(options.version),
                              QString::number(responder.requestCount()),
                              warnings.isEmpty() ? "" : "warned"})
                     .join('|'),
                 outcome);
    }

    void serverAnswer_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QList<QByteArray>>("replies"); // one query each
        QTest::addColumn<QByteArray>("outcome");        // answered|client|server|apps
        const auto row = [](const char* name, const QList<QByteArray>& replies, const char* outcome,
                            const char* host = "127.0.0.1") {
            QTest::newRow(name) << QString(host) << replies << QByteArray(outcome);
        };
        row("three fields, fourth dropped", {"3,4,5,6"}, "1|3|4|5");
        row("runs of separators", {",,12,,,7,"}, "1|12|7|");
        row("NUL ends the text", {QByteArray("8,9\0,10", 7)}, "1|8|9|");
        // Only the first 31 bytes are read, so the third field is cut after its 9th byte.
        row("cut at 31 bytes", {"1234567890,1234567890,1234567890ABCDEFGH"},
            "1|1234567890|1234567890|123456789");
        row("later reply overwrites field by field", {"1,2,3", "9"}, "1|9|2|3");
        // An empty label is refused by the resolver itself: nothing leaves the machine.
        row("unresolvable host fails at once", {"1"}, "0|||", "bad..invalid");
    }
    void serverAnswer()
    {
        QFETCH(QString, host);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(QByteArray, outcome);
        UdpResponder responder;
        UpdateChecker checker(host.toLatin1(), responder.port());
        bool answered = false;
        for (const QByteArray& reply : replies) {
            responder.setReply(reply);
            answered = checker.checkUpdate();
        }
        QCOMPARE(QByteArrayList({answered ? "1" : "0", checker.getClientVersion(),
                                 checker.getServerVersion(), checker.getAppsVersion()})
                     .join('|'),
                 outcome);
        // Each query is the two bytes "2\0".
        QCOMPARE(responder.requests(),
                 QList<QByteArray>(answered ? replies.size() : 0, QByteArray("2\0", 2)));
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
