#include "approottesting.h"
#include "commandlineoptions.h"
#include "installation.h"
#include "producttree.h"
#include "startupmessage.h"
#include "udpresponder.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

static QStringList recordedMessages;

static void recordMessage(StartupMessageLevel level, const QString& title, const QString& text)
{
    recordedMessages << QString("%1|%2|%3")
                            .arg(level == StartupMessageLevel::Warning ? "warning" : "critical",
                                 title, text);
}

static void writeServer(const QString& dir, const QString& server)
{
    QSettings settings(dir + "/update.ini", QSettings::IniFormat);
    settings.setValue("update/server", server);
}

class CommandLineTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void parse_data();
    void parse();
    void serverDefaults();
    void binary_data();
    void binary();
};

void CommandLineTest::init()
{
    recordedMessages.clear();
    setStartupMessageHook(recordMessage);
}

void CommandLineTest::cleanup()
{
    setStartupMessageHook(nullptr);
    setAppRootPathForTesting(QString());
}

void CommandLineTest::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("server"); // PORT: the responder's
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("outcome"); // error|mode|type|version|queries|warned

    const auto row = [](const char* name, const QStringList& args, const char* reply,
                        const char* outcome, const char* server = "127.0.0.1:PORT") {
        QTest::newRow(name) << args << QString(server) << QByteArray(reply) << QString(outcome);
    };
    const char* noDefaults = "Can't detect default parameters|0|client_linux_x86|0";
    const QString dflt = "client_linux_x86";
    const QStringList none, nouser{"--nouser"};
    row("none, server says 57", none, "57,3,4", "|1|client_linux_x86|57|1|");
    row("none, first field not a number", none, "beta,1", qPrintable(noDefaults + QString("|1|")));
    row("none, first field too large", none, "99999999999",
        qPrintable(noDefaults + QString("|1|")));
    for (const char* port : {"PORTx", "", "0", "65536"})
        row(qPrintable(QString("none, port '%1'").arg(port)), none, "57",
            qPrintable(noDefaults + QString("|0|warned")),
            qPrintable(QString("127.0.0.1:") + port));
    row("lone --nouser", nouser, "57", "|2|client_linux_x86|57|1|");
    row("lone --nouser, empty reply asks once", nouser, "",
        qPrintable(noDefaults + QString("|1|")));
    row("type and version", {"client_mac", "7"}, "57", "|1|client_mac|7|0|");
    row("version not a number", {dflt, "1x"}, "57", "Wrong version code|1|client_linux_x86|0|0|");
    row("--nouser, type and version", {"--nouser", dflt, "12"}, "57", "|2|client_linux_x86|12|0|");
    row("--nouser and a type only", {"--nouser", dflt}, "57",
        "No client version specified|2|client_linux_x86|0|0|");
    row("one argument, not --nouser", {dflt}, "57", "--nouser option is missed|0||0|0|");
    row("three arguments, not --nouser", {"--NOUSER", dflt, "12"}, "57",
        "--nouser option is missed|0||0|0|");
    row("four arguments", {"a", "b", "c", "d"}, "57", "|1|client_linux_x86|57|1|");
}

void CommandLineTest::parse()
{
    QFETCH(QStringList, args);
    QFETCH(QString, server);
    QFETCH(QByteArray, reply);
    QFETCH(QString, outcome);

    UdpResponder responder;
    QVERIFY(responder.isListening());
    responder.setReply(reply);
    QTemporaryDir root;
    writeServer(root.path(), server.replace("PORT", QString::number(responder.port())));
    setAppRootPathForTesting(root.path());

    CommandLineOptions options;
    const QString error =
        parseCommandLineOptions(&options, QString(), QStringList{"/opt/vm3/update"} + args);
    const QStringList got{error,
                          QString::number(options.mode),
                          options.clientType,
                          QString::number(options.version),
                          QString::number(responder.requestCount()),
                          recordedMessages.isEmpty() ? "" : "warned"};
    QCOMPARE(got.join('|'), outcome);
    if (!recordedMessages.isEmpty())
        QCOMPARE(recordedMessages, QStringList{"warning|Error|Failed to query latest client\n"
                                               "version from update server."});
}

// Defaults the parse table cannot reach without a look-up beyond loopback.
void CommandLineTest::serverDefaults()
{
    QTemporaryDir root;
    setAppRootPathForTesting(root.path());
    QByteArray host;
    quint16 port = 0;
    QVERIFY(readUpdateServer(&host, &port));
    QCOMPARE(host + ":" + QByteArray::number(port), QByteArray("update.voxmere.example:17384"));
    writeServer(root.path(), "127.0.0.2");
    QVERIFY(readUpdateServer(&host, &port));
    QCOMPARE(host + ":" + QByteArray::number(port), QByteArray("127.0.0.2:17384"));
}

void CommandLineTest::binary_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("queries"); // the one query of a lone --nouser gets no reply

    const QStringList badVersion{"--nouser", "client_linux_x86", "1x"};
    QTest::newRow("wrong version code")
        << badVersion << "C.UTF-8" << QStringList{"Wrong version code"} << 0;
    QTest::newRow("wrong version code, German")
        << badVersion << "de_DE.UTF-8" << QStringList{"Falsche Versionsnummer"} << 0;
    QTest::newRow("no server answers")
        << QStringList{"--nouser"} << "C.UTF-8"
        << QStringList{"Failed to query latest client", "version from update server.",
                       "Can't detect default parameters"}
        << 1;
    // A usable command line starts the update, which this installation (no mirror list) cannot
    // run.
    QTest::newRow("usable command line")
        << QStringList{"--nouser", "client_linux_x86", "3"} << "C.UTF-8"
        << QStringList{"mirrors.ini is missing, cannot proceed."} << 0;
}

void CommandLineTest::binary()
{
    QFETCH(QStringList, args);
    QFETCH(QString, locale);
    QFETCH(QStringList, messages);
    QFETCH(int, queries);

    UdpResponder responder;
    responder.setSilent(true);
    Installation inst;
    QVERIFY(inst.create());
    inst.writeSettings(2, "127.0.0.1:" + QString::number(responder.port()));
    // Moved-aside files are removed beside the binary, not in the working directory, once the
    // command line is usable.
    for (const char* name : {"_old_update", "_old_libQtNetwork.so.4", "vm3client_linux_x86"})
        QVERIFY(writeFile(inst.path(name), "x"));
    QVERIFY(writeFile(inst.root() + "/_old_update", "decoy"));

    qputenv("LC_ALL", locale.toLatin1());
    QElapsedTimer clock;
    clock.start();
    const Installation::Run run = inst.run(args, 9000);
    qputenv("LC_ALL", "C.UTF-8");
    QVERIFY2(run.finished, qPrintable(run.errorOutput));
    QCOMPARE(run.exitCode, 1);
    // At once, or after the one 5 s wait for a reply that never comes.
    QVERIFY2(clock.elapsed() < (queries ? 6500 : 2000),
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!queries || clock.elapsed() >= 4900);
    QCOMPARE(run.messages(), messages);
    QCOMPARE(responder.requestCount(), queries);
    const bool cleaned = messages.first().startsWith("mirrors.ini");
    QCOMPARE(QFileInfo::exists(inst.path("_old_update")), !cleaned);
    QCOMPARE(QFileInfo::exists(inst.path("_old_libQtNetwork.so.4")), !cleaned);
    QVERIFY(QFileInfo::exists(inst.path("vm3client_linux_x86")));
    QVERIFY(QFileInfo::exists(inst.root() + "/_old_update"));
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_startup_commandline.moc"
