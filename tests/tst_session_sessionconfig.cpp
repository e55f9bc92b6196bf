#include "ftpproductdownloadsession.h"
#include "producttree.h"

#include <QTemporaryDir>
#include <QtTest>

// Reading "mirrors.ini" and the group "update" of "update.ini", and the random mirror choice.
class TestSessionConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsConfiguration_data();
    void readsConfiguration();

private:
    QTemporaryDir scratch;
};

namespace
{
// Mirror as "url|retries|timeout", compared as one string so a mismatch prints clearly.
QStringList describe(const QVector<FTPProductDownloadSession::MarkedSiteData>& mirrors)
{
    QStringList out;
    for (const auto& m : mirrors) {
        out << QString("%1|%2|%3").arg(m.url).arg(m.retries).arg(m.timeout);
        if (m.marked)
            out.last() += "|marked";
    }
    return out;
}

const QByteArray twoMirrors = "[mirrors]\nsize=2\n1\\mirror=a\n2\\mirror=b\n"
                              "[a]\nurl=http://127.0.0.1:8080/pub\n"
                              "[b]\nurl=ftp://127.0.0.1:2121/files/\nretries=0\ntimeout=0\n";
const QByteArray oneMirror = "[mirrors]\nsize=1\n1\\mirror=a\n[a]\nurl=http://127.0.0.1/x/\n";
} // namespace

void TestSessionConfig::readsConfiguration_data()
{
    QTest::addColumn<QByteArray>("mirrorsIni");
    QTest::addColumn<bool>("withSettingsPath");
    QTest::addColumn<QByteArray>("updateIni"); // null: the settings file does not exist
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("defaultStreams");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("mirrors");
    QTest::addColumn<int>("streams");
    QTest::addColumn<QString>("proxy");

    const QStringList one{"http://127.0.0.1/x/12|5|15"};

    QTest::newRow("two mirrors, slash added once, zero retries and timeout")
        << twoMirrors << true << QByteArray("[update]\n") << "12" << 4 << true
        << QStringList{"http://127.0.0.1:8080/pub/12|5|15", "ftp://127.0.0.1:2121/files/12|5|0"}
        << 4 << "";
    QTest::newRow("explicit retries and timeout")
        << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=http://h.example/\n"
                      "retries=3\ntimeout=7\n")
        << true << QByteArray() << "7" << 4 << true << QStringList{"http://h.example/7|3|7"} << 4
        << "";
    QTest::newRow("values beyond a signed 32-bit number")
        << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=ftp://h/\n"
                      "retries=2147483648\ntimeout=2147483648\n")
        << true << QByteArray() << "1" << 4 << true << QStringList{"ftp://h/1|5|15"} << 4 << "";
    QTest::newRow("largest signed 32-bit values are kept")
        << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=ftp://h/\n"
                      "retries=2147483647\ntimeout=2147483647\n")
        << true << QByteArray() << "1" << 4 << true
        << QStringList{"ftp://h/1|2147483647|2147483647"} << 4 << "";
    QTest::newRow("text that is no number")
        << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=ftp://h/\n"
                      "retries=many\ntimeout=long\n")
        << true << QByteArray() << "1" << 4 << true << QStringList{"ftp://h/1|5|0"} << 4 << "";
    QTest::newRow("mirror without url")
        << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nretries=2\n") << true << QByteArray()
        << "12" << 4 << true << QStringList{"/12|2|15"} << 4 << "";
    QTest::newRow("groups no element names are not read")
        << QByteArray("[mirrors]\nsize=1\n1\\mirror=a\nextra=b\n[a]\nurl=http://a\n"
                      "[b]\nurl=http://b\n")
        << true << QByteArray() << "3" << 4 << true << QStringList{"http://a/3|5|15"} << 4 << "";
    QTest::newRow("empty array") << QByteArray("[mirrors]\nsize=0\n") << true << QByteArray() << "3"
                                 << 4 << false << QStringList{} << 4 << "";
    QTest::newRow("no mirrors file")
        << QByteArray() << true << QByteArray() << "3" << 4 << false << QStringList{} << 4 << "";

    QTest::newRow("streams 8 and a proxy")
        << oneMirror << true
        << QByteArray("[update]\nstreams=8\nproxy=http://user:pw@127.0.0.1:3128\n") << "12" << 4
        << true << one << 8 << "http://user:pw@127.0.0.1:3128";
    QTest::newRow("streams 0") << oneMirror << true << QByteArray("[update]\nstreams=0\n") << "12"
                               << 4 << true << one << 1 << "";
    QTest::newRow("streams as a word")
        << oneMirror << true << QByteArray("[update]\nstreams=four\n") << "12" << 4 << true << one
        << 1 << "";
    QTest::newRow("no streams key") << oneMirror << true << QByteArray("[update]\nproxy=\n") << "12"
                                    << 6 << true << one << 6 << "";
    QTest::newRow("keys outside the group update are not read")
        << oneMirror << true << QByteArray("[current]\nstreams=9\nproxy=http://p\n") << "12" << 3
        << true << one << 3 << "";
    QTest::newRow("settings file missing")
        << oneMirror << true << QByteArray() << "12" << 4 << true << one << 4 << "";
    QTest::newRow("no settings path: default streams, direct")
        << oneMirror << false << QByteArray("[update]\nstreams=9\nproxy=http://p\n") << "12" << 5
        << true << one << 5 << "";
    QTest::newRow("default never below one")
        << oneMirror << false << QByteArray() << "12" << 0 << true << one << 1 << "";
}

void TestSessionConfig::readsConfiguration()
{
    QFETCH(QByteArray, mirrorsIni);
    QFETCH(bool, withSettingsPath);
    QFETCH(QByteArray, updateIni);
    QFETCH(QString, version);
    QFETCH(int, defaultStreams);
    QFETCH(bool, result);
    QFETCH(QStringList, mirrors);
    QFETCH(int, streams);
    QFETCH(QString, proxy);

    QVERIFY(scratch.isValid());
    const QString dir = scratch.filePath(QTest::currentDataTag());
    QVERIFY(QDir().mkpath(dir));
    FTPProductDownloadSession::InitialParameters p;
    p.clientType = "vm3";
    p.version = version;
    p.mirrorsFile = dir + "/mirrors.ini";
    p.settingsFile = withSettingsPath ? dir + "/update.ini" : QString();
    p.downloadDir = dir + "/download";
    p.defaultStreams = defaultStreams;
    if (!mirrorsIni.isNull())
        QVERIFY(writeFile(p.mirrorsFile, mirrorsIni));
    if (!updateIni.isNull())
        QVERIFY(writeFile(dir + "/update.ini", updateIni));

    FTPProductDownloadSession session;
    QSignalSpy messages(&session, &FTPProductDownloadSession::message);
    QCOMPARE(session.initialize(p), result);
    QCOMPARE(describe(session.getMirrors()), mirrors);
    QCOMPARE(session.getStreamCount(), streams);
    QCOMPARE(session.getProxy(), proxy);
    QCOMPARE(session.params.mirrorsFile, p.mirrorsFile);
    QCOMPARE(session.params.version, version);
    QCOMPARE(session.getState(), PDS_Starting);
    QVERIFY(session.getStreams().isEmpty());
    QCOMPARE(messages.count(), 0);
}

QTEST_GUILESS_MAIN(TestSessionConfig)
#include "tst_session_sessionconfig.moc"
