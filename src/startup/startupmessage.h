#pragma once

#include <QString>

enum class StartupMessageLevel { Warning, Critical };

// Start-up runs before any window exists and must not depend on widgets: whoever can show a
// message box installs a hook. Without one (no user present) messages go to standard error.
using StartupMessageHook = void (*)(StartupMessageLevel level, const QString& title,
                                    const QString& text);

void setStartupMessageHook(StartupMessageHook hook);
void reportStartupMessage(StartupMessageLevel level, const QString& title, const QString& text);
