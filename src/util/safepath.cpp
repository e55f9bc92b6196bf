#include "safepath.h"

#include <QStringTokenizer>

bool isSafeRelativePath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : path) {
        // Other_Control covers NUL, the C0 and C1 ranges and DEL.
        if (c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    for (const QStringView part : QStringTokenizer(path, u'/')) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}
