#pragma once

#include <QString>
#include <QStringList>

// The installation directory: the directory of the running updater, without trailing "/".
QString getAppRootPath();
QString getClientBinaryName();

const QString& getSpecialFileRenamePrefix();
const QStringList& getSpecialFileNames();
bool isSpecialFileName(const QString& name);
void removeOldFiles(const QString& dir);
void makeSingleFileExecutable(const QString& path);
