#pragma once

#include "mainwindow.h"

#include <QTextEdit>

// The window with its protected state in reach, and its widgets found by object name.
class ProbeWindow : public MainWindow
{
public:
    explicit ProbeWindow(int version = 1) : MainWindow(false, "client_linux_x86", version) {}
    FTPProductDownloadSession* runningSession() const { return session; }
    void setTimerId(int id) { timerId = id; }
    quint64 done() const { return doneKB; }
    quint64 elapsed() const { return elapsedSeconds; }
    QString type() const { return clientType; }
    QString log() const { return child<QTextEdit>("outputTextEdit")->toPlainText(); }
    template <typename T> T* child(const char* name) const
    {
        T* widget = findChild<T*>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
};
