#include "mainwindow.h"

#include "curlmulti.h"
#include "downloaddirectory.h"
#include "ftpproductdownloadsession.h"
#include "indexsignature.h"
#include "inifile.h"
#include "installationfiles.h"
#include "latestrecord.h"
#include "offthread.h"
#include "ratebudget.h"
#include "runningclient.h"
#include "streamrelay.h"
#include "updaterecord.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

namespace
{

QString installationFile(const QString& name)
{
    return getAppRootPath() + QLatin1Char('/') + name;
}

QString sessionFileName(const QString& version)
{
    return QStringLiteral("session_") + version + QStringLiteral(".ini");
}

// Empties and removes a download directory; false when the directory itself stayed.
bool removeDownloadDirectory(const QString& dir, bool* hadParent)
{
    // Hundreds of megabytes take a while to unlink; the window stays live meanwhile.
    runOffThread([&] { cleanupDirectory(dir); });
    QDir parent(dir);
    *hadParent = parent.cdUp();
    return *hadParent && parent.rmdir(QFileInfo(dir).fileName());
}

} // namespace

void MainWindow::on_startButton_clicked()
{
    if (finished) {
        QProcess::startDetached(installationFile(getClientBinaryName()), QStringList(),
                                getAppRootPath());
        close();
        return;
    }
    if (session || applying)
        return;

    if (!QFileInfo::exists(installationFile(QStringLiteral("mirrors.ini")))) {
        tellUser(QMessageBox::Critical, tr("Error"),
                 tr("%1 is missing, cannot proceed.").arg(QStringLiteral("mirrors.ini")));
        endUnattended(1);
        return;
    }
    // Before the record is looked at: another updater may be using the directory it names.
    if (!takeUpdateLock()) {
        tellUser(QMessageBox::Warning, tr("Warning"), tr("Another update is running."));
        endUnattended(1);
        return;
    }
    // What an earlier update left: only under the lock, where no other updater is writing.
    removeOldFiles(getAppRootPath());
    removeUnfinishedFiles(getAppRootPath());
    if (!loadTrustedKeys() || !checkProxy() || !checkRateLimit()) {
        endUnattended(1);
        return;
    }
    // A signed installation takes the version from the publisher's signed record, never from
    // the update server's answer alone, which anyone on the way can forge.
    if (versionFromServer && trustedKeys && !latestChecked) {
        fetchLatestRecord();
        return;
    }
    if (isDowngradeFromServer()) {
        finishWithoutUpdate();
        return;
    }
    if (isExecutableRunning(installationFile(getClientBinaryName()))) {
        const QString text =
            tr("The Voxmere 3 Client should be\nclosed before starting the update.");
        if (!noUser()) {
            QMessageBox::warning(this, tr("Warning"), text, QMessageBox::Ok);
            return;
        }
        onAppendText(text);
    }

    const QString versionText = QString::number(version);
    QString storedVersion, storedType, storedDir;
    bool resume = false;
    if (getExistingUpdateData(QString(), &storedVersion, &storedType, &storedDir)) {
        // A record of another type (a typo on an earlier command line) is another update; one
        // without a type, from an older updater, is taken for this one.
        if (storedVersion == versionText && (storedType.isEmpty() || storedType == clientType)) {
            onAppendText(
                QStringLiteral("Previous update session for v. %1 found").arg(storedVersion));
            resume = true;
        } else {
            onAppendText(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                             .arg(storedVersion, storedDir));
            QFile::remove(installationFile(sessionFileName(storedVersion)));
            bool hadParent = false;
            const bool removed = removeDownloadDirectory(storedDir, &hadParent);
            if (hadParent)
                onAppendText(removed ? QStringLiteral("Ok")
                                     : QStringLiteral("Failed to remove directory"));
            cleanupCurrentUpdateDataIniFile();
        }
    }

    QString dir = resume ? storedDir : QString();
    if (!resume) {
        const QString temp = QDir::tempPath();
        if (!temp.isEmpty())
            dir = createDownloadDirectory(temp);
        if (dir.isEmpty()) {
            tellUser(QMessageBox::Warning, tr("Error"), tr("Unable to get temp directory."));
            endUnattended(1);
            return;
        }
    }
    // Without the record an interrupted update could not resume, and its download directory
    // would be left behind at every start.
    if (!modifyUpdateData(versionText, dir)) {
        if (!resume)
            QDir(dir).removeRecursively();
        tellUser(QMessageBox::Critical, tr("Error"), unwritableSettings());
        endUnattended(1);
        return;
    }
    downloadDir = dir;
    wholeFiles.clear();
    startSession(resume);
}

void MainWindow::startSession(bool resume)
{
    session = new FTPProductDownloadSession();
    connect(session, &FTPProductDownloadSession::downloadInitiated, this,
            &MainWindow::onDownloadInitiated);
    connect(session, &FTPProductDownloadSession::progressCount, this, &MainWindow::onProgressCount);
    connect(session, &FTPProductDownloadSession::streamStarted, this, &MainWindow::onStreamStarted);
    connect(session, &FTPProductDownloadSession::streamSwitchMirror, this,
            &MainWindow::onStreamSwitchMirror);
    connect(session, &FTPProductDownloadSession::streamError, this, &MainWindow::onStreamError);
    connect(session, &FTPProductDownloadSession::streamFinished, this,
            &MainWindow::onStreamFinished);
    connect(session, &FTPProductDownloadSession::streamProgress, this,
            &MainWindow::onStreamProgress);
    connect(session, &FTPProductDownloadSession::processCancelled, this,
            &MainWindow::onProcessCancelled);
    connect(session, &FTPProductDownloadSession::downloadFinished, this,
            &MainWindow::onUpdateFinished);
    connect(session, &FTPProductDownloadSession::message, this, &MainWindow::onAppendText);
    connect(session, &FTPProductDownloadSession::verificationFinished, this,
            [this] { onVerifying(false); });

    elapsedSeconds = 0;
    onVerifying(true);
    timerId = startTimer(1000);
    startButton->setEnabled(false);

    const QString versionText = QString::number(version);
    FTPProductDownloadSession::InitialParameters parameters;
    parameters.clientType = clientType;
    parameters.version = versionText;
    parameters.mirrorsFile = installationFile(QStringLiteral("mirrors.ini"));
    parameters.settingsFile = installationFile(QStringLiteral("update.ini"));
    parameters.downloadDir = downloadDir;
    parameters.resumeDownloadDir = resume;
    parameters.defaultStreams = 4;
    parameters.sessionFile = installationFile(sessionFileName(versionText));
    parameters.trustedKeys = trustedKeys;
    parameters.wholeFiles = wholeFiles;

    session->initialize(parameters);
    session->startUpdate();
}

void MainWindow::fetchLatestRecord()
{
    latestDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/voxmere_latest_XXXXXX");
    if (!latestDir->isValid()) {
        latestDir.reset();
        tellUser(QMessageBox::Warning, tr("Error"), tr("Unable to get temp directory."));
        endUnattended(1);
        return;
    }
    startButton->setEnabled(false);
    session = new FTPProductDownloadSession();
    connect(session, &FTPProductDownloadSession::message, this, &MainWindow::onAppendText);
    connect(session, &FTPProductDownloadSession::downloadFinished, this,
            &MainWindow::onLatestRecord);
    connect(session, &FTPProductDownloadSession::processCancelled, this,
            &MainWindow::onLatestRecord);
    FTPProductDownloadSession::InitialParameters parameters;
    parameters.clientType = clientType;
    parameters.mirrorsFile = installationFile(QStringLiteral("mirrors.ini"));
    parameters.settingsFile = installationFile(QStringLiteral("update.ini"));
    parameters.downloadDir = latestDir->path();
    parameters.trustedKeys = trustedKeys;
    parameters.latestOnly = true;
    session->initialize(parameters);
    session->startUpdate();
}

void MainWindow::onLatestRecord()
{
    const int latest = session->latestVersion();
    const QDateTime expired = session->latestExpired();
    releaseSession();
    latestDir.reset();
    startButton->setEnabled(true);
    if (latest <= 0) {
        QString text = tr("No mirror has a valid latest-version record of %1.").arg(clientType);
        if (expired.isValid())
            text += QLatin1Char(' ') +
                    tr("The newest expired on %1.").arg(LatestRecord::timeText(expired));
        startButton->setText(tr("Restart"));
        tellUser(QMessageBox::Critical, tr("Update"), text);
        endUnattended(2);
        return;
    }
    if (latest != version)
        onAppendText(QStringLiteral("The signed latest-version record names version %1, the "
                                    "update server %2.")
                         .arg(latest)
                         .arg(version));
    version = latest;
    revnoLabel->setText(QString::number(version));
    latestChecked = true;
    on_startButton_clicked();
}

void MainWindow::onUpdateFinished()
{
    stopSpeedTimer();
    currentFiles = session->currentFiles();
    releaseSession();
    if (!copyTemporaryOnly())
        finishUpdate(false);
}

void MainWindow::finishUpdate(bool complete)
{
    if (complete) {
        if (!writeInstalledVersion(QString(), QString::number(version), clientType))
            tellUser(QMessageBox::Warning, tr("Warning"), unwritableSettings());
        removeTemporaryOnly();
        finished = true;
        startButton->setText(tr("Start Voxmere"));
        startButton->setEnabled(true);
        if (noUser() || closeAfterApply)
            close();
        return;
    }

    // Something is not in place: the downloaded set and its record stay, so that "Restart" or
    // the next start verifies and applies again without downloading.
    onAppendText(QStringLiteral("Update incomplete"));
    finished = false;
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    if (noUser()) {
        endUnattended(3);
        return;
    }
    if (closeAfterApply) {
        close();
        return;
    }
    QMessageBox::critical(this, tr("Update"),
                          tr("Update incomplete. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
}

void MainWindow::onDownloadInitiated()
{
    onAppendText(QStringLiteral("Download started\n"));
}

void MainWindow::onStreamStarted(int stream)
{
    onAppendText(QStringLiteral("Download stream %1 started").arg(stream));
}

void MainWindow::onStreamSwitchMirror(int /*stream*/) {}

void MainWindow::onStreamError(int /*stream*/, const QString& /*text*/) {}

void MainWindow::onStreamFinished() {}

void MainWindow::onStreamProgress(int /*stream*/, qulonglong /*done*/, qulonglong /*total*/) {}

void MainWindow::onProcessCancelled()
{
    stopSpeedTimer();
    finished = false;
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    releaseSession();
    onAppendText(QStringLiteral("Download cancelled"));
    if (totalProgressBar->maximum() == 0 && totalProgressBar->value() == 0) {
        totalProgressBar->setMaximum(1);
        totalProgressBar->setValue(0);
    }
    if (noUser()) {
        endUnattended(2);
        return;
    }
    QMessageBox::critical(this, tr("Update"),
                          tr("Download cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
    totalProgressBar->setMaximum(1);
    totalProgressBar->setValue(0);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if ((!session && !applying) || noUser()) {
        event->accept();
        return;
    }
    const QString text = tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>");
    if (session) {
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("Question"), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
        if (answer == QMessageBox::Yes)
            event->accept();
        else
            event->ignore();
        return;
    }
    // While files are replaced the window stays until the file in hand is done; the box does not
    // hold up the application meanwhile.
    event->ignore();
    if (closeAfterApply)
        return;
    auto* box = new QMessageBox(QMessageBox::Question, tr("Question"), text,
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box] {
        if (box->standardButton(box->clickedButton()) != QMessageBox::Yes)
            return;
        closeAfterApply = true;
        if (applying)
            applying->stop();
        else
            close();
    });
    box->open();
}

bool MainWindow::copyTemporaryOnly()
{
    onAppendText(QStringLiteral("Copy updated files..."));
    // An earlier apply in this process may have moved the updater aside already; that copy
    // must go before the next one can take its name.
    removeOldFiles(getAppRootPath());

    auto update = std::make_unique<DirectoryUpdate>();
    connect(update.get(), &DirectoryUpdate::message, this, &MainWindow::onAppendText);
    connect(update.get(), &DirectoryUpdate::progress, this, &MainWindow::onProgressUpdate);
    connect(update.get(), &DirectoryUpdate::updateFinished, this, &MainWindow::onApplyFinished);
    update->setQuestions(this);
    update->setCurrentFiles(currentFiles);
    onProgressUpdate(0, 1);
    if (trustedKeys)
        update->requireSignature(trustedKeys, clientType, QString::number(version));
    if (!update->updateContent(noUser(), downloadDir,
                               downloadDir + QLatin1Char('/') + clientType + QStringLiteral(".ini"),
                               getAppRootPath()))
        return false;
    applying = update.release();
    return true;
}

void MainWindow::onApplyFinished()
{
    const bool complete = applying->isComplete();
    const QStringList unpatched = applying->failedPatches();
    // This slot runs inside the job's own signal.
    applying->deleteLater();
    applying = nullptr;
    if (complete)
        onAppendText(QStringLiteral("Updated files copied"));
    // A patch that did not rebuild its file is a publisher's fault; the whole file mends it, in
    // this run and once: the next apply leaves the files done already alone.
    if (!complete && wholeFiles.isEmpty() && !unpatched.isEmpty() && !closeAfterApply) {
        onAppendText(QStringLiteral("Fetching whole: %1").arg(unpatched.join(QLatin1String(", "))));
        wholeFiles = QSet<QString>(unpatched.cbegin(), unpatched.cend());
        startSession(true);
        return;
    }
    finishUpdate(complete);
}

void MainWindow::askAbortRetryIgnore(const QString& text, std::function<void(Answer)> answered)
{
    auto* box =
        new QMessageBox(QMessageBox::Question, tr("Question"), text,
                        QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore, this);
    box->setDefaultButton(QMessageBox::Retry);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [box, answered] {
        const QMessageBox::StandardButton button = box->standardButton(box->clickedButton());
        // Escape aborts, as the box's reject button.
        answered(button == QMessageBox::Ignore  ? Ignore
                 : button == QMessageBox::Retry ? Retry
                                                : Abort);
    });
    box->open();
}

void MainWindow::removeTemporaryOnly()
{
    onAppendText(QStringLiteral("Remove temporary files..."));
    cleanupCurrentUpdateFiles();
    onAppendText(QStringLiteral("Update finished, version: %1").arg(version));
}

void MainWindow::cleanupCurrentUpdateFiles()
{
    QFile::remove(installationFile(sessionFileName(QString::number(version))));
    bool hadParent = false;
    if (removeDownloadDirectory(downloadDir, &hadParent))
        onAppendText(QStringLiteral("Temporary files removed."));
    else
        onAppendText(QStringLiteral("ERROR: %1 could not be removed.").arg(downloadDir));
    // A record left behind names a directory that is gone: the next start passes it over.
    if (!cleanupCurrentUpdateDataIniFile())
        tellUser(QMessageBox::Warning, tr("Warning"), unwritableSettings());
}

bool MainWindow::getExistingUpdateData(QString iniDir, QString* version, QString* type,
                                       QString* downloadDir)
{
    return ::getExistingUpdateData(iniDir, version, type, downloadDir);
}

bool MainWindow::modifyUpdateData(const QString& version, const QString& downloadDir)
{
    return writeUpdateData(QString(), version, downloadDir, clientType);
}

bool MainWindow::cleanupCurrentUpdateDataIniFile()
{
    return removeUpdateData(QString());
}

QString MainWindow::unwritableSettings() const
{
    return tr("Unable to write %1.").arg(installationFile(QStringLiteral("update.ini")));
}

void MainWindow::tellUser(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (noUser()) {
        onAppendText(text);
        return;
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok, this);
    box.exec();
}

void MainWindow::endUnattended(int code)
{
    if (!noUser())
        return;
    QCoreApplication::exit(code);
}

bool MainWindow::takeUpdateLock()
{
    if (updateLock)
        return true;
    auto lock = std::make_unique<QLockFile>(installationFile(QStringLiteral("update.lock")));
    // An update may take hours; only a lock whose process is gone is stale.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return false;
    updateLock = std::move(lock);
    return true;
}

bool MainWindow::loadTrustedKeys()
{
    const QString path = installationFile(QStringLiteral("update.pub"));
    trustedKeys.reset();
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        if (!unsignedNoted)
            onAppendText(QStringLiteral(
                "Updates are not signed: there is no update.pub in the installation directory."));
        unsignedNoted = true;
        return true;
    }
    auto keys = std::make_shared<TrustedKeys>();
    if (!keys->loadFile(path)) {
        tellUser(QMessageBox::Critical, tr("Error"),
                 tr("The trusted key file update.pub cannot be used: %1").arg(keys->errorString()));
        return false;
    }
    trustedKeys = std::move(keys);
    return true;
}

bool MainWindow::checkProxy()
{
    QSettings settings(installationFile(QStringLiteral("update.ini")), QSettings::IniFormat);
    parseWholeIni(settings);
    const QString problem = SingleFileDownloadStream::parseProxy(
        settings.value(QStringLiteral("update/proxy")).toString());
    if (problem.isEmpty())
        return true;
    // A proxy the streams cannot speak to must not turn into a direct connection.
    tellUser(QMessageBox::Critical, tr("Error"), tr("The proxy in update.ini %1.").arg(problem));
    return false;
}

bool MainWindow::checkRateLimit()
{
    qint64 limit = 0;
    if (!RateBudget::parse(limitText, &limit)) {
        tellUser(QMessageBox::Critical, tr("Error"),
                 tr("The limit-rate in update.ini is not a rate such as 500K, 8M or 1G: %1")
                     .arg(limitText));
        return false;
    }
    CurlMulti::instance()->setRateLimit(limit);
    if (limit > 0)
        onAppendText(QStringLiteral("Download limit: %1 bytes per second").arg(limit));
    return true;
}

bool MainWindow::isDowngradeFromServer()
{
    int installedVersion = 0;
    QString installedType;
    if (!versionFromServer || !getInstalledVersion(QString(), &installedVersion, &installedType))
        return false;
    if (installedType != clientType || version >= installedVersion)
        return false;
    onAppendText(QStringLiteral("Version %1 is older than the installed version %2.")
                     .arg(version)
                     .arg(installedVersion));
    return true;
}

void MainWindow::finishWithoutUpdate()
{
    finished = true;
    startButton->setText(tr("Start Voxmere"));
    startButton->setEnabled(true);
    if (noUser())
        close();
}

void MainWindow::releaseSession()
{
    if (!session)
        return;
    // The slot that calls this runs inside one of the session's signals.
    disconnect(session, nullptr, this, nullptr);
    session->deleteLater();
    session = nullptr;
}
