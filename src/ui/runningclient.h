#pragma once

#include <QString>

// True when some process runs the executable at executablePath (compared through
// /proc/PID/exe, so a process started under another name or through a link counts as well, and
// so does one whose file was replaced meanwhile).
bool isExecutableRunning(const QString& executablePath);
