#include "approottesting.h"
#include "downloaddirectory.h"
#include "ftpproductdownloadsession.h"
#include "installation.h"
#include "mainwindow.h"
#include "mirrorfixtures.h"
#include "producttree.h"
#include "testservers.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

// The window's workflow in this process, with a user: message boxes are answered by the test.

namespace
{

const char* const clientType = "client_linux_x86";

CommandLineOptions userOptions()
{
    CommandLineOptions options;
    options.mode = 1;
    options.clientType = clientType;
    options.version = 1;
    return options;
}

class ProbeWindow : public MainWindow
{
public:
    ProbeWindow() : MainWindow(userOptions()) {}
    FTPProductDownloadSession* runningSession() const { return session; }
    QString log() const { return widget<QTextEdit>("outputTextEdit")->toPlainText(); }
    QPushButton* button() const { return widget<QPushButton>("startButton"); }
    QProgressBar* bar() const { return widget<QProgressBar>("totalProgressBar"); }
    QLabel* doneLabel() const { return widget<QLabel>("totalSizeLabel"); }

private:
    template <typename T> T* widget(const char* name) const
    {
        T* w = findChild<T*>(QString::fromLatin1(name));
        if (!w)
            qFatal("no widget %s", name);
        return w;
    }
};

// Answers every modal message box: Ignore where it is offered (the questions of the apply),
// otherwise the button the test asked for. Records "title|text" of each box.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer(answer)
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start();
    }
    QMessageBox::StandardButton answer;
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
        if (!b)
            b = box->button(answer);
        if (!b)
            b = box->buttons().value(0);
        b->click();
    }
    QTimer timer;
    QPointer<QMessageBox> answered;
};

class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class WorkflowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void downloadDirectoryNames_data();
    void downloadDirectoryNames();
    void startUsesRecord_data();
    void startUsesRecord();
    void startRefused_data();
    void startRefused();
    void updateThenStartClient_data();
    void updateThenStartClient();
    void closeQuestion_data();
    void closeQuestion();
    void progressPaintsWithoutEventLoop();

private:
    QString newCase() { return QString("case%1").arg(++caseCount); }
    // An installation whose only mirror holds the index of version 1 back forever.
    void useStalledMirror(Installation* inst)
    {
        const QString c = newCase();
        fault.setRoute("/" + c + "/1/" + clientType + ".ini",
                       FaultRoute::stallAt(QByteArray(500, 'x'), 10));
        inst->writeMirrors({{fault.baseUrl() + "/" + c + "/"}});
    }
    QStringList httpFetched(const QString& caseName, int version) const
    {
        return pathsBelow(nginx.requestedPaths(), QString("/%1/%2/").arg(caseName).arg(version));
    }

    std::unique_ptr<Installation> inst;
    QTemporaryDir mirrorRoot;
    NginxServer nginx;
    FaultServer fault;
    int caseCount = 0;
};

void WorkflowTest::initTestCase()
{
    QVERIFY(mirrorRoot.isValid());
    makeTreeWorldReadable(mirrorRoot.path());
    QVERIFY2(nginx.start(mirrorRoot.path()), qPrintable(nginx.output()));
    QVERIFY(fault.start());
}

void WorkflowTest::init()
{
    inst = std::make_unique<Installation>();
    QVERIFY(inst->create());
    inst->writeSettings(1);
    setAppRootPathForTesting(inst->dir());
    qputenv("TMPDIR", QFile::encodeName(inst->tempDir()));
}

void WorkflowTest::cleanup()
{
    setAppRootPathForTesting(QString());
    inst.reset();
}

void WorkflowTest::downloadDirectoryNames_data()
{
    QTest::addColumn<QStringList>("taken"); // suffix:kind
    QTest::addColumn<QString>("expected");
    QTest::newRow("nothing there") << QStringList{} << "voxmere_temp_0";
    QTest::newRow("file") << QStringList{"0:file"} << "voxmere_temp_1";
    QTest::newRow("dangling link") << QStringList{"0:dangling"} << "voxmere_temp_1";
    QTest::newRow("directory, link to one") << QStringList{"0:dir", "1:link"} << "voxmere_temp_2";
    QTest::newRow("missing parents") << QStringList{"parent:missing"} << "voxmere_temp_0";
}

void WorkflowTest::downloadDirectoryNames()
{
    QFETCH(QStringList, taken);
    QFETCH(QString, expected);
    QString root = inst->tempDir();
    const QString elsewhere = inst->root() + "/elsewhere";
    QVERIFY(QDir().mkpath(elsewhere));
    for (const QString& entry : taken) {
        const QString suffix = entry.section(':', 0, 0);
        const QString kind = entry.section(':', 1);
        const QString path = root + "/voxmere_temp_" + suffix;
        if (kind == "dir")
            QVERIFY(QDir().mkpath(path));
        else if (kind == "file")
            QVERIFY(writeFile(path, "x"));
        else if (kind == "dangling")
            QVERIFY(QFile::link(inst->root() + "/nothing", path));
        else if (kind == "link")
            QVERIFY(QFile::link(elsewhere, path));
        else if (kind == "missing")
            root += "/not/yet/there";
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

void WorkflowTest::startUsesRecord_data()
{
    QTest::addColumn<QString>("record");  // version|type|dir exists; empty: no record
    QTest::addColumn<QString>("outcome"); // type|download directory|resumed
    QTest::addColumn<QString>("logLine");

    const QString found = "Previous update session for v. 1 found";
    QTest::newRow("no record") << ""
                               << "client_linux_x86|voxmere_temp_0|0"
                               << "";
    QTest::newRow("same version, its type") << "1|client_custom|1"
                                            << "client_custom|voxmere_temp_5|1" << found;
    QTest::newRow("same version, empty type") << "1||1"
                                              << "client_linux_x86|voxmere_temp_5|1" << found;
    QTest::newRow("other version, other type")
        << "56|client_custom|1"
        << "client_linux_x86|voxmere_temp_0|0"
        << "Cleanup previous session (v. 56, TMP/voxmere_temp_5) files...\nOk";
    QTest::newRow("directory gone") << "1|client_custom|0"
                                    << "client_linux_x86|voxmere_temp_0|0"
                                    << "";
}

void WorkflowTest::startUsesRecord()
{
    QFETCH(QString, record);
    QFETCH(QString, outcome);
    QFETCH(QString, logLine);

    useStalledMirror(inst.get());
    const QString storedDir = inst->tempDir() + "/voxmere_temp_5";
    const QStringList stored = record.split('|');
    if (stored.value(2) == "1")
        QVERIFY(writeFile(storedDir + "/files/a.bin", "fetched earlier"));
    if (!record.isEmpty()) {
        QSettings settings(inst->path("update.ini"), QSettings::IniFormat);
        settings.setValue("current/version", stored.at(0));
        settings.setValue("current/dir", storedDir);
        settings.setValue("current/type", stored.at(1));
        QVERIFY(writeFile(inst->path("session_" + stored.at(0) + ".ini"), "[x]\n"));
    }

    ProbeWindow window;
    BoxAnswerer boxes;
    window.on_startButton_clicked();
    FTPProductDownloadSession* session = window.runningSession();
    QVERIFY(session);
    QVERIFY(!window.button()->isEnabled());
    const auto& params = session->params;
    QCOMPARE(QStringList({params.clientType, QFileInfo(params.downloadDir).fileName(),
                          QString::number(params.resumeDownloadDir)})
                 .join('|'),
             outcome);
    QCOMPARE(params.downloadDir, inst->tempDir() + "/" + outcome.section('|', 1, 1));
    QCOMPARE(params.sessionFile, inst->path("session_1.ini"));
    QVERIFY(QFileInfo(params.downloadDir).isDir());
    const Installation::Record now = inst->record();
    QCOMPARE(QStringList({now.version, now.dir, now.type}),
             QStringList({"1", params.downloadDir, params.clientType}));
    logLine.replace("TMP", inst->tempDir());
    QVERIFY2(window.log().contains(logLine), qPrintable(window.log()));
    QCOMPARE(window.log().contains("Previous update session"), params.resumeDownloadDir);
    // A record of another version goes with its files.
    if (stored.at(0) == "56")
        QVERIFY(!QFileInfo::exists(storedDir) && !QFileInfo::exists(inst->path("session_56.ini")));
    QCOMPARE(boxes.seen, QStringList());
}

void WorkflowTest::startRefused_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("box");
    QTest::newRow("mirrors.ini missing") << "nomirrors"
                                         << "Error|mirrors.ini is missing, cannot proceed.";
    QTest::newRow("another update running") << "locked"
                                            << "Warning|Another update is running.";
    QTest::newRow("client running")
        << "client"
        << "Warning|The Voxmere 3 Client should be\nclosed before starting the update.";
}

void WorkflowTest::startRefused()
{
    QFETCH(QString, reason);
    QFETCH(QString, box);

    useStalledMirror(inst.get());
    std::unique_ptr<ProbeWindow> other;
    QProcess client;
    if (reason == "nomirrors") {
        QVERIFY(QFile::remove(inst->path("mirrors.ini")));
    } else if (reason == "locked") {
        other = std::make_unique<ProbeWindow>();
        other->on_startButton_clicked();
        QVERIFY(other->runningSession());
    } else if (reason == "client") {
        QVERIFY(QFile::copy("/bin/sleep", inst->path("vm3client_linux_x86")));
        client.start(inst->path("vm3client_linux_x86"), {"60"});
        QVERIFY(client.waitForStarted());
    }
    const Installation::Record before = inst->record();

    ProbeWindow window;
    BoxAnswerer boxes;
    window.on_startButton_clicked();
    if (client.state() != QProcess::NotRunning) {
        client.kill();
        client.waitForFinished();
    }
    QCOMPARE(boxes.seen, QStringList{box});
    QVERIFY(!window.runningSession());
    QVERIFY(window.button()->isEnabled());
    QCOMPARE(inst->record().version, before.version);
    QCOMPARE(inst->record().dir, before.dir);
    QCOMPARE(inst->tempEntries().size(), reason == "locked" ? 1 : 0);
}

void WorkflowTest::updateThenStartClient_data()
{
    QTest::addColumn<QString>("hindrance");
    QTest::addColumn<QString>("firstBox"); // ends the first run
    QTest::addColumn<QStringList>("fetchedOnRestart");
    const QString index = QString(clientType) + ".ini";
    QTest::newRow("finished at once") << "none" << QString() << QStringList();
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

void WorkflowTest::updateThenStartClient()
{
    QFETCH(QString, hindrance);
    QFETCH(QString, firstBox);
    QFETCH(QStringList, fetchedOnRestart);

    const QString caseName = newCase();
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

    ProbeWindow window;
    window.show();
    BoxAnswerer boxes;
    QTest::mouseClick(window.button(), Qt::LeftButton);
    if (!firstBox.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(boxes.seen.contains(firstBox), 30000);
        QTRY_COMPARE(window.button()->text(), QString("Restart"));
        QVERIFY(window.button()->isEnabled() && !window.runningSession());
        // Only the questions about b.bin came before, each answered with Ignore.
        for (const QString& seen : boxes.seen.mid(0, boxes.seen.size() - 1))
            QVERIFY2(seen.startsWith("Question|") && seen.contains("b.bin"), qPrintable(seen));
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
        const int fetched = int(httpFetched(caseName, 1).size());
        QTest::mouseClick(window.button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.button()->text(), QString("Start Voxmere"), 30000);
        QVERIFY(window.log().contains("Previous update session for v. 1 found"));
        QCOMPARE(httpFetched(caseName, 1).mid(fetched), fetchedOnRestart);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(window.button()->text(), QString("Start Voxmere"), 30000);
    }
    QCOMPARE(boxes.seen, QStringList());
    QVERIFY(window.button()->isEnabled());
    QVERIFY2(window.log().contains("Update finished, version: 1"), qPrintable(window.log()));
    QCOMPARE(inst->compareWith(p), QString());
    QVERIFY(!inst->record().present());
    QCOMPARE(inst->tempEntries(), QStringList());

    QTest::mouseClick(window.button(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(inst->path("vm3client_linux_x86.marker")).size() > 0, 10000);
    QCOMPARE(readFile(inst->path("vm3client_linux_x86.marker")).trimmed(),
             QFile::encodeName(inst->dir()));
    QVERIFY(!window.isVisible());
}

void WorkflowTest::closeQuestion_data()
{
    QTest::addColumn<bool>("downloading");
    QTest::addColumn<int>("answer");
    QTest::newRow("nothing running") << false << int(QMessageBox::No);
    QTest::newRow("download, No") << true << int(QMessageBox::No);
    QTest::newRow("download, Yes") << true << int(QMessageBox::Yes);
}

void WorkflowTest::closeQuestion()
{
    QFETCH(bool, downloading);
    QFETCH(int, answer);

    useStalledMirror(inst.get());
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
    QCOMPARE(boxes.seen, downloading ? QStringList{"Question|<p>Update in progress.</p><p>Are you "
                                                   "sure you want to abort?</p>"}
                                     : QStringList());
    // Closing leaves the record for the next start.
    QCOMPARE(inst->record().version, QString(downloading ? "1" : ""));
}

void WorkflowTest::progressPaintsWithoutEventLoop()
{
    ProbeWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    PaintCounter bar, label;
    window.bar()->installEventFilter(&bar);
    window.doneLabel()->installEventFilter(&label);
    // As during the apply: no event loop between the calls.
    window.onProgressUpdate(0, 200000);
    const int first = bar.paints;
    window.onProgressUpdate(200000, 200000);
    QVERIFY(first >= 1);
    QVERIFY(bar.paints > first);
    QVERIFY(label.paints >= 2);
    QCOMPARE(window.bar()->value(), 2000);
    QCOMPARE(window.doneLabel()->text(), QString("200 KB"));
}

QTEST_MAIN(WorkflowTest)
#include "tst_ui_workflow.moc"
