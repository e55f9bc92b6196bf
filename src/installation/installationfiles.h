#pragma once

#include <QString>
#include <QStringList>

// The installation directory: the directory of the running updater, without trailing "/".
QString getAppRootPath();
QString getClientBinaryName();

const QString& getSpecialFileRenamePrefix();
// The updater's own files (updaterfiles.txt): paths relative to the installation directory,
// "*" standing for any run of characters within one path component.
const QStringList& getSpecialFileNames();
// True when `relativePath`, relative to the installation directory, names one of the updater's
// own files.
bool isSpecialFileName(const QString& relativePath);
// True when `relativePath` is where a moved-aside copy of one of those files lies.
bool isMovedAsideCopy(const QString& relativePath);
// True when `relativePath` is a file the installation keeps for the updater: its settings, mirror
// list, lock and session records, the copies it moves aside and the new files it writes. No
// version may install one. update.pub, the trusted keys, only a signed version replaces: that is
// how a key is rotated.
bool isReservedInstallPath(const QString& relativePath, bool signedVersion);
// Deletes the moved-aside copies in `dir` and in the directories of the updater's own files.
void removeOldFiles(const QString& dir);
void makeSingleFileExecutable(const QString& path);
// True when a file of this bare name is installed executable (mode 0755).
bool isExecutableFileName(const QString& name);

// A new file is written beside its destination under this prefix + its bare name, and renamed
// over it once it is complete, flushed and checked. Such names belong to the installation: no
// version may contain one.
const QString& getNewFilePrefix();
// Deletes files under the new-file prefix anywhere below `dir`, left by an interrupted update.
void removeUnfinishedFiles(const QString& dir);
