#pragma once

#include <QSettings>

// QSettings parses the groups of an INI file lazily and misses a group that a subgroup of it
// precedes ("[current/a]" before "[current]"): listing every key first parses them all.
inline void parseWholeIni(QSettings& settings)
{
    settings.allKeys();
}
