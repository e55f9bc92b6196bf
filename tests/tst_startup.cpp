// The command line and the update server's answer; the real binary starts in the e2e test.
#include "approottesting.h"
#include "commandlineoptions.h"
#include "producttree.h"
#include "startupmessage.h"
#include "testservers.h"
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
        row("type and version", {"client_mac", "7"}, "|1|client_mac|7|0|");
        row("version not a number", {dflt, "1x"}, "Wrong version code|1|client_linux_x86|0|0|");
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

    // Hostile answers: only the first 31 bytes count, a NUL ends the text, empty fields are
    // skipped, and a later answer overwrites field by field.
    void serverAnswer()
    {
        UdpResponder responder;
        UpdateChecker checker("127.0.0.1", responder.port());
        QStringList got;
        for (const QByteArray& reply : {QByteArray("1234567890,,1234567890,1234567890ABCDEF"),
                                        QByteArray("9\0,7", 4), QByteArray(",,8,,")}) {
            responder.setReply(reply);
            got << QString::number(checker.checkUpdate()) + "|" + checker.getClientVersion() + "|" +
                       checker.getServerVersion() + "|" + checker.getAppsVersion();
        }
        // An answer from another port that comes first is not the server's.
        responder.setSpoof("56");
        responder.setReply("57");
        got << QString::number(checker.checkUpdate()) + "|" + checker.getClientVersion();
        QCOMPARE(got, QStringList({"1|1234567890|1234567890|12345678", "1|9|1234567890|12345678",
                                   "1|8|1234567890|12345678", "1|57"}));
        // Each query is the two bytes "2\0"; a name that cannot resolve is not asked at all.
        QCOMPARE(responder.requests(), QList<QByteArray>(4, QByteArray("2\0", 2)));
        QVERIFY(!UpdateChecker("bad..invalid", responder.port()).checkUpdate());
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
