// The relay that tags stream signals with the slot index, the choice of stream by URL scheme
// and the emptying of a directory tree.
#include "ftpdownloadstream.h"
#include "httpdownloadstream.h"
#include "producttree.h"
#include "streamrelay.h"

#include <QDirIterator>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(SingleFileDownloadStream*)

class TestDownloadRelay : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;

    QString freshDir()
    {
        static int n = 0;
        const QString dir = tmp.path() + QString("/d%1").arg(++n);
        if (!QDir().mkpath(dir))
            return QString();
        return dir;
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
            const QString rel = QDir(dir).relativeFilePath(fi.filePath());
            out << (fi.isSymLink() ? "l " : fi.isDir() ? "d " : "f ") + rel;
        }
        out.sort();
        return out;
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

        using R = DownloadStreamIdentifiedSignals;
        QStringList seen;
        connect(&relay, &R::stateChanged, [&](int i, DownloadStream_State s) {
            seen << QString("%1 state %2").arg(i).arg(s);
        });
        connect(&relay, &R::message,
                [&](int i, QString t) { seen << QString("%1 message ").arg(i) + t; });
        connect(&relay, &R::failedToConnect,
                [&](int i, QString t) { seen << QString("%1 failedToConnect ").arg(i) + t; });
        connect(&relay, &R::connected, [&](int i) { seen << QString("%1 connected").arg(i); });
        connect(&relay, &R::disconnected,
                [&](int i) { seen << QString("%1 disconnected").arg(i); });
        connect(&relay, &R::progressCount, [&](int i, qint64 d, qint64 t) {
            seen << QString("%1 progress %2 %3").arg(i).arg(d).arg(t);
        });
        connect(&relay, &R::fileFinished, [&](int i) { seen << QString("%1 finished").arg(i); });
        connect(&relay, &R::fileError, [&](int i, DownloadStream_Error e, QString t) {
            seen << QString("%1 error %2 ").arg(i).arg(e) + t;
        });

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
        QTest::addColumn<int>("before"); // -1 none, else the kind of the existing stream
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("after"); // -1 none
        QTest::addColumn<bool>("sameObject");

        const struct {
            const char* url;
            int wanted;
        } schemes[] = {{"http://127.0.0.1/m", 1},  {"HTTP://127.0.0.1/m", 1},
                       {"https://127.0.0.1/m", 1}, {"hTTpS://127.0.0.1/m", 1},
                       {"ftp://127.0.0.1/m", 0},   {"Ftp://127.0.0.1/m", 0},
                       {"file:///tmp/m", -1},      {"gopher://127.0.0.1/", -1},
                       {"127.0.0.1/m", -1},        {"", -1}};
        for (const auto& s : schemes) {
            for (int before : {-1, 0, 1}) {
                const bool ok = s.wanted >= 0;
                const int after = ok ? s.wanted : before;
                const bool same = before >= 0 && after == before;
                QTest::addRow("%s, before %d", s.url, before)
                    << QString(s.url) << before << ok << after << same;
            }
        }
    }
    void adjust()
    {
        QFETCH(QString, url);
        QFETCH(int, before);
        QFETCH(bool, result);
        QFETCH(int, after);
        QFETCH(bool, sameObject);

        const QString root = freshDir();
        SingleFileDownloadStream* stream = nullptr;
        if (before == 1)
            stream = new HTTPDownloadStream(root);
        else if (before == 0)
            stream = new FTPDownloadStream(root);
        QPointer<SingleFileDownloadStream> old = stream;

        QCOMPARE(adjustDownloadStream(&stream, QUrl(url), root), result);
        if (after < 0) {
            QVERIFY(!stream);
            return;
        }
        QVERIFY(stream);
        QCOMPARE(stream->kind(), after);
        QCOMPARE(stream == old.data(), sameObject);
        if (!sameObject) {
            QVERIFY(old.isNull());
            QCOMPARE(stream->getState(), DSS_Idle);
            QVERIFY(qobject_cast<HTTPDownloadStream*>(stream) || after != 1);
            QVERIFY(qobject_cast<FTPDownloadStream*>(stream) || after != 0);
        }
        delete stream;
    }

    void adjustKeepsStateAndConnections()
    {
        const QString root = freshDir();
        SingleFileDownloadStream* stream = nullptr;
        QVERIFY(adjustDownloadStream(&stream, QUrl("http://127.0.0.1:1/a"), root));
        DownloadStreamIdentifiedSignals relay(2);
        connectStreamToRelay(stream, &relay);
        QSignalSpy states(&relay, &DownloadStreamIdentifiedSignals::stateChanged);
        // Recording the host needs no server.
        stream->initiateConnection(QUrl("http://127.0.0.1:1/a"), QString(), 1, 0);
        QTRY_COMPARE(stream->getState(), DSS_Ready);

        SingleFileDownloadStream* kept = stream;
        QVERIFY(adjustDownloadStream(&stream, QUrl("https://127.0.0.1:2/b"), root));
        QCOMPARE(stream, kept);
        QCOMPARE(stream->getState(), DSS_Ready);
        stream->cancel();
        QTRY_COMPARE(states.size(), 3);
        QCOMPARE(states.last().at(0).toInt(), 2);
        QCOMPARE(states.last().at(1).value<DownloadStream_State>(), DSS_Idle);
        delete stream;
    }

    void adjustReplacingCancelsCurrentFile()
    {
        const QString root = freshDir();
        SingleFileDownloadStream* stream = nullptr;
        QVERIFY(adjustDownloadStream(&stream, QUrl("http://127.0.0.1:1/"), root));
        QPointer<SingleFileDownloadStream> old = stream;
        stream->initiateConnection(QUrl("http://127.0.0.1:1/"), QString(), 1, 0);
        QTRY_COMPARE(stream->getState(), DSS_Ready);
        stream->getFile("sub/part.bin", "", 0);
        QCOMPARE(stream->getState(), DSS_Downloading);
        QVERIFY(QFile::exists(root + "/sub/part.bin"));

        QVERIFY(adjustDownloadStream(&stream, QUrl("ftp://127.0.0.1:1/"), root));
        QVERIFY(old.isNull());
        QVERIFY(!QFile::exists(root + "/sub/part.bin"));
        QCOMPARE(stream->kind(), 0);
        QCOMPARE(stream->getState(), DSS_Idle);
        delete stream;
    }

    void cleanupTree_data()
    {
        QTest::addColumn<QStringList>("tree"); // "d path", "f path", "l path=>target"
        QTest::addColumn<QStringList>("left");

        QTest::newRow("empty") << QStringList{} << QStringList{};
        QTest::newRow("files") << QStringList{"f a", "f b.dat"} << QStringList{};
        QTest::newRow("nested and hidden") << QStringList{"d x/y/z",       "f x/y/z/.h", "f x/.cfg",
                                                          "d .hid/deeper", "f .hid/f",   "f top"}
                                           << QStringList{};
        QTest::newRow("link to outside file") << QStringList{"d keep", "l keep/ln=>OUT/outfile",
                                                             "f keep/gone", "d other", "f other/x"}
                                              << QStringList{"d keep", "l keep/ln"};
        QTest::newRow("link to outside directory")
            << QStringList{"l dirlink=>OUT/outdir", "f plain"} << QStringList{"l dirlink"};
        QTest::newRow("broken link")
            << QStringList{"l dead=>OUT/nothing", "f plain"} << QStringList{"l dead"};
        QTest::newRow("fifo") << QStringList{"d p", "p p/pipe"} << QStringList{};
    }
    void cleanupTree()
    {
        QFETCH(QStringList, tree);
        QFETCH(QStringList, left);

        const QString dir = freshDir();
        const QString out = freshDir();
        QVERIFY(writeFile(out + "/outfile", "outside"));
        QVERIFY(QDir().mkpath(out + "/outdir"));
        QVERIFY(writeFile(out + "/outdir/inner", "inner"));

        for (const QString& entry : tree) {
            const QString what = entry.mid(2);
            const QString path = dir + "/" + what.section("=>", 0, 0);
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            switch (entry.at(0).toLatin1()) {
            case 'd':
                QVERIFY(QDir().mkpath(path));
                break;
            case 'f':
                QVERIFY(writeFile(path, "data"));
                break;
            case 'l':
                QVERIFY(QFile::link(what.section("=>", 1).replace("OUT", out), path));
                break;
            case 'p':
                QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
                break;
            }
        }

        cleanupDirectory(dir);
        QVERIFY(QFileInfo(dir).isDir());
        QCOMPARE(listing(dir), left);
        QCOMPARE(listing(out), (QStringList{"d outdir", "f outdir/inner", "f outfile"}));
        QCOMPARE(readFile(out + "/outfile"), QByteArray("outside"));
    }

    void cleanupMissingPath()
    {
        const QString missing = tmp.path() + "/does/not/exist";
        cleanupDirectory(missing);
        QVERIFY(!QFileInfo::exists(missing));
        QVERIFY(!QFileInfo::exists(tmp.path() + "/does"));
    }
};

QTEST_GUILESS_MAIN(TestDownloadRelay)
#include "tst_download_relay.moc"
