#pragma once

#include <QString>

// For tests only: makes getAppRootPath() answer with a scratch installation directory.
// An empty path restores the directory of the running executable.
void setAppRootPathForTesting(const QString& path);
