// Drives one download session, or one verification pass, for bench_session.sh and prints the
// elapsed time in milliseconds.
//   bench_session download <mirrors.ini> <update.ini> <downloadDir> <installDir> <type> <version>
//   bench_session verify <index.ini> <downloadDir> <installDir>

#include "approottesting.h"
#include "ftpproductdownloadsession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTextStream>

#include <cstdio>

namespace
{

int download(const QStringList& args)
{
    FTPProductDownloadSession::InitialParameters p;
    p.mirrorsFile = args[0];
    p.settingsFile = args[1];
    p.downloadDir = args[2];
    setAppRootPathForTesting(args[3]);
    p.clientType = args[4];
    p.version = args[5];
    p.defaultStreams = 4;

    auto* session = new FTPProductDownloadSession;
    int result = 1;
    QObject::connect(session, &FTPProductDownloadSession::downloadFinished, session, [&] {
        result = 0;
        session->deleteLater();
        QCoreApplication::quit();
    });
    QObject::connect(session, &FTPProductDownloadSession::processCancelled, session, [&] {
        session->deleteLater();
        QCoreApplication::quit();
    });
    QObject::connect(session, &FTPProductDownloadSession::message, session, [](const QString& m) {
        if (m.contains("error", Qt::CaseInsensitive))
            fprintf(stderr, "%s\n", qPrintable(m));
    });
    QElapsedTimer timer;
    timer.start();
    if (!session->initialize(p)) {
        fprintf(stderr, "no mirrors in %s\n", qPrintable(p.mirrorsFile));
        return 1;
    }
    session->startUpdate();
    QCoreApplication::exec();
    printf("%lld\n", timer.elapsed());
    return result;
}

int verify(const QStringList& args)
{
    FTPProductDownloadSession::InitialParameters p;
    p.downloadDir = args[1];
    setAppRootPathForTesting(args[2]);
    FTPProductDownloadSession session;
    session.initialize(p);
    QElapsedTimer timer;
    timer.start();
    QObject::connect(&session, &FTPProductDownloadSession::verificationFinished,
                     &QCoreApplication::quit);
    if (!session.checkAllFiles(args[0]))
        return 1;
    QCoreApplication::exec();
    const qint64 ms = timer.elapsed();
    const TaskState& task = session.getTask();
    if (task.readyCount != task.getSize()) {
        fprintf(stderr, "only %d of %d files current\n", task.readyCount, task.getSize());
        return 1;
    }
    printf("%lld\n", ms);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    FTPProductDownloadSession::randomGenerator()->seed(1);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 7 && args[0] == "download")
        return download(args.mid(1));
    if (args.size() == 4 && args[0] == "verify")
        return verify(args.mid(1));
    fprintf(stderr, "usage: bench_session download MIRRORS SETTINGS DOWNLOADDIR INSTALLDIR TYPE "
                    "VERSION | verify INDEX DOWNLOADDIR INSTALLDIR\n");
    return 2;
}
