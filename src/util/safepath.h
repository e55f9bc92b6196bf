#pragma once

#include <QString>

// Paths in a product index come from a mirror. A path is safe to use below a root when it is
// relative, not empty, has no empty, "." or ".." component, and holds no backslash, NUL or
// other control character.
bool isSafeRelativePath(const QString& path);
