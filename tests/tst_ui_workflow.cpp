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

class ProbeWindow : public MainWindow
{
public:
    using MainWindow::MainWindow;
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

CommandLineOptions userOptions(int version)
{
    CommandLineOptions options;
    options.mode = 1;
    options.clientType = clientType;
    options.version = version;
    return options;
}

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
    QTest::newRow("directory") << QStringList{"0:dir"} << "voxmere_temp_1";
    QTest::newRow("file") << QStringList{"0:file"} << "voxmere_temp_1";
    QTest::newRow("dangling link") << QStringList{"0:dangling"} << "voxmere_temp_1";
    QTest::newRow("links to directories") << QStringList{"0:link", "1:link"} << "voxmere_temp_2";
    QTest::newRow("gap") << QStringList{"0:dir", "2:dir"} << "voxmere_temp_1";
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
    QTest::addColumn<QString>("recordVersion"); // empty: no record
    QTest::addColumn<QString>("recordType");
    QTest::addColumn<bool>("recordDirExists");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<QString>("expectedType");
    QTest::addColumn<QString>("expectedDir");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("no record") << ""
                               << "" << false << false << clientType << "voxmere_temp_0"
                               << "";
    QTest::newRow("same version, its type") << "1"
                                            << "client_custom" << true << true << "client_custom"
                                            << "voxmere_temp_5"
                                            << "Previous update session for v. 1 found";
    QTest::newRow("same version, empty type")
        << "1"
        << "" << true << true << clientType << "voxmere_temp_5"
        << "Previous update session for v. 1 found";
    QTest::newRow("other version, other type")
        << "56"
        << "client_custom" << true << false << clientType << "voxmere_temp_0"
        << "Cleanup previous session (v. 56, TMP/voxmere_temp_5) files...\nOk";
    QTest::newRow("directory gone")
        << "1"
        << "client_custom" << false << false << clientType << "voxmere_temp_0"
        << "";
}

void WorkflowTest::startUsesRecord()
{
    QFETCH(QString, recordVersion);
    QFETCH(QString, recordType);
    QFETCH(bool, recordDirExists);
    QFETCH(bool, resume);
    QFETCH(QString, expectedType);
    QFETCH(QString, expectedDir);
    QFETCH(QString, logLine);

    useStalledMirror(inst.get());
    const QString storedDir = inst->tempDir() + "/voxmere_temp_5";
    if (recordDirExists)
        QVERIFY(writeFile(storedDir + "/files/a.bin", "fetched earlier"));
    if (!recordVersion.isEmpty()) {
        QSettings settings(inst->path("update.ini"), QSettings::IniFormat);
        settings.setValue("current/version", recordVersion);
        settings.setValue("current/dir", storedDir);
        settings.setValue("current/type", recordType);
        QVERIFY(writeFile(inst->path("session_" + recordVersion + ".ini"), "[x]\n"));
    }

    ProbeWindow window(userOptions(1));
    BoxAnswerer boxes;
    window.on_startButton_clicked();
    FTPProductDownloadSession* session = window.runningSession();
    QVERIFY(session);
    QVERIFY(!window.button()->isEnabled());
    const QString dir = inst->tempDir() + "/" + expectedDir;
    QCOMPARE(session->params.downloadDir, dir);
    QCOMPARE(session->params.resumeDownloadDir, resume);
    QCOMPARE(session->params.clientType, expectedType);
    QCOMPARE(session->params.version, QString("1"));
    QCOMPARE(session->params.sessionFile, inst->path("session_1.ini"));
    QVERIFY(QFileInfo(dir).isDir());

    const Installation::Record record = inst->record();
    QCOMPARE(record.version, QString("1"));
    QCOMPARE(record.dir, dir);
    QCOMPARE(record.type, expectedType);
    logLine.replace("TMP", inst->tempDir());
    QVERIFY2(window.log().contains(logLine), qPrintable(window.log()));
    if (!resume && recordDirExists) {
        QVERIFY(!QFileInfo::exists(storedDir));
        QVERIFY(!QFileInfo::exists(inst->path("session_" + recordVersion + ".ini")));
    }
    QVERIFY(!window.log().contains("Previous update session") || resume);
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
        other = std::make_unique<ProbeWindow>(userOptions(1));
        other->on_startButton_clicked();
        QVERIFY(other->runningSession());
    } else if (reason == "client") {
        QVERIFY(QFile::copy("/bin/sleep", inst->path("vm3client_linux_x86")));
        client.start(inst->path("vm3client_linux_x86"), {"60"});
        QVERIFY(client.waitForStarted());
    }
    const Installation::Record before = inst->record();

    ProbeWindow window(userOptions(1));
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
    const QString versionDir = p.write(mirrorRoot.path() + "/" + caseName, "1", clientType);
    const QString httpMirror = nginx.baseUrl() + "/" + caseName + "/";
    inst->writeMirrors({{httpMirror}});
    if (hindrance == "cancel") {
        const QString prefix = "/" + caseName + "/1/";
        fault.setRoute(prefix + clientType + ".ini",
                       FaultRoute::ok(readFile(versionDir + "/" + clientType + ".ini")));
        for (const ProductFile& f : p.files)
            fault.setRoute(prefix + f.mirrorPath(), f.name == "c.bin" ? FaultRoute::withStatus(404)
                                                                      : FaultRoute::ok(f.content));
        inst->writeMirrors({{fault.baseUrl() + "/" + caseName + "/"}});
    }
    const QByteArray oldUpdater = readFile(inst->path("update"));
    if (hindrance == "apply")
        QVERIFY(writeFile(inst->path("b.bin/keep"), "in the way"));

    ProbeWindow window(userOptions(1));
    window.show();
    BoxAnswerer boxes;
    QTest::mouseClick(window.button(), Qt::LeftButton);
    if (!firstBox.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(boxes.seen.contains(firstBox), 30000);
        QTRY_COMPARE(window.button()->text(), QString("Restart"));
        QVERIFY(window.button()->isEnabled());
        QVERIFY(!window.runningSession());
        QCOMPARE(boxes.seen.last(), firstBox);
        // Only the questions about b.bin came before, each answered with Ignore.
        for (const QString& seen : boxes.seen.mid(0, boxes.seen.size() - 1))
            QVERIFY2(seen.startsWith("Question|") && seen.contains("b.bin"), qPrintable(seen));
        QCOMPARE(inst->record().version, QString("1"));
        QVERIFY(QFileInfo::exists(inst->record().dir + "/files/b.bin"));
        if (hindrance == "apply") {
            QVERIFY(!window.log().contains("Updated files copied"));
            QCOMPARE(readFile(inst->path("update")), QByteArray("the next updater"));
            QCOMPARE(readFile(inst->path("_old_update")), oldUpdater);
            QVERIFY(QDir(inst->path("b.bin")).removeRecursively());
        }
        inst->writeMirrors({{httpMirror}});
        const int shown = int(boxes.seen.size());
        const int fetched = int(httpFetched(caseName, 1).size());
        QTest::mouseClick(window.button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.button()->text(), QString("Start Voxmere"), 30000);
        QVERIFY(window.log().contains("Previous update session for v. 1 found"));
        QCOMPARE(httpFetched(caseName, 1).mid(fetched), fetchedOnRestart);
        QCOMPARE(boxes.seen.size(), shown);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(window.button()->text(), QString("Start Voxmere"), 30000);
        QCOMPARE(boxes.seen, QStringList());
    }
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
    QTest::addColumn<bool>("closes");
    QTest::newRow("nothing running") << false << int(QMessageBox::No) << true;
    QTest::newRow("download, No") << true << int(QMessageBox::No) << false;
    QTest::newRow("download, Yes") << true << int(QMessageBox::Yes) << true;
}

void WorkflowTest::closeQuestion()
{
    QFETCH(bool, downloading);
    QFETCH(int, answer);
    QFETCH(bool, closes);

    useStalledMirror(inst.get());
    ProbeWindow window(userOptions(1));
    window.show();
    BoxAnswerer boxes{QMessageBox::StandardButton(answer)};
    if (downloading) {
        window.on_startButton_clicked();
        QTRY_VERIFY(fault.openConnections() > 0);
    }
    QCOMPARE(window.close(), closes);
    QCOMPARE(window.isVisible(), !closes);
    if (downloading) {
        QCOMPARE(boxes.seen, QStringList{"Question|<p>Update in progress.</p><p>Are you sure you "
                                         "want to abort?</p>"});
        QVERIFY(window.runningSession());
        QCOMPARE(inst->record().version, QString("1"));
    } else {
        QCOMPARE(boxes.seen, QStringList());
    }
}

void WorkflowTest::progressPaintsWithoutEventLoop()
{
    ProbeWindow window(userOptions(1));
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
