#pragma once

#include <QString>

// The record of an update in progress: group "current" of "update.ini" in iniDir (empty means
// the installation directory). Every other group of the file is left as it is.

// True when the record is usable; only then are the non-null outputs filled.
bool getExistingUpdateData(const QString& iniDir, QString* version, QString* type, QString* dir);
// The writers return false when update.ini could not be written.
bool writeUpdateData(const QString& iniDir, const QString& version, const QString& dir,
                     const QString& type);
bool removeUpdateData(const QString& iniDir);

// Group "installed": the version and client type of the last complete application. False when
// there is no usable version.
bool getInstalledVersion(const QString& iniDir, int* version, QString* type);
bool writeInstalledVersion(const QString& iniDir, const QString& version, const QString& type);

// Key "limit-rate" of group "update", the download limit, as written; empty when absent.
QString getRateLimitText(const QString& iniDir);
// Empty removes the key. False when update.ini could not be written.
bool writeRateLimitText(const QString& iniDir, const QString& text);

// Whether a recorded download directory may be resumed in, emptied and removed: an absolute,
// clean path to a real directory (not a symbolic link) named "voxmere_temp_..." that belongs to
// the user running the updater.
bool isUsableDownloadDirectory(const QString& dir);
