// The window: its figures, and the workflow with a user whose message boxes the test answers.
#include "approottesting.h"
#include "curlmulti.h"
#include "ftpproductdownloadsession.h"
#include "installation.h"
#include "mainwindow.h"
#include "producttree.h"
#include "ratebudget.h"
#include "testservers.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

namespace
{

const QString clientType = "client_linux_x86";

// The window with its protected state in reach, and its widgets found by object name.
class ProbeWindow : public MainWindow
{
public:
    ProbeWindow() : MainWindow(false, "client_linux_x86", 1) {}
    FTPProductDownloadSession* runningSession() const { return session; }
    void setTimerId(int id) { timerId = id; }
    QString log() const { return child<QTextEdit>("outputTextEdit")->toPlainText(); }
    template <typename T> T* child(const char* name) const { return findChild<T*>(name); }
};

// Answers every modal message box: with `prefer` where it is offered, else Ignore, else OK.
// Records "title|text" of each box; boxes whose text holds `hold` wait while it is set.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || answered.contains(box))
                return;
            if (!recorded.contains(box)) {
                recorded << box;
                seen << box->windowTitle() + "|" + box->text();
            }
            if (!hold.isEmpty() && box->text().contains(hold))
                return;
            answered << box;
            QAbstractButton* button = box->button(prefer);
            button = button ? button : box->button(QMessageBox::Ignore);
            (button ? button : box->button(QMessageBox::Ok))->click();
        });
        timer.start(20);
    }
    QStringList seen;
    QString hold;
    QMessageBox::StandardButton prefer = QMessageBox::NoButton;

private:
    QTimer timer;
    QList<QPointer<QMessageBox>> answered, recorded;
};

} // namespace

class UiTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<Installation> inst;
    QTemporaryDir mirrorRoot;
    NginxServer nginx;
    QString caseName;
    int caseCount = 0;

private Q_SLOTS:
    void initTestCase() { QVERIFY2(nginx.start(mirrorRoot.path()), qPrintable(nginx.output())); }

    void init()
    {
        inst = std::make_unique<Installation>();
        QVERIFY(inst->create());
        inst->writeSettings(1);
        setAppRootPathForTesting(inst->dir());
        qputenv("TMPDIR", QFile::encodeName(inst->tempDir()));
        caseName = QString("case%1").arg(++caseCount);
    }

    void cleanup()
    {
        CurlMulti::instance()->setRateLimit(0);
        setAppRootPathForTesting(QString());
        qputenv("TMPDIR", QFile::encodeName(QFileInfo(inst->root()).path()));
    }

    void progress_data()
    {
        QTest::addColumn<quint64>("current");
        QTest::addColumn<quint64>("total");
        // bar maximum, bar value, done label, total label, time left after the first second
        QTest::addColumn<QString>("shown");
        QTest::newRow("reset") << quint64(0) << quint64(1) << "0|0|0 KB|0 KB|";
        QTest::newRow("a sixth") << quint64(150000) << quint64(1000000)
                                 << "10000|1500|150 KB|1000 KB|about 10 s left";
        QTest::newRow("below 1000 bytes")
            << quint64(999) << quint64(5000) << "50|9|0 KB|5 KB|about 5 s left";
        QTest::newRow("total below 100 bytes")
            << quint64(50) << quint64(99) << "0|0|0 KB|0 KB|about 5 s left";
        QTest::newRow("all there") << quint64(5000) << quint64(5000) << "50|50|5 KB|5 KB|";
        // Exact on 32-bit x86 too, where a long holds 4 GiB at most.
        QTest::newRow("beyond 4 GiB") << quint64(5000000000ULL) << quint64(6000000000ULL)
                                      << "60000000|50000000|5000000 KB|6000000 KB|about 5 s left";
    }
    void progress()
    {
        QFETCH(quint64, current);
        QFETCH(quint64, total);
        QFETCH(QString, shown);
        ProbeWindow window;
        // Start from a different display so that every field must really be written.
        window.onProgressUpdate(777777, 888888);
        window.onProgressCount(current, total);
        auto* bar = window.child<QProgressBar>("totalProgressBar");
        QCOMPARE(QStringList({QString::number(bar->maximum()), QString::number(bar->value()),
                              window.child<QLabel>("totalSizeLabel")->text(),
                              window.child<QLabel>("totalTotalSizeLabel")->text()})
                     .join('|'),
                 shown.section('|', 0, 3));
        // The speed is what arrived over the seconds counted, only on the window's own timer.
        window.setTimerId(4242);
        QStringList speeds, times;
        for (int id : {4243, 4242, 4242, 4242}) {
            QTimerEvent tick(id);
            QCoreApplication::sendEvent(&window, &tick);
            speeds << window.child<QLabel>("downloadSpeedLabel")->text();
            times << window.child<QLabel>("timeLeftLabel")->text();
        }
        QCOMPARE(times.mid(0, 2), QStringList({"", shown.section('|', 4)}));
        const quint64 kb = current / 1000;
        QCOMPARE(speeds,
                 QStringList({"0 KB/s", QString("%1 KB/s").arg(kb), QString("%1 KB/s").arg(kb / 2),
                              QString("%1 KB/s").arg(kb / 3)}));
    }

    // Bytes found at hand during the verification are no download speed: the time left starts
    // from what arrives after it.
    void timeLeftAfterVerification()
    {
        ProbeWindow window;
        window.setTimerId(4242);
        QTimerEvent tick(4242);
        window.onVerifying(true);
        window.onProgressCount(500000, 1000000);
        QCoreApplication::sendEvent(&window, &tick);
        QCOMPARE(window.child<QLabel>("timeLeftLabel")->text(), QString());
        window.onVerifying(false);
        window.onProgressCount(501000, 1000000);
        QCoreApplication::sendEvent(&window, &tick);
        QCOMPARE(window.child<QLabel>("timeLeftLabel")->text(), QString("about 8 min left"));
    }

    void timeLeft_data()
    {
        QTest::addColumn<quint64>("bytesLeft");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("text"); // English|German
        QTest::newRow("speed unknown") << quint64(1000) << 0.0 << "|";
        QTest::newRow("nothing left") << quint64(0) << 1000.0 << "|";
        QTest::newRow("a second") << quint64(999) << 1000.0 << "about 5 s left|noch etwa 5 Sek.";
        QTest::newRow("42 s") << quint64(42000) << 1000.0 << "about 45 s left|noch etwa 45 Sek.";
        QTest::newRow("56 s") << quint64(56) << 1.0 << "about 1 min left|noch etwa 1 Min.";
        QTest::newRow("150 s") << quint64(1500) << 10.0 << "about 3 min left|noch etwa 3 Min.";
        QTest::newRow("3599 s") << quint64(3599) << 1.0
                                << "about 1 h 0 min left|noch etwa 1 Std. 0 Min.";
        QTest::newRow("3 h 25 min")
            << quint64(12300) * 8 << 8.0 << "about 3 h 25 min left|noch etwa 3 Std. 25 Min.";
    }
    void timeLeft()
    {
        QFETCH(quint64, bytesLeft);
        QFETCH(double, speed);
        QFETCH(QString, text);
        QCOMPARE(MainWindow::timeLeftText(bytesLeft, speed), text.section('|', 0, 0));
        QTranslator german;
        QVERIFY(german.load(":/i18n/update_de"));
        QCoreApplication::installTranslator(&german);
        const QString shown = MainWindow::timeLeftText(bytesLeft, speed);
        QCoreApplication::removeTranslator(&german);
        QCOMPARE(shown, text.section('|', 1));
    }

    void rateLimit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("bytes"); // -1: refused
        QTest::newRow("bytes") << "1500" << qint64(1500);
        QTest::newRow("K is 1024") << "500K" << qint64(512000);
        QTest::newRow("lower case") << "8m" << qint64(8 << 20);
        QTest::newRow("G") << "1G" << (qint64(1) << 30);
        QTest::newRow("largest") << "8589934591g" << qint64(9223372035781033984LL);
        QTest::newRow("zero: none") << "0" << qint64(0);
        QTest::newRow("empty: none") << "" << qint64(0);
        QTest::newRow("beyond 64 bits") << "8589934592G" << qint64(-1);
        QTest::newRow("unknown unit") << "5X" << qint64(-1);
        QTest::newRow("fraction") << "1.5M" << qint64(-1);
        QTest::newRow("negative") << "-1" << qint64(-1);
        QTest::newRow("unit alone") << "K" << qint64(-1);
        QTest::newRow("two letters") << "5KB" << qint64(-1);
        QTest::newRow("space before the unit") << "5 K" << qint64(-1);
        QTest::newRow("update.ini cannot be written") << "300K" << qint64(307200);
    }
    // Typed into the window while 4K is in force: a limit applies at once and is kept in
    // update.ini; a refused one changes nothing.
    void rateLimit()
    {
        QFETCH(QString, text);
        QFETCH(qint64, bytes);
        qint64 parsed = -1;
        QCOMPARE(RateBudget::parse(text, &parsed) ? parsed : -1, bytes);
        QSettings(inst->path("update.ini"), QSettings::IniFormat)
            .setValue("update/limit-rate", "4K");
        ProbeWindow window;
        CurlMulti::instance()->setRateLimit(4096);
        auto* edit = window.child<QLineEdit>("limitEdit");
        QCOMPARE(edit->text(), QString("4K"));
        // The limit still applies for this run; the user hears that it is not kept.
        const bool unwritable = QTest::currentDataTag() == QString("update.ini cannot be written");
        if (unwritable)
            QVERIFY(QFile::remove(inst->path("update.ini")) &&
                    QDir().mkpath(inst->path("update.ini")));
        BoxAnswerer boxes;
        edit->setText(text);
        QTest::keyClick(edit, Qt::Key_Return);
        const bool taken = bytes >= 0;
        QCOMPARE(CurlMulti::instance()->rateLimit(), taken ? bytes : 4096);
        if (!unwritable)
            QCOMPARE(QSettings(inst->path("update.ini"), QSettings::IniFormat)
                         .value("update/limit-rate", "")
                         .toString(),
                     taken ? text : "4K");
        QCOMPARE(boxes.seen, unwritable ? QStringList("Warning|Unable to write " +
                                                      inst->path("update.ini") + ".")
                                        : QStringList());
    }

    void updateThenStartClient_data()
    {
        QTest::addColumn<QString>("hindrance");
        QTest::addColumn<QString>("firstBox"); // ends the first run
        QTest::addColumn<QStringList>("fetchedOnRestart");
        const QString index = clientType + ".ini", manifest = clientType + ".manifest.ini";
        // The files come in order: what was fetched before the missing one is not fetched again.
        QTest::newRow("download cancelled, restarted")
            << "cancel"
            << "Update|Download cancelled. Push \"Details\" to check reasons."
            << QStringList{index, manifest, "files/c.bin", "files/d.bin",
                           "files/vm3client_linux_x86"};
        // The second apply in this process replaces the updater again: the copy moved aside by
        // the first one must not be in the way.
        QTest::newRow("apply incomplete, restarted")
            << "apply"
            << "Update|Update incomplete. Push \"Details\" to check reasons."
            << QStringList{index, manifest};
    }
    void updateThenStartClient()
    {
        QFETCH(QString, hindrance);
        QFETCH(QString, firstBox);
        QFETCH(QStringList, fetchedOnRestart);
        ProductTree p = fourFiles();
        p.add("files", "vm3client_linux_x86", "#!/bin/sh\npwd > \"$0.marker\"\n");
        if (hindrance == "apply")
            p.add("files", "update", "the next updater");
        const QString missing =
            p.write(mirrorRoot.path() + "/" + caseName, "1", clientType) + "/files/c.bin";
        inst->writeMirrors({{nginx.baseUrl() + "/" + caseName + "/"}});
        if (hindrance == "cancel")
            QVERIFY(QFile::rename(missing, missing + ".aside"));
        const QByteArray oldUpdater = readFile(inst->path("update"));
        if (hindrance == "apply")
            QVERIFY(writeFile(inst->path("b.bin/keep"), "in the way"));
        const auto fetched = [&] {
            return pathsBelow(nginx.requestedPaths(), QString("/%1/1/").arg(caseName));
        };

        ProbeWindow window;
        window.show();
        BoxAnswerer boxes;
        QPushButton* button = window.child<QPushButton>("startButton");
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(boxes.seen.contains(firstBox), scaledMs(30000));
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QString("Restart"), scaledMs(5000));
        QVERIFY(button->isEnabled() && !window.runningSession());
        // Only the questions about b.bin came before, each answered with Ignore.
        QCOMPARE(boxes.seen.filter(QRegularExpression("^Question\\|.*b\\.bin")).size() + 1,
                 boxes.seen.size());
        QCOMPARE(inst->record().version, QString("1"));
        QVERIFY(QFileInfo::exists(inst->record().dir + "/files/b.bin"));
        if (hindrance == "apply") {
            QCOMPARE(readFile(inst->path("update")), QByteArray("the next updater"));
            QCOMPARE(readFile(inst->path("_old_update")), oldUpdater);
            QVERIFY(QDir(inst->path("b.bin")).removeRecursively());
        } else {
            QVERIFY(QFile::rename(missing + ".aside", missing));
        }
        boxes.seen.clear();
        const int before = int(fetched().size());
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(window.runningSession());
        QList<std::pair<quint64, quint64>> counts; // done, total: verification, then download
        connect(window.runningSession(), &FTPProductDownloadSession::progressCount,
                [&counts](quint64 done, quint64 total) {
                    counts.append({done, total});
                });
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QString("Start Voxmere"), scaledMs(30000));
        QVERIFY(window.log().contains("Previous update session for v. 1 found"));
        QCOMPARE(fetched().mid(before), fetchedOnRestart);
        QCOMPARE(boxes.seen, QStringList());
        QVERIFY2(window.log().contains("Update finished, version: 1"), qPrintable(window.log()));
        // The figures count from nothing up to the whole set, never back.
        QVERIFY(counts.size() > 1 && counts.first().first == 0);
        for (int i = 0; i < counts.size(); ++i) {
            QCOMPARE(counts[i].second, p.totalMirrorSize());
            QVERIFY(i == 0 || counts[i].first >= counts[i - 1].first);
        }
        QCOMPARE(counts.last().first, p.totalMirrorSize());
        auto* bar = window.child<QProgressBar>("totalProgressBar");
        QVERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        QCOMPARE(window.child<QLabel>("totalTotalSizeLabel")->text(),
                 QString("%1 KB").arg(p.totalMirrorSize() / 1000));
        QCOMPARE(inst->finishedWith(p), QString());

        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(inst->path("vm3client_linux_x86.marker")).size() > 0,
                                 scaledMs(10000));
        QCOMPARE(readFile(inst->path("vm3client_linux_x86.marker")).trimmed(),
                 QFile::encodeName(inst->dir()));
        QVERIFY(!window.isVisible());
    }

    // Several workers report what one pass reports; the session's end stops them at once.
    void closeWhileApplying_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes: stops after the file in hand") << true;
        QTest::newRow("no: goes on") << false;
    }
    // Closed while the application waits for an answer about the updater's own library, whose
    // "_old_" name is taken by a directory.
    void closeWhileApplying()
    {
        QFETCH(bool, yes);
        ProductTree p;
        p.add("files", "libQt6Core.so.6", "the next core library")
            .add("files", "m1.bin", ProductTree::randomBytes(1000000, 1))
            .add("files", "m2.bin", ProductTree::randomBytes(1000000, 2));
        p.write(mirrorRoot.path() + "/" + caseName, "1", clientType);
        inst->writeMirrors({{nginx.baseUrl() + "/" + caseName + "/"}});
        QVERIFY(writeFile(inst->path("libQt6Core.so.6"), "old core library"));
        QVERIFY(writeFile(inst->path("_old_libQt6Core.so.6/keep"), "in the way"));
        ProbeWindow window;
        window.show();
        BoxAnswerer boxes;
        boxes.hold = "is in the way";
        boxes.prefer = yes ? QMessageBox::Yes : QMessageBox::No;
        QTest::mouseClick(window.child<QPushButton>("startButton"), Qt::LeftButton);
        const QString question = "Question|Can't overwrite " + inst->path("libQt6Core.so.6") +
                                 ".\n" + inst->path("_old_libQt6Core.so.6") +
                                 " is in the way.\nDo you wish to stop update?";
        QTRY_VERIFY_WITH_TIMEOUT(boxes.seen.contains(question), scaledMs(30000));
        window.close();
        QTRY_VERIFY(boxes.seen.contains(
            "Question|<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QVERIFY(window.isVisible());
        boxes.hold.clear();
        if (!yes) { // everything goes in, the window stays
            QTRY_COMPARE_WITH_TIMEOUT(window.child<QPushButton>("startButton")->text(),
                                      QString("Start Voxmere"), scaledMs(30000));
            QVERIFY(window.isVisible() && inst->compareWith(p).isEmpty());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), scaledMs(30000));
        // Ignore put the file in hand in place, nothing after it; the record and download stay.
        QCOMPARE(readFile(inst->path("libQt6Core.so.6")), QByteArray("the next core library"));
        QVERIFY(!QFileInfo::exists(inst->path("m1.bin")) &&
                !QFileInfo::exists(inst->path("m2.bin")));
        QVERIFY(QFileInfo::exists(inst->record().dir + "/files/m2.bin"));
    }

    void verification_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<bool>("cancel");
        QTest::newRow("two workers") << 2 << false;
        QTest::newRow("eight workers") << 8 << false;
        // A sparse terabyte would take the workers half an hour.
        QTest::newRow("cancelled while hashing a terabyte") << 2 << true;
    }
    void verification()
    {
        QFETCH(int, threads);
        QFETCH(bool, cancel);
        ProductTree p;
        for (int i = 0; i < 12; ++i) // big ones among small ones: the workers finish out of order
            p.add("f", QString("f%1").arg(i), ProductTree::randomBytes(i % 4 ? 999 : 3000000, i));
        const QString index = p.write(mirrorRoot.path() + "/" + caseName, "1", clientType) + "/" +
                              clientType + ".ini";
        const QString downloads = inst->tempDir() + "/dl/";
        // By i % 5: installed; changed, good copy; copy one byte short; copy changed; nothing.
        const auto verify = [&](int workers, QStringList* seen, bool stop) {
            for (int i = 0; i < p.files.size(); ++i) {
                const ProductFile& f = p.files[i];
                QByteArray changed = f.content;
                changed[0] = char(changed[0] ^ 1);
                writeFile(inst->path(f.name), i % 5 ? changed : f.content);
                if (i % 5 && i % 5 < 4)
                    writeFile(downloads + f.mirrorPath(), i % 5 == 1   ? f.content
                                                          : i % 5 == 2 ? f.content.chopped(1)
                                                                       : changed);
            }
            if (stop)
                QFile(inst->path("f1")).resize(qint64(1) << 40);
            FTPProductDownloadSession::InitialParameters params;
            params.downloadDir = downloads;
            params.verificationThreads = workers;
            auto session = std::make_unique<FTPProductDownloadSession>();
            session->initialize(params);
            connect(session.get(), &FTPProductDownloadSession::message,
                    [seen](const QString& m) { *seen << m; });
            connect(session.get(), &FTPProductDownloadSession::progressCount,
                    [seen](quint64 done, quint64 total) {
                        *seen << QString("%1/%2").arg(done).arg(total);
                    });
            QSignalSpy finished(session.get(), &FTPProductDownloadSession::verificationFinished);
            if (!session->checkAllFiles(index))
                return false;
            if (stop) // the first file is reported, the second is the terabyte
                return QTest::qWaitFor([&] { return seen->size() == 3; }, scaledMs(30000));
            return finished.wait(scaledMs(30000));
        };
        QStringList oneThread, seen;
        QVERIFY(verify(1, &oneThread, false));
        QCOMPARE(oneThread.filter(QRegularExpression("^File .*/f(0|5|10) up to date$")).size(), 3);
        QCOMPARE(oneThread.last(), "Verification of 12 file(s) complete. Ready: 3, Downloaded: 3.");
        QVERIFY(verify(threads, &seen, cancel));
        if (!cancel) {
            QCOMPARE(seen, oneThread);
            return;
        }
        // Nothing more is reported, and the download directory stays as it was for the next run.
        QTest::qWait(50);
        QCOMPARE(seen, oneThread.mid(0, 3));
        for (int i = 0; i < p.files.size(); ++i)
            QCOMPARE(QFileInfo::exists(downloads + p.files[i].mirrorPath()), i % 5 && i % 5 < 4);
    }
};

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
