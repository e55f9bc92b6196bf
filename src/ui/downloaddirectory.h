#pragma once

#include <QString>

// Makes a fresh download directory below tempRoot: the first of "voxmere_temp_0" ...
// "voxmere_temp_999" that can be created exclusively, with mode 0700. A name that exists in
// any form (a file, a directory, a link, even a dangling one) is skipped, so nobody can make us
// write into a directory they prepared. Returns the absolute path, empty when no name worked.
QString createDownloadDirectory(const QString& tempRoot);
