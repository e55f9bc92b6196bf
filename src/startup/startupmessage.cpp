#include "startupmessage.h"

#include <cstdio>

static StartupMessageHook messageHook = nullptr;

void setStartupMessageHook(StartupMessageHook hook)
{
    messageHook = hook;
}

void reportStartupMessage(StartupMessageLevel level, const QString& title, const QString& text)
{
    if (messageHook) {
        messageHook(level, title, text);
        return;
    }
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}
