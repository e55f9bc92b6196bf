#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>

#include <memory>

class QDir;
class TrustedKeys;
struct FileSpecification;

// Applies a downloaded file set to the installation directory: the "delete" removals, then each
// entry copied or unpacked into place, special files moved aside first.
class DirectoryUpdate : public QObject
{
    Q_OBJECT
public:
    DirectoryUpdate() = default;

    // False only when the index cannot be read (nothing is touched then).
    bool updateContent(bool noUser, const QString& sourceDir, const QString& indexPath,
                       const QString& destDir);
    QMessageBox::StandardButton ensureFileRemoved(bool noUser, const QString& path);

    // From then on updateContent applies an index only with its manifest and a signature over
    // both that verifies for this type and version; an index it refuses counts as unreadable.
    void requireSignature(std::shared_ptr<const TrustedKeys> keys, const QString& clientType,
                          const QString& version);

    // After updateContent: true when every entry of the index ended installed (or needed
    // nothing), false after an abort, an ignored failure or an unreadable index.
    bool isComplete() const { return complete; }

Q_SIGNALS:
    void updateInitiated();
    void progress(quint64, quint64);
    void message(QString);
    void updateFinished();

public Q_SLOTS:
    void emitUpdateFinished();

private:
    enum class EntryOutcome { Installed, Absent, Failed, Retry, Aborted };
    struct Prepared;
    class Writer;

    EntryOutcome installEntry(bool noUser, const FileSpecification& entry, const Prepared& prepared,
                              const QDir& dest);
    // ensureFileRemoved, also telling where a special file was moved aside to (linked: under a
    // second name, the file itself staying). removeOrdinary false: a file that the rename of
    // the new one replaces is left in place.
    QMessageBox::StandardButton clearDestination(bool noUser, const QString& path,
                                                 QString* movedAside, bool* linked,
                                                 bool removeOrdinary);
    void restoreMovedAside(const QString& movedAside, const QString& destination, bool linked);
    QMessageBox::StandardButton ask(const QString& text);

    bool complete = false;
    std::shared_ptr<const TrustedKeys> trustedKeys;
    QString signedType;
    QString signedVersion;
};
