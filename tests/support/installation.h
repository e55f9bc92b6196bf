#pragma once

// A scratch installation of the client: the built `update` copied into a directory of its own
// with "mirrors.ini" and "update.ini", and a temporary directory of its own for the download
// directories. The updater runs as a child process without any display.

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class ProductTree;
class QProcess;

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
    };
    struct Record {
        QString version, dir, type;
        bool present() const { return !version.isEmpty() || !dir.isEmpty(); }
    };

    Installation();
    ~Installation();

    bool create(); // makes the directories and copies the built updater in as "update"
    // root() holds dir() and tempDir(), the TMPDIR of the updater's runs, and what else a test
    // needs.
    QString root() const { return scratch->path(); }
    QString dir() const { return root() + "/install"; }
    QString tempDir() const { return root() + "/tmp"; }
    QString path(const QString& relative) const { return dir() + "/" + relative; }

    void writeMirrors(const QList<Mirror>& mirrors) const;
    // The updater's runs trust this certificate authority in place of the system's store.
    void trustAuthority(const QString& caFile) { authority = caFile; }
    // Group "update" of update.ini; other groups are kept. An empty server leaves the key out.
    void writeSettings(int streams, const QString& server = QString(),
                       const QString& proxy = QString()) const;
    Record record() const;
    bool install(const ProductTree& product) const;
    // Empty when every file of the product is installed with its content and nothing is
    // world-writable; otherwise what is wrong, a problem a line.
    QString compareWith(const ProductTree& product) const;
    // As compareWith, and also a kept update record or download directory is a problem.
    QString finishedWith(const ProductTree& product) const;
    QStringList tempEntries() const; // download directories the updater left

    // The environment has no display and TMPDIR set to tempDir(); the working directory is
    // root(), not dir(). wait() runs the event loop, so servers in the test process still serve.
    std::unique_ptr<QProcess> start(const QStringList& arguments) const;
    // "NAME=value" entries added to the updater's environment.
    QStringList environment;
    static Run wait(QProcess* process, int timeoutMs = 60000);
    Run run(const QStringList& arguments, int timeoutMs = 60000) const;

private:
    std::unique_ptr<QTemporaryDir> scratch;
    QString authority;
};
