// The protocol-independent half of a download stream, driven by a scripted protocol binding:
// states, the final check, retries, cancel and local failures.
#include "downloadstream.h"
#include "producttree.h"
#include "streamrecorder.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// Stands in for the HTTP/FTP binding: records every request and lets the test decide how it
// ends.
class ScriptedStream : public SingleFileDownloadStream
{
public:
    using SingleFileDownloadStream::SingleFileDownloadStream;

    int kind() const override { return 1; }
    void initiateConnection(const QUrl& url, const QString& proxy, int retries,
                            int timeout) override
    {
        internalInitDownloadParams(url, proxy, retries, timeout);
        state = DSS_Ready; // quietly: the binding's own signals are not under test here
    }

    bool initParams(const QString& proxyText)
    {
        return internalInitDownloadParams(QUrl("http://127.0.0.1/"), proxyText, 1, 0);
    }
    QUrl proxyUrl() const { return proxy; }
    qint64 limit() const { return byteLimit(); }
    void force(DownloadStream_State s) { setState(s); }

    // The transport's answer to the request in flight: "finish", "overflow" or "fail".
    void answer(const QString& how, const QByteArray& data)
    {
        fileRequestId = -1;
        device = nullptr;
        if (how == "fail")
            return handleFileRequestError(QString::fromUtf8(data));
        file->write(data);
        if (how == "overflow")
            return handleFileTooLarge();
        finalCheckCurrentFile();
    }

    QStringList requests;
    QFile* device = nullptr;

protected:
    void checkGetFilePrerequisitions() override { checked = true; }
    int createFileRequest(const QString& path, QFile* file) override
    {
        // Every request must follow the binding's check of its connection.
        requests << (checked ? path : "unchecked " + path);
        checked = false;
        device = file;
        return requests.size();
    }

private:
    bool checked = false;
};

// Every file below dir as "path=content".
QStringList files(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out << QDir(dir).relativeFilePath(path) + "=" + readFile(path);
    }
    out.sort();
    return out;
}

// md5 of "abcd"
const QString sum = "e2fc714c4727ee9395f324cd2e7f331f";

} // namespace

class TestDownloadStream : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    QString root;

    // Lists are "; "-separated. Steps: connect URL RETRIES, get NAME MD5|- LENGTH, limit N,
    // finish|overflow|fail DATA, cancel, state N, write PATH DATA, mkdir PATH, proxy TEXT [URL]. In
    // events ROOT is the local root and RETRY the notice of a retry.
    static void row(const char* tag, const QString& steps, const QString& events,
                    const QString& requests, const QString& files)
    {
        QTest::newRow(tag) << steps << events << requests << files;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<DownloadStream_State>("DownloadStream_State");
        qRegisterMetaType<DownloadStream_Error>("DownloadStream_Error");
        QVERIFY(tmp.isValid());
    }

    void init()
    {
        root = tmp.path() + "/" + QTest::currentTestFunction() + "_" +
               (QTest::currentDataTag() ? QTest::currentDataTag() : "");
        root.replace(' ', '_');
        QVERIFY(QDir().mkpath(root));
    }

    void script_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("requests");
        QTest::addColumn<QString>("files");
        const QString c = "connect http://127.0.0.1/m/1 5; ";
        const QString c3 = "connect http://127.0.0.1/m 3; ";
        const QString fin = "state 3; state 2; finished";

        const QString wrongLength = "state 3; state 2; error 2 ERROR: Wrong length of ROOT/";
        row("checked, upper-case sum, nested",
            c + "get a/b/f.bin " + sum.toUpper() + " 4; limit 5; finish abcd", fin,
            "/m/1/a/b/f.bin", "a/b/f.bin=abcd");
        row("unchecked, any length, no path",
            "connect http://127.0.0.1 5; get f.bin - 12; limit -1; finish abcd", fin, "/f.bin",
            "f.bin=abcd");
        row("index limit, leftover truncated",
            c + "write v.ini LLLLLLLL; get v.ini - 0; limit 67108864; finish abc", fin,
            "/m/1/v.ini", "v.ini=abc");
        row("large limit, busy stream ignores a file",
            c + "get big " + sum + " 5000000000; limit 5000000001; get other - 0", "state 3",
            "/m/1/big", "big=");
        row("short, name taken literally", c + "get s%2.bin " + sum + " 5; finish abcd",
            wrongLength + "s%2.bin (4 while required 5)", "/m/1/s%2.bin", "");
        row("error page of the right size",
            "connect ftp://127.0.0.1/m/5/ 5; get e.bin " + sum + " 4; finish EEEE",
            "state 3; state 2; error 1 ERROR: Wrong checksum for ROOT/e.bin", "/m/5/e.bin", "");
        row("too large, checked, path not encoded",
            "connect http://127.0.0.1/m%20x/5 5; get a%20b%.dat " + sum + " 4; overflow abcde",
            wrongLength + "a%20b%.dat (5 while required 4)", "/m x/5/a%20b%.dat", "");
        row("too large, unchecked", c + "get t - 4; overflow abcde",
            wrongLength + "t (5 while required 4)", "/m/1/t", "");
        row("three tries", c3 + "get r - 0; fail refused; fail refused; fail refused",
            "state 3; RETRY; state 3; message Download attempt 2; RETRY; state 3; message "
            "Download attempt 3; state 2; error 4 ERROR: refused",
            "/m/r; /m/r; /m/r", "");
        row("no retries", "connect http://127.0.0.1/m 0; get r - 0; fail refused",
            "state 3; state 2; error 4 ERROR: refused", "/m/r", "");
        row("negative retries", "connect http://127.0.0.1/m -2; get r - 0; fail refused",
            "state 3; state 2; error 4 ERROR: refused", "/m/r", "");
        row("cancel in the retry pause", c3 + "get c - 0; fail reset; cancel",
            "state 3; RETRY; state 0", "/m/c", "");
        row("cancel downloading, then another file",
            c + "get x/c - 0; cancel; " + c + "get y - 0; finish ok", "state 3; state 0; " + fin,
            "/m/1/x/c; /m/1/y", "y=ok");
        row("cancel before the announcement", c + "get c - 0; finish data; cancel",
            "state 3; state 2; state 0", "/m/1/c", "c=data");
        row("local failure on a retry", c3 + "get r - 0; fail reset; mkdir r",
            "state 3; RETRY; state 2; error 3 ERROR: failed creating ROOT/r", "/m/r", "");
        row("proxy texts",
            "proxy ; proxy 127.0.0.1:3129 http://127.0.0.1:3129; proxy HTTP://127.0.0.1:8 "
            "http://127.0.0.1:8; proxy socks5://127.0.0.1:1080 refused; proxy 127.0.0.1:99999999 "
            "refused",
            "", "", "");
        row("idle", "get a/x - 1", "", "", "");
        row("connected", c + "state 1; get a/x - 1", "state 1", "", "");
        row("file where a directory must go", c + "write a x; get a/b/c - 1",
            "error 3 ERROR: failed creating subdirectory: ROOT/a/b", "", "a=x");
        row("directory where the file must go", c + "mkdir d/dir; get d/dir - 1",
            "error 3 ERROR: failed creating ROOT/d/dir", "", "");
        for (const char* name : {"../out.dat", "/tmp/abs.dat", ""})
            QTest::addRow("bad name '%s'", name)
                << c + "get " + name + " - 1"
                << QString("error 3 ERROR: failed to detect local path for ") + name << ""
                << "";
    }
    void script()
    {
        QFETCH(QString, steps);
        QFETCH(QString, events);
        QFETCH(QString, requests);
        QFETCH(QString, files);

        ScriptedStream s(root);
        StreamRecorder rec(&s);
        for (const QString& step : steps.split("; ")) {
            const QStringList a = step.split(' ');
            const QString data = a.mid(1).join(' ');
            if (a[0] == "finish" || a[0] == "overflow" || a[0] == "fail") {
                QTRY_VERIFY(s.device);
                QVERIFY(QFile::exists(s.getDestFilePath()));
            }
            const auto before = qMakePair(s.requests.size(), rec.events.count("finished"));
            if (a[0] == "connect")
                s.initiateConnection(QUrl(a[1]), QString(), a[2].toInt(), 0);
            else if (a[0] == "get")
                s.getFile(a[1], a[2] == "-" ? QString() : a[2], a[3].toLongLong());
            else if (a[0] == "proxy") // TEXT [URL], "refused" for no usable proxy
                QCOMPARE(s.initParams(a[1]) ? s.proxyUrl().toString() : "refused", a.value(2));
            else if (a[0] == "limit")
                QCOMPARE(s.limit(), a[1].toLongLong());
            else if (a[0] == "cancel")
                s.cancel();
            else if (a[0] == "state")
                s.force(DownloadStream_State(a[1].toInt()));
            else if (a[0] == "write")
                QVERIFY(writeFile(root + "/" + a[1], a[2].toUtf8()));
            else if (a[0] == "mkdir")
                QVERIFY(QDir().mkpath(root + "/" + data));
            else
                s.answer(a[0], data.toUtf8());
            // A retry and the announcement of a finished file wait for the event loop.
            if (a[0] != "get")
                QCOMPARE(s.requests.size(), before.first);
            QCOMPARE(rec.events.count("finished"), before.second);
        }
        QTest::qWait(30);
        const QString retry = "message Download error. Timeout 0 seconds to repeat.";
        QCOMPARE(rec.events.join("; "), events.replace("ROOT", root).replace("RETRY", retry));
        QCOMPARE(s.requests.join("; "), requests);
        QCOMPARE(::files(root).join("; "), files);
        QVERIFY(!QFile::exists(tmp.path() + "/out.dat") && !QFile::exists("/tmp/abs.dat"));
    }

    void progress()
    {
        ScriptedStream s(root);
        StreamRecorder rec(&s);
        s.initiateConnection(QUrl("http://127.0.0.1/"), QString(), 1, 0);
        s.getFile("p.bin", "", 1000);
        quint64 done = 99, total = 0;
        s.getProgress(nullptr, &total);
        s.getProgress(&done, nullptr);
        s.getProgress(nullptr, nullptr);
        QCOMPARE(qMakePair(done, total), qMakePair(quint64(0), quint64(1000)));
        // The total the server announces is passed on but does not replace the expected length.
        QMetaObject::invokeMethod(&s, "onDataTransferProgress", Q_ARG(qint64, 300),
                                  Q_ARG(qint64, 5000000000));
        s.getProgress(&done, &total);
        QCOMPARE(qMakePair(done, total), qMakePair(quint64(300), quint64(1000)));
        QCOMPARE(rec.progress.last(), qMakePair(qint64(300), qint64(5000000000)));
    }
};

QTEST_GUILESS_MAIN(TestDownloadStream)
#include "tst_download_stream.moc"
