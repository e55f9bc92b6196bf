#pragma once

#include <QString>

// Installs the program's own translation (from the resources) and the toolkit's texts for the
// locale, e.g. "de_DE". Translators that find no file are installed anyway and translate nothing.
void installTranslators(const QString& localeName);
