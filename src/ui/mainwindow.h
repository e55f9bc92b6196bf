#pragma once

#include "directoryupdate.h"
#include "ui_mainwindow.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

#include <memory>

class FTPProductDownloadSession;
class QCloseEvent;
class QLockFile;
class QTimerEvent;
class TrustedKeys;

// The updater's only window: shows the progress of an update and drives it from its start
// button.
class MainWindow : public QWidget, private Ui::MainWindow, private UpdateQuestions
{
    Q_OBJECT
public:
    // noUser: run unattended ("--nouser"); clientType and version: what to install;
    // versionFromServer: the version is the update server's answer, which never goes back.
    MainWindow(bool noUser, const QString& clientType, int version, bool versionFromServer = false);
    ~MainWindow() override;

    // "about 4 min left" for what is left at the given speed; empty while the speed is unknown.
    static QString timeLeftText(quint64 bytesLeft, double bytesPerSecond);

public Q_SLOTS:
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onUpdateFinished();
    void onProgressUpdate(quint64 current, quint64 total);
    void onDownloadInitiated();
    void onProgressCount(quint64 current, quint64 total);
    void onStreamStarted(int stream);
    void onStreamSwitchMirror(int stream);
    void onStreamError(int stream, const QString& text);
    void onStreamFinished();
    void onStreamProgress(int stream, qulonglong done, qulonglong total);
    void onProcessCancelled();
    // While the files at hand are checked, the bytes counted are not downloaded: the time left
    // waits for the download's own speed.
    void onVerifying(bool running);

protected:
    void closeEvent(QCloseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

    // Starts applying the downloaded set; false when it could not start (nothing is touched).
    // onApplyFinished follows otherwise.
    bool copyTemporaryOnly();
    // Downloads into downloadDir, whose record is written.
    void startSession(bool resume);
    // Asks the mirrors for the signed latest-version record; onLatestRecord() follows.
    void fetchLatestRecord();
    void onLatestRecord();
    // False, after telling the user, when update.ini names a proxy the streams cannot use.
    bool checkProxy();
    // False, after telling the user, when the download limit is not a rate; else it applies.
    bool checkRateLimit();
    // The user gave a new download limit: it applies at once and is kept in update.ini.
    void onLimitEdited();
    void stopSpeedTimer();
    void onApplyFinished();
    // The end of an update whose application ended or could not start.
    void finishUpdate(bool complete);
    void askAbortRetryIgnore(const QString& text, std::function<void(Answer)> answered) override;
    void removeTemporaryOnly();
    void cleanupCurrentUpdateFiles();

    bool getExistingUpdateData(QString iniDir, QString* version, QString* type,
                               QString* downloadDir);
    // False when update.ini could not be written.
    bool modifyUpdateData(const QString& version, const QString& downloadDir);
    bool cleanupCurrentUpdateDataIniFile();
    QString unwritableSettings() const;

    bool noUser() const { return unattended; }
    // With a user a message box; without one the text goes to the log (and so to standard
    // error), since nobody could answer a box.
    void tellUser(QMessageBox::Icon icon, const QString& title, const QString& text);
    // Ends an unattended run with the given exit code once control is back in the event loop.
    void endUnattended(int code);
    // One update at a time per installation: held from the first start until the process ends.
    bool takeUpdateLock();
    void releaseSession();
    // Reads update.pub of the installation; false (and the user told) when it exists but
    // cannot be used. Without it, updates go unsigned.
    bool loadTrustedKeys();
    // A version from the update server older than the installed one of the same type.
    bool isDowngradeFromServer();
    void finishWithoutUpdate();
    void repaintProgress(bool force);

    bool unattended = false;
    QString clientType;
    int version = 0;
    int timerId = 0;
    FTPProductDownloadSession* session = nullptr;
    DirectoryUpdate* applying = nullptr;
    // The user chose to close while files were being replaced: the window goes when the file in
    // hand is done.
    bool closeAfterApply = false;
    quint64 doneKB = 0;
    quint64 elapsedSeconds = 0;
    // Bytes of the last progress, and at the last tick of the speed timer, for the time left.
    quint64 doneBytes = 0, totalBytes = 0, tickBytes = 0;
    double smoothedSpeed = 0;
    // Seconds of the download's speed measured so far; -1 while the verification runs.
    int speedSamples = 0;
    // The download limit as update.ini or the user wrote it.
    QString limitText;
    bool finished = false;
    QString downloadDir;
    // What the verification found installed already, and what is fetched whole after its patch
    // failed, in this run.
    QSet<QString> currentFiles, wholeFiles;
    bool versionFromServer = false;
    std::shared_ptr<const TrustedKeys> trustedKeys;
    bool unsignedNoted = false;
    bool latestChecked = false;
    std::unique_ptr<QTemporaryDir> latestDir;

    std::unique_ptr<QLockFile> updateLock;
    QElapsedTimer lastProgressRepaint;
};
