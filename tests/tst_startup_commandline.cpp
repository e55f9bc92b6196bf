#include "approottesting.h"
#include "commandlineoptions.h"
#include "installation.h"
#include "producttree.h"
#include "startupmessage.h"
#include "udpresponder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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

static const QString queryFailed =
    "warning|Error|Failed to query latest client\nversion from update server.";

// How the update server of a row behaves; "port" rows write a bad port into update.ini.
enum Server { Answers, Silent, BadPort, Unresolvable };
Q_DECLARE_METATYPE(Server)

static void writeServer(const QString& dir, const QString& server)
{
    QSettings settings(dir + "/update.ini", QSettings::IniFormat);
    settings.setValue("update/server", server);
    settings.setValue("update/streams", 2);
}

class CommandLineTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void parse_data();
    void parse();
    void serverSetting_data();
    void serverSetting();
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
    QTest::addColumn<Server>("server");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("queries");
    QTest::addColumn<bool>("warned"); // the query failure was shown

    const QString dflt = "client_linux_x86";
    const QString noDefaults = "Can't detect default parameters";
    const QString missed = "--nouser option is missed";
    const auto row = [&](const char* name, const QStringList& args, Server server,
                         const char* reply, const QString& error, int mode, const QString& type,
                         int version, int queries) {
        QTest::newRow(name) << args << server << QByteArray(reply) << error << mode << type
                            << version << queries << (server == BadPort || server == Unresolvable);
    };
    const QStringList none, nouser{"--nouser"};
    row("none, server says 57", none, Answers, "57,3,4", "", 1, dflt, 57, 1);
    row("none, bad port in update.ini", none, BadPort, "", noDefaults, 0, dflt, 0, 0);
    row("none, host does not resolve", none, Unresolvable, "", noDefaults, 0, dflt, 0, 0);
    row("none, first field not a number", none, Answers, "beta,1", noDefaults, 0, dflt, 0, 1);
    row("none, first field too large", none, Answers, "99999999999", noDefaults, 0, dflt, 0, 1);
    row("none, empty reply", none, Answers, "", noDefaults, 0, dflt, 0, 1);
    row("lone --nouser", nouser, Answers, "57", "", 2, dflt, 57, 1);
    row("lone --nouser, query fails once", nouser, BadPort, "", noDefaults, 0, dflt, 0, 0);
    row("lone --nouser, empty reply asks only once", nouser, Answers, "", noDefaults, 0, dflt, 0,
        1);
    row("type and version", {dflt, "12"}, Answers, "57", "", 1, dflt, 12, 0);
    row("other type", {"client_mac", "7"}, Answers, "57", "", 1, "client_mac", 7, 0);
    row("version not a number", {dflt, "1x"}, Answers, "57", "Wrong version code", 1, dflt, 0, 0);
    row("--nouser, type and version", {"--nouser", dflt, "12"}, Answers, "57", "", 2, dflt, 12, 0);
    row("--nouser and a type only", {"--nouser", dflt}, Answers, "57",
        "No client version specified", 2, dflt, 0, 0);
    row("one argument, not --nouser", {dflt}, Answers, "57", missed, 0, "", 0, 0);
    row("three arguments, not --nouser", {"--NOUSER", dflt, "12"}, Answers, "57", missed, 0, "", 0,
        0);
    row("--nouser in second place", {dflt, "--nouser", "12"}, Answers, "57", missed, 0, "", 0, 0);
    row("four arguments", {"a", "b", "c", "d"}, Answers, "57", "", 1, dflt, 57, 1);
    row("--nouser and three more", {"--nouser", "a", "1", "d"}, Answers, "58", "", 2, dflt, 58, 1);
}

void CommandLineTest::parse()
{
    QFETCH(QStringList, args);
    QFETCH(Server, server);
    QFETCH(QByteArray, reply);
    QFETCH(QString, error);
    QFETCH(int, mode);
    QFETCH(QString, clientType);
    QFETCH(int, version);
    QFETCH(int, queries);
    QFETCH(bool, warned);

    UdpResponder responder;
    QVERIFY(responder.isListening());
    responder.setReply(reply);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString port = QString::number(responder.port());
    const QString host = server == Unresolvable ? "bad..invalid:" : "127.0.0.1:";
    writeServer(root.path(), host + port + (server == BadPort ? "x" : ""));
    setAppRootPathForTesting(root.path());

    CommandLineOptions options;
    const QString result =
        parseCommandLineOptions(&options, QString(), QStringList{"/opt/vm3/update"} + args);
    QCOMPARE(result, error);
    QCOMPARE(options.mode, mode);
    QCOMPARE(options.clientType, clientType);
    QCOMPARE(options.version, version);
    QCOMPARE(responder.requestCount(), queries);
    QCOMPARE(recordedMessages, warned ? QStringList{queryFailed} : QStringList());
}

void CommandLineTest::serverSetting_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("no key") << QString() << true << QByteArray("update.voxmere.example") << 17384;
    QTest::newRow("host only") << "127.0.0.1" << true << QByteArray("127.0.0.1") << 17384;
    QTest::newRow("host and port") << "127.0.0.1:9000" << true << QByteArray("127.0.0.1") << 9000;
    QTest::newRow("name and port")
        << "versions.example:1" << true << QByteArray("versions.example") << 1;
    QTest::newRow("port not a number") << "127.0.0.1:x1" << false << QByteArray() << 0;
    QTest::newRow("port missing") << "127.0.0.1:" << false << QByteArray() << 0;
    QTest::newRow("port zero") << "127.0.0.1:0" << false << QByteArray() << 0;
    QTest::newRow("port too large") << "127.0.0.1:65536" << false << QByteArray() << 0;
    QTest::newRow("negative port") << "127.0.0.1:-5" << false << QByteArray() << 0;
}

void CommandLineTest::serverSetting()
{
    QFETCH(QString, value);
    QFETCH(bool, usable);
    QFETCH(QByteArray, host);
    QFETCH(int, port);
    QTemporaryDir root;
    if (!value.isNull())
        writeServer(root.path(), value);
    setAppRootPathForTesting(root.path());
    QByteArray readHost;
    quint16 readPort = 0;
    QCOMPARE(readUpdateServer(&readHost, &readPort), usable);
    if (usable) {
        QCOMPARE(readHost, host);
        QCOMPARE(int(readPort), port);
    }
}

void CommandLineTest::binary_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Server>("server");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("stderrLines");
    QTest::addColumn<int>("queries");

    const QStringList badVersion{"--nouser", "client_linux_x86", "1x"};
    QTest::newRow("wrong version code") << badVersion << Answers << QByteArray("57") << "C.UTF-8"
                                        << QStringList{"Wrong version code"} << 0;
    QTest::newRow("wrong version code, German")
        << badVersion << Answers << QByteArray("57") << "de_DE.UTF-8"
        << QStringList{"Falsche Versionsnummer"} << 0;
    QTest::newRow("no server answers")
        << QStringList{"--nouser"} << Silent << QByteArray() << "C.UTF-8"
        << QStringList{"Failed to query latest client", "version from update server.",
                       "Can't detect default parameters"}
        << 1;
    QTest::newRow("server answers no number")
        << QStringList{"--nouser"} << Answers << QByteArray("x") << "C.UTF-8"
        << QStringList{"Can't detect default parameters"} << 1;
    // A usable command line opens the window and starts the update, which this scratch
    // installation (no mirror list) cannot run.
    const QStringList noMirrors{"mirrors.ini is missing, cannot proceed."};
    QTest::newRow("server answers 57")
        << QStringList{"--nouser"} << Answers << QByteArray("57") << "C.UTF-8" << noMirrors << 1;
    QTest::newRow("type and version") << QStringList{"--nouser", "client_linux_x86", "12"}
                                      << Answers << QByteArray("57") << "C.UTF-8" << noMirrors << 0;
}

void CommandLineTest::binary()
{
    QFETCH(QStringList, args);
    QFETCH(Server, server);
    QFETCH(QByteArray, reply);
    QFETCH(QString, locale);
    QFETCH(QStringList, stderrLines);
    QFETCH(int, queries);

    UdpResponder responder;
    responder.setReply(reply);
    responder.setSilent(server == Silent);
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
    QVERIFY2(clock.elapsed() < (server == Silent ? 6500 : 2000),
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(server != Silent || clock.elapsed() >= 4900);
    QStringList lines = run.errorOutput.split('\n');
    // The toolkit's own notes (runtime directory, platform plugin) are not ours.
    lines.removeIf([](const QString& line) {
        return line.isEmpty() || line.startsWith("QStandardPaths:") ||
               line.startsWith("This plugin does not support");
    });
    // Log lines carry a time stamp.
    static const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    for (QString& line : lines)
        line.remove(stamp);
    QCOMPARE(lines, stderrLines);
    QCOMPARE(responder.requestCount(), queries);
    const bool cleaned = stderrLines.first().startsWith("mirrors.ini");
    QCOMPARE(QFileInfo::exists(inst.path("_old_update")), !cleaned);
    QCOMPARE(QFileInfo::exists(inst.path("_old_libQtNetwork.so.4")), !cleaned);
    QVERIFY(QFileInfo::exists(inst.path("vm3client_linux_x86")));
    QVERIFY(QFileInfo::exists(inst.root() + "/_old_update"));
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_startup_commandline.moc"
