#include "approottesting.h"
#include "downloaddirectory.h"
#include "ftpproductdownloadsession.h"
#include "installation.h"
#include "mirrorfixtures.h"
#include "probewindow.h"
#include "testservers.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

// The window's workflow in this process, with a user: message boxes are answered by the test.

namespace
{

const char* const clientType = "client_linux_x86";

// Answers every modal message box: Ignore where it is offered (the questions of the apply),
// otherwise the button the test asked for. Records "title|text" of each box.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer(answer)
    {
        QObject::connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(20);
    }
    QStringList seen;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == answered)
            return;
        answered = box;
        seen << box->windowTitle() + "|" + box->text();
        QAbstractButton* b = box->button(QMessageBox::Ignore);
        (b ? b : box->button(answer))->click();
    }
    QMessageBox::StandardButton answer;
    QTimer timer;
    QPointer<QMessageBox> answered;
};

class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

class WorkflowTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Installation> inst;
    QTemporaryDir mirrorRoot;
    NginxServer nginx;
    FaultServer fault;
    QString caseName;
    int caseCount = 0;

private Q_SLOTS:

    void initTestCase()
    {
        QVERIFY(mirrorRoot.isValid());
        makeTreeWorldReadable(mirrorRoot.path());
        QVERIFY2(nginx.start(mirrorRoot.path()), qPrintable(nginx.output()));
        QVERIFY(fault.start());
    }

    // Each case gets an installation whose only mirror holds the index of version 1 back forever.
    void init()
    {
        inst = std::make_unique<Installation>();
        QVERIFY(inst->create());
        inst->writeSettings(1);
        setAppRootPathForTesting(inst->dir());
        qputenv("TMPDIR", QFile::encodeName(inst->tempDir()));
        caseName = QString("case%1").arg(++caseCount);
        fault.setRoute("/" + caseName + "/1/" + clientType + ".ini",
                       FaultRoute::stallAt(QByteArray(500, 'x'), 10));
        inst->writeMirrors({{fault.baseUrl() + "/" + caseName + "/"}});
    }

    void cleanup()
    {
        setAppRootPathForTesting(QString());
        inst.reset();
    }

    void downloadDirectoryNames_data()
    {
        QTest::addColumn<QStringList>("taken"); // suffix:kind
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing there") << QStringList{} << "voxmere_temp_0";
        QTest::newRow("file") << QStringList{"0:file"} << "voxmere_temp_1";
        QTest::newRow("dangling link") << QStringList{"0:dangling"} << "voxmere_temp_1";
        QTest::newRow("directory, link to one")
            << QStringList{"0:dir", "1:link"} << "voxmere_temp_2";
        QTest::newRow("missing parents") << QStringList{"parent:missing"} << "voxmere_temp_0";
    }

    void downloadDirectoryNames()
    {
        QFETCH(QStringList, taken);
        QFETCH(QString, expected);
        QString root = inst->tempDir();
        const QString elsewhere = inst->root() + "/elsewhere";
        QVERIFY(QDir().mkpath(elsewhere));
        for (const QString& entry : taken) {
            const QString path = root + "/voxmere_temp_" + entry.section(':', 0, 0);
            const QString kind = entry.section(':', 1);
            if (kind == "missing")
                root += "/not/yet/there";
            else
                QVERIFY(kind == "dir" ? QDir().mkpath(path)
                        : kind == "file"
                            ? writeFile(path, "x")
                            : QFile::link(kind == "link" ? elsewhere : "/nothing", path));
        }

        const QString made = createDownloadDirectory(root);
        QCOMPARE(made, root + "/" + expected);
        const QFileInfo info(made);
        QVERIFY(info.isDir() && !info.isSymLink());
        QCOMPARE(int(info.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser)),
                 int(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        // Nothing was created through a link.
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    void start_data()
    {
        QTest::addColumn<QString>("record");    // version|type|dir exists; empty: no record
        QTest::addColumn<QString>("hindrance"); // nomirrors, locked or client
        // Boxes, the session's type|dir|resumed, the record, the button, the temporary entries and
        // the log lines of earlier sessions, separated by ';'.
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char* name, const char* record, const char* hindrance,
                            const QString& outcome) {
            QTest::newRow(name) << QString(record) << QString(hindrance) << QString(outcome);
        };
        const QString fresh =
            "client_linux_x86|voxmere_temp_0|0;1|voxmere_temp_0|client_linux_x86;0;voxmere_temp_0";
        row("no record", "", "", fresh);
        row("same version, its type", "1|client_custom|1", "",
            "client_custom|voxmere_temp_5|1;1|voxmere_temp_5|client_custom;0;voxmere_temp_5;"
            "Previous update session for v. 1 found");
        row("same version, empty type", "1||1", "",
            "client_linux_x86|voxmere_temp_5|1;1|voxmere_temp_5|client_linux_x86;0;voxmere_temp_5;"
            "Previous update session for v. 1 found");
        row("other version, other type", "56|client_custom|1", "",
            fresh + ";Cleanup previous session (v. 56, TMP/voxmere_temp_5) files...;Ok");
        row("directory gone", "1|client_custom|0", "", fresh);
        row("mirrors.ini missing", "", "nomirrors",
            "Error|mirrors.ini is missing, cannot proceed.;||;1");
        row("another update running", "", "locked",
            "Warning|Another update is "
            "running.;1|voxmere_temp_0|client_linux_x86;1;voxmere_temp_0");
        row("client running", "", "client",
            "Warning|The Voxmere 3 Client should be\nclosed before starting the update.;||;1");
    }

    void start()
    {
        QFETCH(QString, record);
        QFETCH(QString, hindrance);
        QFETCH(QString, outcome);

        const QString temp = inst->tempDir() + "/";
        const QStringList stored = record.split('|');
        if (stored.value(2) == "1")
            QVERIFY(writeFile(temp + "voxmere_temp_5/files/a.bin", "fetched earlier"));
        if (!record.isEmpty()) {
            QSettings settings(inst->path("update.ini"), QSettings::IniFormat);
            settings.setValue("current/version", stored.at(0));
            settings.setValue("current/dir", temp + "voxmere_temp_5");
            settings.setValue("current/type", stored.at(1));
            QVERIFY(writeFile(inst->path("session_" + stored.at(0) + ".ini"), "[x]\n"));
        }
        std::unique_ptr<ProbeWindow> other;
        QProcess client;
        if (hindrance == "nomirrors") {
            QVERIFY(QFile::remove(inst->path("mirrors.ini")));
        } else if (hindrance == "locked") {
            other = std::make_unique<ProbeWindow>();
            other->on_startButton_clicked();
        } else if (hindrance == "client") {
            QVERIFY(QFile::copy("/bin/sleep", inst->path("vm3client_linux_x86")));
            client.start(inst->path("vm3client_linux_x86"), {"60"});
            QVERIFY(client.waitForStarted());
        }

        ProbeWindow window;
        BoxAnswerer boxes;
        window.on_startButton_clicked();
        if (client.state() != QProcess::NotRunning) {
            client.kill();
            client.waitForFinished();
        }
        QStringList got = boxes.seen;
        if (const FTPProductDownloadSession* session = window.runningSession()) {
            const auto& params = session->params;
            got << QStringList{params.clientType, QString(params.downloadDir).remove(temp),
                               QString::number(params.resumeDownloadDir)}
                       .join('|');
            QCOMPARE(params.sessionFile, inst->path("session_1.ini"));
        }
        const Installation::Record now = inst->record();
        got << QStringList{now.version, QString(now.dir).remove(temp), now.type}.join('|')
            << QString::number(window.child<QPushButton>("startButton")->isEnabled())
            << inst->tempEntries()
            << window.log().split('\n').filter(
                   QRegularExpression("^(Previous update|Cleanup|Ok$)"));
        QCOMPARE(got, outcome.replace("TMP/", temp).split(';'));
        // A record of another version goes with its session file.
        QVERIFY(!QFileInfo::exists(inst->path("session_56.ini")));
    }

    void updateThenStartClient_data()
    {
        QTest::addColumn<QString>("hindrance");
        QTest::addColumn<QString>("firstBox"); // ends the first run
        QTest::addColumn<QStringList>("fetchedOnRestart");
        const QString index = QString(clientType) + ".ini";
        // The files come in order: what was fetched before the missing one is not fetched again.
        QTest::newRow("download cancelled, restarted")
            << "cancel"
            << "Update|Download cancelled. Push \"Details\" to check reasons."
            << QStringList{index, "files/c.bin", "files/d.bin", "files/vm3client_linux_x86"};
        // The second apply in this process replaces the updater again: the copy moved aside by the
        // first one must not be in the way.
        QTest::newRow("apply incomplete, restarted")
            << "apply"
            << "Update|Update incomplete. Push \"Details\" to check reasons." << QStringList{index};
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
        QTRY_VERIFY_WITH_TIMEOUT(boxes.seen.contains(firstBox), 30000);
        QTRY_COMPARE(button->text(), QString("Restart"));
        QVERIFY(button->isEnabled() && !window.runningSession());
        // Only the questions about b.bin came before, each answered with Ignore.
        QCOMPARE(boxes.seen.filter(QRegularExpression("^Question\\|.*b\\.bin")).size() + 1,
                 boxes.seen.size());
        QCOMPARE(boxes.seen.last(), firstBox);
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
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QString("Start Voxmere"), 30000);
        QVERIFY(window.log().contains("Previous update session for v. 1 found"));
        QCOMPARE(fetched().mid(before), fetchedOnRestart);
        QCOMPARE(boxes.seen, QStringList());
        QVERIFY(button->isEnabled());
        QVERIFY2(window.log().contains("Update finished, version: 1"), qPrintable(window.log()));
        QCOMPARE(inst->compareWith(p), QString());
        QVERIFY(!inst->record().present());
        QCOMPARE(inst->tempEntries(), QStringList());

        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(inst->path("vm3client_linux_x86.marker")).size() > 0,
                                 10000);
        QCOMPARE(readFile(inst->path("vm3client_linux_x86.marker")).trimmed(),
                 QFile::encodeName(inst->dir()));
        QVERIFY(!window.isVisible());
    }

    void closeQuestion_data()
    {
        QTest::addColumn<bool>("downloading");
        QTest::addColumn<int>("answer");
        QTest::newRow("nothing running") << false << int(QMessageBox::No);
        QTest::newRow("download, No") << true << int(QMessageBox::No);
        QTest::newRow("download, Yes") << true << int(QMessageBox::Yes);
    }

    void closeQuestion()
    {
        QFETCH(bool, downloading);
        QFETCH(int, answer);

        ProbeWindow window;
        window.show();
        BoxAnswerer boxes{QMessageBox::StandardButton(answer)};
        if (downloading) {
            window.on_startButton_clicked();
            QTRY_VERIFY(fault.openConnections() > 0);
        }
        const bool closes = !downloading || answer == QMessageBox::Yes;
        QCOMPARE(window.close(), closes);
        QCOMPARE(window.isVisible(), !closes);
        QCOMPARE(boxes.seen, downloading
                                 ? QStringList{"Question|<p>Update in progress.</p><p>Are you "
                                               "sure you want to abort?</p>"}
                                 : QStringList());
        // Closing leaves the record for the next start.
        QCOMPARE(inst->record().version, QString(downloading ? "1" : ""));
    }

    void progressPaintsWithoutEventLoop()
    {
        ProbeWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        PaintCounter bar, label;
        window.child<QProgressBar>("totalProgressBar")->installEventFilter(&bar);
        window.child<QLabel>("totalSizeLabel")->installEventFilter(&label);
        // As during the apply: no event loop between the calls.
        window.onProgressUpdate(0, 200000);
        const int first = bar.paints;
        window.onProgressUpdate(200000, 200000);
        QVERIFY(first >= 1);
        QVERIFY(bar.paints > first);
        QVERIFY(label.paints >= 2);
        QCOMPARE(window.child<QProgressBar>("totalProgressBar")->value(), 2000);
        QCOMPARE(window.child<QLabel>("totalSizeLabel")->text(), QString("200 KB"));
    }
};

QTEST_MAIN(WorkflowTest)
#include "tst_ui_workflow.moc"
