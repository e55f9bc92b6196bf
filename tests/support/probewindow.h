#pragma once

#include "mainwindow.h"

#include <QTextEdit>

// The window with its protected state in reach, and its widgets found by object name.
class ProbeWindow : public MainWindow
{
public:
    explicit ProbeWindow(int version = 1) : MainWindow(optionsFor(version)) {}
    static CommandLineOptions optionsFor(int version)
    {
        CommandLineOptions options;
        options.mode = 1;
        options.clientType = "client_linux_x86";
        options.version = version;
        return options;
    }
    FTPProductDownloadSession* runningSession() const { return session; }
    void setTimerId(int id) { timerId = id; }
    quint64 done() const { return doneKB; }
    quint64 elapsed() const { return elapsedSeconds; }
    const CommandLineOptions& copiedOptions() const { return options; }
    QString log() const { return child<QTextEdit>("outputTextEdit")->toPlainText(); }
    template <typename T> T* child(const char* name) const
    {
        T* widget = findChild<T*>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
};
