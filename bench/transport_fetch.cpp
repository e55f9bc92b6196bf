// Fetches a list of paths from one HTTP server, one after another, with one HttpClient.
// Usage: transport_fetch HOST PORT LISTFILE OUTDIR
#include "httpclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <memory>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        fprintf(stderr, "usage: %s HOST PORT LISTFILE OUTDIR\n", argv[0]);
        return 2;
    }
    const QString host = QString::fromLocal8Bit(argv[1]);
    const quint16 port = quint16(QByteArray(argv[2]).toUInt());
    QFile list(QString::fromLocal8Bit(argv[3]));
    if (!list.open(QIODevice::ReadOnly))
        return 2;
    QStringList paths;
    QTextStream in(&list);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (!line.isEmpty())
            paths.append(line);
    }
    const QString outDir = QString::fromLocal8Bit(argv[4]);

    HttpClient http;
    http.setHost(host, port);
    int next = 0;
    int failures = 0;
    std::unique_ptr<QFile> file;
    auto fetchNext = [&] {
        if (next >= paths.size()) {
            app.exit(failures ? 1 : 0);
            return;
        }
        const QString path = paths[next++];
        file = std::make_unique<QFile>(outDir + QLatin1Char('/') + path.section('/', -1));
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            app.exit(2);
            return;
        }
        http.get(path, file.get());
    };
    QObject::connect(&http, &HttpClient::requestFinished, &app, [&](int, bool error) {
        if (!file) { // setHost
            fetchNext();
            return;
        }
        file->close();
        if (error) {
            ++failures;
            fprintf(stderr, "%s\n", qPrintable(http.errorString()));
        }
        fetchNext();
    });
    return app.exec();
}
