#pragma once

// A scratch installation of the client for end-to-end tests: the built `update` copied into a
// directory of its own with "mirrors.ini" and "update.ini", and a temporary directory of its
// own for the download directories. The updater runs as a child process without any display.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class ProductTree;
class QProcess;
class QTemporaryDir;

class Installation
{
public:
    struct Mirror {
        QString url; // the mirror root; the version directory lies below it
        int retries = 1;
        int timeout = 1;
    };

    struct Run {
        bool finished = false; // ended by itself within the time given
        int exitCode = -1;
        QString errorOutput;
        // Standard error a line each, time stamps cut off, without the toolkit's own notes.
        QStringList messages() const;
    };

    struct Record {
        QString version, dir, type;
        bool present() const { return !version.isEmpty() || !dir.isEmpty(); }
    };

    Installation();
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    // Makes the directories and copies the built updater in as "update".
    bool create();

    QString dir() const;     // the installation directory
    QString tempDir() const; // TMPDIR of the updater runs
    QString root() const;    // holds both; anything else a test needs may go here too
    QString path(const QString& relative) const;

    void writeMirrors(const QList<Mirror>& mirrors) const;
    // Group "update" of update.ini; other groups are kept. An empty server leaves the key out.
    void writeSettings(int streams, const QString& server = QString()) const;
    Record record() const;

    // Puts the installed files of a product in place (an installation of that version).
    bool install(const ProductTree& product) const;
    // Empty when every file of the product is installed with its content; otherwise what is
    // wrong, one problem a line.
    QString compareWith(const ProductTree& product) const;
    // As compareWith, and also a kept update record or download directory is a problem.
    QString finishedWith(const ProductTree& product) const;
    // Files and directories below dir() that others may write to.
    QStringList worldWritable() const;
    // Names in tempDir() (download directories the updater left).
    QStringList tempEntries() const;

    // Starts the updater with these arguments; the caller owns the process. The environment has
    // no display and TMPDIR set to tempDir(); the working directory is root(), not dir().
    std::unique_ptr<QProcess> start(const QStringList& arguments) const;
    // Waits with the event loop running, so that servers in the test process keep serving.
    static Run wait(QProcess* process, int timeoutMs = 60000);
    Run run(const QStringList& arguments, int timeoutMs = 60000) const;

private:
    std::unique_ptr<QTemporaryDir> scratch;
};
