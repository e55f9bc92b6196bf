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
// Mirrors as "url|retries|timeout", then "streams N" and "proxy P", compared as one list so a
// mismatch prints clearly.
QStringList describe(const FTPProductDownloadSession& s)
{
    QStringList out;
    for (const auto& m : s.getMirrors())
        out << QString("%1|%2|%3%4")
                   .arg(m.url)
                   .arg(m.retries)
                   .arg(m.timeout)
                   .arg(m.marked ? "|marked" : "");
    return out << QString("streams %1").arg(s.getStreamCount()) << "proxy " + s.getProxy();
}

const QByteArray oneMirror = "[mirrors]\nsize=1\n1\\mirror=a\n[a]\nurl=http://127.0.0.1/x/\n";
const QString one = "http://127.0.0.1/x/12|5|15";
const QByteArray noSettingsPath = "<none>";

// A mirror list of one entry "m" with these keys.
QByteArray mirrorWith(const QByteArray& keys)
{
    return "[mirrors]\nsize=1\n1\\mirror=m\n[m]\n" + keys;
}

// updateIni: null when the settings file does not exist. outcome: no mirror lines when
// initialize fails.
void addRow(const char* tag, const QByteArray& mirrorsIni, const QByteArray& updateIni,
            const QStringList& outcome, int defaultStreams = 4)
{
    QTest::newRow(tag) << mirrorsIni << updateIni << defaultStreams << outcome;
}
} // namespace

void TestSessionConfig::readsConfiguration_data()
{
    QTest::addColumn<QByteArray>("mirrorsIni");
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<int>("defaultStreams");
    QTest::addColumn<QStringList>("outcome");

    addRow("two mirrors, slash added once, zero retries and timeout",
           "[mirrors]\nsize=2\n1\\mirror=a\n2\\mirror=b\n[a]\nurl=http://127.0.0.1:8080/pub\n"
           "[b]\nurl=ftp://127.0.0.1:2121/files/\nretries=0\ntimeout=0\n",
           "[update]\n",
           {"http://127.0.0.1:8080/pub/12|5|15", "ftp://127.0.0.1:2121/files/12|5|0", "streams 4",
            "proxy "});
    addRow("explicit retries and timeout", mirrorWith("url=http://h/\nretries=3\ntimeout=7\n"), {},
           {"http://h/12|3|7", "streams 4", "proxy "});
    addRow("values beyond a signed 32-bit number",
           mirrorWith("url=ftp://h/\nretries=2147483648\ntimeout=2147483648\n"), {},
           {"ftp://h/12|5|15", "streams 4", "proxy "});
    addRow("text that is no number", mirrorWith("url=ftp://h/\nretries=many\ntimeout=long\n"), {},
           {"ftp://h/12|5|0", "streams 4", "proxy "});
    addRow("mirror without url", mirrorWith("retries=2\n"), {},
           {"/12|2|15", "streams 4", "proxy "});
    addRow("groups no element names are not read",
           "[mirrors]\nsize=1\n1\\mirror=a\nextra=b\n[a]\nurl=http://a\n[b]\nurl=http://b\n", {},
           {"http://a/12|5|15", "streams 4", "proxy "});
    addRow("empty array", "[mirrors]\nsize=0\n", {}, {"streams 4", "proxy "});
    addRow("no mirrors file", {}, {}, {"streams 4", "proxy "});

    addRow("streams 8 and a proxy", oneMirror,
           "[update]\nstreams=8\nproxy=http://user:pw@127.0.0.1:3128\n",
           {one, "streams 8", "proxy http://user:pw@127.0.0.1:3128"});
    addRow("streams 0", oneMirror, "[update]\nstreams=0\n", {one, "streams 1", "proxy "});
    addRow("no streams key", oneMirror, "[update]\nproxy=\n", {one, "streams 6", "proxy "}, 6);
    addRow("keys outside the group update are not read", oneMirror,
           "[current]\nstreams=9\nproxy=http://p\n", {one, "streams 3", "proxy "}, 3);
    addRow("no settings path: default streams, direct", oneMirror, noSettingsPath,
           {one, "streams 5", "proxy "}, 5);
    addRow("default never below one", oneMirror, noSettingsPath, {one, "streams 1", "proxy "}, 0);
}

void TestSessionConfig::readsConfiguration()
{
    QFETCH(QByteArray, mirrorsIni);
    QFETCH(QByteArray, updateIni);
    QFETCH(int, defaultStreams);
    QFETCH(QStringList, outcome);

    QVERIFY(scratch.isValid());
    const QString dir = scratch.filePath(QTest::currentDataTag());
    QVERIFY(QDir().mkpath(dir));
    FTPProductDownloadSession::InitialParameters p;
    p.clientType = "vm3";
    p.version = "12";
    p.mirrorsFile = dir + "/mirrors.ini";
    p.downloadDir = dir + "/download";
    p.defaultStreams = defaultStreams;
    if (!mirrorsIni.isNull())
        QVERIFY(writeFile(p.mirrorsFile, mirrorsIni));
    // Written even without a path to it: nothing may read it then.
    if (!updateIni.isNull())
        QVERIFY(writeFile(dir + "/update.ini", updateIni == noSettingsPath
                                                   ? "[update]\nstreams=9\nproxy=http://p\n"
                                                   : updateIni));
    if (updateIni != noSettingsPath)
        p.settingsFile = dir + "/update.ini";

    FTPProductDownloadSession session;
    QSignalSpy messages(&session, &FTPProductDownloadSession::message);
    QCOMPARE(session.initialize(p), outcome.size() > 2);
    QCOMPARE(describe(session), outcome);
    QCOMPARE(messages.count(), 0);
}

QTEST_GUILESS_MAIN(TestSessionConfig)
#include "tst_session_sessionconfig.moc"
