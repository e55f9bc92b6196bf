#include "approottesting.h"
#include "commandlineoptions.h"
#include "startupmessage.h"
#include "udpresponder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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
    void appRootIsTheBinarysDirectory();
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
    QTest::addColumn<QStringList>("messages");

    const QString dflt = "client_linux_x86";
    const QString noDefaults = "Can't detect default parameters";
    QTest::newRow("none, server says 57") << QStringList{} << Answers << QByteArray("57,3,4") << ""
                                          << 1 << dflt << 57 << 1 << QStringList{};
    QTest::newRow("none, leading separator") << QStringList{} << Answers << QByteArray(",57") << ""
                                             << 1 << dflt << 57 << 1 << QStringList{};
    QTest::newRow("none, bad port in update.ini")
        << QStringList{} << BadPort << QByteArray() << noDefaults << 0 << dflt << 0 << 0
        << QStringList{queryFailed};
    QTest::newRow("none, host does not resolve")
        << QStringList{} << Unresolvable << QByteArray() << noDefaults << 0 << dflt << 0 << 0
        << QStringList{queryFailed};
    QTest::newRow("none, first field not a number")
        << QStringList{} << Answers << QByteArray("beta,1") << noDefaults << 0 << dflt << 0 << 1
        << QStringList{};
    QTest::newRow("none, first field too large")
        << QStringList{} << Answers << QByteArray("99999999999") << noDefaults << 0 << dflt << 0
        << 1 << QStringList{};
    QTest::newRow("none, empty reply") << QStringList{} << Answers << QByteArray() << noDefaults
                                       << 0 << dflt << 0 << 1 << QStringList{};
    QTest::newRow("lone --nouser") << QStringList{"--nouser"} << Answers << QByteArray("57") << ""
                                   << 2 << dflt << 57 << 1 << QStringList{};
    QTest::newRow("lone --nouser, query fails once")
        << QStringList{"--nouser"} << BadPort << QByteArray() << noDefaults << 0 << dflt << 0 << 0
        << QStringList{queryFailed};
    QTest::newRow("lone --nouser, empty reply asks only once")
        << QStringList{"--nouser"} << Answers << QByteArray() << noDefaults << 0 << dflt << 0 << 1
        << QStringList{};
    QTest::newRow("type and version")
        << QStringList{"client_linux_x86", "12"} << Answers << QByteArray("57") << "" << 1 << dflt
        << 12 << 0 << QStringList{};
    QTest::newRow("other type") << QStringList{"client_mac", "7"} << Answers << QByteArray("57")
                                << "" << 1 << "client_mac" << 7 << 0 << QStringList{};
    QTest::newRow("version not a number")
        << QStringList{"client_linux_x86", "1x"} << Answers << QByteArray("57")
        << "Wrong version code" << 1 << dflt << 0 << 0 << QStringList{};
    QTest::newRow("--nouser, type and version")
        << QStringList{"--nouser", "client_linux_x86", "12"} << Answers << QByteArray("57") << ""
        << 2 << dflt << 12 << 0 << QStringList{};
    QTest::newRow("--nouser, version not a number")
        << QStringList{"--nouser", "client_linux_x86", "x"} << Answers << QByteArray("57")
        << "Wrong version code" << 2 << dflt << 0 << 0 << QStringList{};
    QTest::newRow("--nouser and a type only")
        << QStringList{"--nouser", "client_linux_x86"} << Answers << QByteArray("57")
        << "No client version specified" << 2 << dflt << 0 << 0 << QStringList{};
    QTest::newRow("one argument, not --nouser")
        << QStringList{"client_linux_x86"} << Answers << QByteArray("57")
        << "--nouser option is missed" << 0 << "" << 0 << 0 << QStringList{};
    QTest::newRow("three arguments, not --nouser")
        << QStringList{"--NOUSER", "client_linux_x86", "12"} << Answers << QByteArray("57")
        << "--nouser option is missed" << 0 << "" << 0 << 0 << QStringList{};
    QTest::newRow("--nouser in second place")
        << QStringList{"client_linux_x86", "--nouser", "12"} << Answers << QByteArray("57")
        << "--nouser option is missed" << 0 << "" << 0 << 0 << QStringList{};
    QTest::newRow("four arguments")
        << QStringList{"a", "b", "c", "d"} << Answers << QByteArray("57") << "" << 1 << dflt << 57
        << 1 << QStringList{};
    QTest::newRow("--nouser and three more")
        << QStringList{"--nouser", "a", "1", "d"} << Answers << QByteArray("58") << "" << 2 << dflt
        << 58 << 1 << QStringList{};
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
    QFETCH(QStringList, messages);

    UdpResponder responder;
    QVERIFY(responder.isListening());
    responder.setReply(reply);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString port = QString::number(responder.port());
    switch (server) {
    case Answers:
    case Silent:
        writeServer(root.path(), "127.0.0.1:" + port);
        break;
    case BadPort:
        writeServer(root.path(), "127.0.0.1:" + port + "x");
        break;
    case Unresolvable:
        writeServer(root.path(), "bad..invalid:" + port);
        break;
    }
    setAppRootPathForTesting(root.path());

    CommandLineOptions options;
    const QString result =
        parseCommandLineOptions(&options, QString(), QStringList{"/opt/vm3/update"} + args);
    QCOMPARE(result, error);
    QCOMPARE(options.mode, mode);
    QCOMPARE(options.clientType, clientType);
    QCOMPARE(options.version, version);
    QCOMPARE(responder.requestCount(), queries);
    QCOMPARE(recordedMessages, messages);
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

// A scratch installation: a copy of the built updater beside its own update.ini.
struct Installation {
    QTemporaryDir dir;
    QString binary;

    bool create(quint16 serverPort)
    {
        binary = dir.filePath("update");
        if (!dir.isValid() || !QFile::copy(UPDATE_BINARY, binary))
            return false;
        writeServer(dir.path(), "127.0.0.1:" + QString::number(serverPort));
        return true;
    }
};

static QProcessEnvironment environmentWithoutDisplay(const QString& locale)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("LC_ALL", locale);
    return env;
}

void CommandLineTest::binary_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Server>("server");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("stderrLines");
    QTest::addColumn<int>("queries");

    const QStringList none;
    QTest::newRow("wrong version code")
        << QStringList{"--nouser", "client_linux_x86", "1x"} << Answers << QByteArray("57")
        << "C.UTF-8" << 1 << QStringList{"Wrong version code"} << 0;
    QTest::newRow("wrong version code, German")
        << QStringList{"--nouser", "client_linux_x86", "1x"} << Answers << QByteArray("57")
        << "de_DE.UTF-8" << 1 << QStringList{"Falsche Versionsnummer"} << 0;
    QTest::newRow("no server answers")
        << QStringList{"--nouser"} << Silent << QByteArray() << "C.UTF-8" << 1
        << QStringList{"Failed to query latest client", "version from update server.",
                       "Can't detect default parameters"}
        << 1;
    QTest::newRow("server answers no number")
        << QStringList{"--nouser"} << Answers << QByteArray("x") << "C.UTF-8" << 1
        << QStringList{"Can't detect default parameters"} << 1;
    // A usable command line opens the window and starts the update, which this scratch
    // installation (no mirror list) cannot run.
    const QStringList noMirrors{"mirrors.ini is missing, cannot proceed."};
    QTest::newRow("server answers 57") << QStringList{"--nouser"} << Answers << QByteArray("57")
                                       << "C.UTF-8" << 1 << noMirrors << 1;
    QTest::newRow("type and version")
        << QStringList{"--nouser", "client_linux_x86", "12"} << Answers << QByteArray("57")
        << "C.UTF-8" << 1 << noMirrors << 0;
}

void CommandLineTest::binary()
{
    QFETCH(QStringList, args);
    QFETCH(Server, server);
    QFETCH(QByteArray, reply);
    QFETCH(QString, locale);
    QFETCH(int, exitCode);
    QFETCH(QStringList, stderrLines);
    QFETCH(int, queries);

    UdpResponder responder;
    responder.setReply(reply);
    responder.setSilent(server == Silent);
    Installation installation;
    QVERIFY(installation.create(responder.port()));

    QProcess process;
    process.setProcessEnvironment(environmentWithoutDisplay(locale));
    QElapsedTimer clock;
    clock.start();
    process.start(installation.binary, args);
    QVERIFY(process.waitForStarted());

    QVERIFY(process.waitForFinished(9000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    // At once, or after the one 5 s wait for a reply that never comes.
    QVERIFY2(clock.elapsed() < (server == Silent ? 6500 : 2000),
             qPrintable(QString::number(clock.elapsed())));
    if (server == Silent)
        QVERIFY(clock.elapsed() >= 4900);
    QStringList lines = QString::fromLocal8Bit(process.readAllStandardError()).split('\n');
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
}

void CommandLineTest::appRootIsTheBinarysDirectory()
{
    // Run from elsewhere: update.ini (the server) and the moved-aside files are found beside
    // the binary, not in the working directory.
    UdpResponder responder;
    responder.setReply("57");
    Installation installation;
    QVERIFY(installation.create(responder.port()));
    for (const char* name : {"_old_update", "_old_libQtNetwork.so.4", "vm3client_linux_x86"}) {
        QFile file(installation.dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QTemporaryDir elsewhere;
    QFile decoy(elsewhere.filePath("_old_update"));
    QVERIFY(decoy.open(QIODevice::WriteOnly));
    decoy.close();

    QProcess process;
    process.setProcessEnvironment(environmentWithoutDisplay("C.UTF-8"));
    process.setWorkingDirectory(elsewhere.path());
    process.start(installation.binary, {"--nouser"});
    QVERIFY(process.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(responder.requestCount(), 1, 3000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(installation.dir.filePath("_old_update")), 3000);
    QVERIFY(!QFileInfo::exists(installation.dir.filePath("_old_libQtNetwork.so.4")));
    QVERIFY(QFileInfo::exists(installation.dir.filePath("vm3client_linux_x86")));
    QVERIFY(QFileInfo::exists(installation.binary));
    QVERIFY(QFileInfo::exists(decoy.fileName()));
    QVERIFY(process.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_startup_commandline.moc"
