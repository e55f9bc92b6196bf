#include "commandlineoptions.h"
#include "downloadstream.h"
#include "ftpproductdownloadsession.h"
#include "mainwindow.h"
#include "startupmessage.h"
#include "translators.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>
#include <cstring>

static void showStartupMessageBox(StartupMessageLevel level, const QString& title,
                                  const QString& text)
{
    if (level == StartupMessageLevel::Warning)
        QMessageBox::warning(nullptr, title, text, QMessageBox::Ok);
    else
        QMessageBox::critical(nullptr, title, text, QMessageBox::Ok);
}

int main(int argc, char* argv[])
{
    qRegisterMetaType<DownloadStream_State>("DownloadStream_State");
    qRegisterMetaType<DownloadStream_Error>("DownloadStream_Error");
    qRegisterMetaType<FTPProductDownloadSession_State>("FTPProductDownloadSession_State");

    // The one generator behind the random choice of mirrors.
    FTPProductDownloadSession::randomGenerator()->seed(quint32(QDateTime::currentSecsSinceEpoch()));

    // A scheduled run has no screen, and the toolkit aborts without one.
    const bool noUser = argc > 1 && std::strcmp(argv[1], "--nouser") == 0;
    if (noUser && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    installTranslators(QLocale::system().name());
    if (!noUser)
        setStartupMessageHook(showStartupMessageBox);

    CommandLineOptions options;
    const QString error = parseCommandLineOptions(&options, QString());
    if (!error.isEmpty()) {
        reportStartupMessage(StartupMessageLevel::Critical,
                             QCoreApplication::translate("QObject", "Error"), error);
        return 1;
    }

    MainWindow window(options.mode == 2, options.clientType, options.version,
                      options.versionFromServer);
    window.show();
    if (options.mode == 2)
        QTimer::singleShot(200, &window, &MainWindow::on_startButton_clicked);

    // For measurements: how long the event loop went without serving a 10 ms timer.
    QTimer probe;
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QDateTime longestGapEnd;
    const bool probing = qEnvironmentVariableIsSet("UPDATE_EVENT_LOOP_PROBE");
    if (probing) {
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (sinceTick.isValid() && sinceTick.elapsed() > longestGap) {
                longestGap = sinceTick.elapsed();
                longestGapEnd = QDateTime::currentDateTime();
            }
            sinceTick.start();
        });
        probe.start(10);
    }
    const int code = app.exec();
    if (probing)
        std::fprintf(stderr, "event loop: longest timer interval %lld ms, ended %s\n",
                     static_cast<long long>(longestGap),
                     qPrintable(longestGapEnd.toString(QStringLiteral("hh:mm:ss.zzz"))));
    return code;
}
