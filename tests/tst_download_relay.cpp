// The relay that tags stream signals with the slot index, the choice of stream by URL scheme
// and the emptying of a directory tree.
#include "ftpdownloadstream.h"
#include "httpdownloadstream.h"
#include "producttree.h"
#include "streamrelay.h"

#include <QDirIterator>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestDownloadRelay : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;

    QString freshDir()
    {
        static int n = 0;
        const QString dir = tmp.path() + QString("/d%1").arg(++n);
        return QDir().mkpath(dir) ? dir : QString();
    }

    // Every entry below dir, links not followed, as "d name", "f name" or "l name".
    static QStringList listing(const QString& dir)
    {
        QStringList out;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo fi = it.fileInfo();
            out << (fi.isSymLink() ? "l "
                    : fi.isDir()   ? "d "
                                   : "f ") +
                       QDir(dir).relativeFilePath(fi.filePath());
        }
        out.sort();
        return out;
    }

    template <typename T> static QString text(T value)
    {
        if constexpr (std::is_enum_v<T>)
            return QString::number(int(value));
        else
            return QVariant::fromValue(value).toString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<DownloadStream_State>("DownloadStream_State");
        qRegisterMetaType<DownloadStream_Error>("DownloadStream_Error");
        QVERIFY(tmp.isValid());
    }

    void relayAddsIndexQueuedInOrder()
    {
        DownloadStreamIdentifiedSignals relay(7);
        QCOMPARE(relay.getStreamIndex(), 7);
        HTTPDownloadStream stream(freshDir());
        connectStreamToRelay(&stream, &relay);

        QStringList seen;
        const auto record = [&seen](const char* name) {
            return [&seen, name](int index, auto... args) {
                seen << (QStringList{QString::number(index), name} + QStringList{text(args)...})
                            .join(' ');
            };
        };
        using R = DownloadStreamIdentifiedSignals;
        connect(&relay, &R::stateChanged, record("state"));
        connect(&relay, &R::message, record("message"));
        connect(&relay, &R::failedToConnect, record("failedToConnect"));
        connect(&relay, &R::connected, record("connected"));
        connect(&relay, &R::disconnected, record("disconnected"));
        connect(&relay, &R::progressCount, record("progress"));
        connect(&relay, &R::fileFinished, record("finished"));
        connect(&relay, &R::fileError, record("error"));

        emit stream.fileError(DSE_WrongLength, "ERROR: x");
        emit stream.stateChanged(DSS_Downloading);
        emit stream.message("m");
        emit stream.failedToConnect("no route");
        emit stream.connected();
        emit stream.disconnected();
        emit stream.progressCount(5000000000, -1);
        emit stream.fileFinished();
        // Never delivered inside the stream's own call.
        QVERIFY(seen.isEmpty());
        QTRY_COMPARE(seen.size(), 8);
        QCOMPARE(seen, (QStringList{"7 error 2 ERROR: x", "7 state 3", "7 message m",
                                    "7 failedToConnect no route", "7 connected", "7 disconnected",
                                    "7 progress 5000000000 -1", "7 finished"}));
    }

    void adjust_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("before"); // -1 none, 0 an FTP stream, 1 an HTTP stream mid-file
        QTest::addColumn<QString>("outcome");

        const QStringList kinds{"ftp", "http"};
        const QList<QPair<const char*, int>> schemes{
            {"http://127.0.0.1/m", 1},   {"HTTP://127.0.0.1/m", 1}, {"hTTpS://127.0.0.1/m", 1},
            {"ftp://127.0.0.1/m", 0},    {"Ftp://127.0.0.1/m", 0},  {"file:///tmp/m", -1},
            {"gopher://127.0.0.1/", -1}, {"127.0.0.1/m", -1},       {"", -1}};
        for (const auto& [url, wanted] : schemes) {
            for (int before : {-1, 0, 1}) {
                const int after = wanted >= 0 ? wanted : before;
                const QString kept = before >= 0 && after == before ? "kept " : "new ";
                QTest::addRow("%s, before %d", url, before)
                    << QString(url) << before
                    << QString(wanted < 0 ? "refused, " : "") +
                           (after < 0 ? "none" : kept + kinds[after]);
            }
        }
    }
    void adjust()
    {
        QFETCH(QString, url);
        QFETCH(int, before);
        QFETCH(QString, outcome);

        const QString root = freshDir();
        SingleFileDownloadStream* stream = nullptr;
        if (before == 0)
            stream = new FTPDownloadStream(root);
        if (before == 1) {
            stream = new HTTPDownloadStream(root);
            // Recording the host needs no server; the request is still in flight below.
            stream->initiateConnection(QUrl("http://127.0.0.1:1/"), QString(), 1, 0);
            QTRY_COMPARE(stream->getState(), DSS_Ready);
            stream->getFile("sub/part.bin", "", 0);
        }
        QPointer<SingleFileDownloadStream> old = stream;

        const bool ok = adjustDownloadStream(&stream, QUrl(url), root);
        const QString kind = qobject_cast<HTTPDownloadStream*>(stream)  ? "http"
                             : qobject_cast<FTPDownloadStream*>(stream) ? "ftp"
                                                                        : "?";
        const QString kept = stream == old.data() ? "kept " : "new ";
        QCOMPARE(QString(ok ? "" : "refused, ") + (stream ? kept + kind : "none"), outcome);
        QCOMPARE(old.isNull(), before < 0 || kept == "new ");
        if (stream && kept == "new ")
            QCOMPARE(stream->getState(), DSS_Idle);
        // Replacing a stream cancels its file; keeping it leaves the transfer alone.
        QCOMPARE(QFile::exists(root + "/sub/part.bin"), before == 1 && kept == "kept ");
        delete stream;
    }

    void cleanupTree()
    {
        const QString dir = freshDir();
        const QString out = freshDir();
        QVERIFY(writeFile(out + "/outfile", "outside"));
        QVERIFY(writeFile(out + "/outdir/inner", "inner"));

        // "d path", "f path", "p path" (a fifo), "l path=>target below out"
        const QStringList tree{"d x/y/z/empty",
                               "f x/y/z/.h",
                               "f x/.cfg",
                               "f .hid/deeper/f",
                               "f top",
                               "p p/pipe",
                               "f keep/gone",
                               "l keep/ln=>outfile",
                               "l dirlink=>outdir",
                               "l dead=>nothing"};
        for (const QString& entry : tree) {
            const QString what = entry.mid(2);
            const QString path = dir + "/" + what.section("=>", 0, 0);
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            if (entry[0] == 'd')
                QVERIFY(QDir().mkpath(path));
            else if (entry[0] == 'f')
                QVERIFY(writeFile(path, "data"));
            else if (entry[0] == 'p')
                QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            else
                QVERIFY(QFile::link(out + "/" + what.section("=>", 1), path));
        }

        cleanupDirectory(dir);
        QVERIFY(QFileInfo(dir).isDir());
        QCOMPARE(listing(dir), (QStringList{"d keep", "l dead", "l dirlink", "l keep/ln"}));
        QCOMPARE(listing(out), (QStringList{"d outdir", "f outdir/inner", "f outfile"}));

        // A path that does not exist is left alone, not created.
        cleanupDirectory(dir + "/does/not/exist");
        QVERIFY(!QFileInfo::exists(dir + "/does"));
    }
};

QTEST_GUILESS_MAIN(TestDownloadRelay)
#include "tst_download_relay.moc"
