#pragma once

// A download session run the way the window runs it: its own installation root, mirror list,
// settings and download directory in a scratch tree; its signals recorded; released with
// deleteLater from the slot of its final signal.

#include "approottesting.h"
#include "ftpproductdownloadsession.h"
#include "producttree.h"

#include <QDir>
#include <QList>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class SessionRig
{
public:
    QTemporaryDir scratch;
    QString installDir, downloadDir, mirrorsFile, settingsFile;

    QStringList log;
    QList<int> switches;
    QList<QPair<quint64, quint64>> progress;
    int finished = 0;
    int cancelled = 0;
    int signalsAfterEnd = 0;
    // Taken just before the session is released.
    QList<bool> markedAtEnd;
    QPointer<FTPProductDownloadSession> session;

    SessionRig()
    {
        installDir = scratch.filePath("install");
        downloadDir = scratch.filePath("download");
        mirrorsFile = installDir + "/mirrors.ini";
        settingsFile = installDir + "/update.ini";
        QDir().mkpath(installDir);
        setAppRootPathForTesting(installDir);
        FTPProductDownloadSession::randomGenerator()->seed(1);
    }
    ~SessionRig()
    {
        delete session.data();
        setAppRootPathForTesting(QString());
    }

    // Mirrors with one retry and no time-out, so failing ones fail fast.
    bool writeConfig(const QStringList& urls, int streams)
    {
        QByteArray text = "[mirrors]\nsize=" + QByteArray::number(urls.size()) + "\n";
        for (int i = 0; i < urls.size(); ++i)
            text += QByteArray::number(i + 1) + "\\mirror=site" + QByteArray::number(i) + "\n";
        for (int i = 0; i < urls.size(); ++i)
            text += "[site" + QByteArray::number(i) + "]\nurl=" + urls[i].toUtf8() +
                    "\nretries=1\ntimeout=0\n";
        return writeFile(mirrorsFile, text) &&
               writeFile(settingsFile, "[update]\nstreams=" + QByteArray::number(streams));
    }

    // Writes the configuration, starts, and waits for the final signal.
    bool run(const QStringList& urls, int streams)
    {
        return writeConfig(urls, streams) && start() &&
               QTest::qWaitFor([this] { return ended(); }, 60000);
    }

    // Creates, connects and starts the session; returns what initialize said.
    bool start()
    {
        auto* s = new FTPProductDownloadSession;
        session = s;
        QObject::connect(s, &FTPProductDownloadSession::message, s, [this](const QString& m) {
            log << m;
            countAfterEnd();
        });
        QObject::connect(s, &FTPProductDownloadSession::progressCount, s,
                         [this](quint64 done, quint64 total) {
                             progress << qMakePair(done, total);
                             countAfterEnd();
                         });
        QObject::connect(s, &FTPProductDownloadSession::streamSwitchMirror, s,
                         [this](int stream) { switches << stream; });
        QObject::connect(s, &FTPProductDownloadSession::downloadFinished, s,
                         [this] { release(&finished); });
        QObject::connect(s, &FTPProductDownloadSession::processCancelled, s,
                         [this] { release(&cancelled); });
        FTPProductDownloadSession::InitialParameters p;
        p.clientType = "vm3";
        p.version = "12";
        p.mirrorsFile = mirrorsFile;
        p.settingsFile = settingsFile;
        p.downloadDir = downloadDir;
        const bool ok = s->initialize(p);
        s->startUpdate();
        return ok;
    }

    bool ended() const { return finished + cancelled > 0; }
    QByteArray dump() const { return log.join(QChar(10)).toUtf8(); }

    int count(const QString& pattern) const
    {
        return int(std::count_if(log.begin(), log.end(),
                                 [&](const QString& line) { return matches(line, pattern); }));
    }
    // Files of the product whose downloaded copy differs from what the mirror serves.
    QStringList wrongCopies(const ProductTree& product) const
    {
        QStringList out;
        for (const ProductFile& f : product.files) {
            if (readFile(downloadDir + "/" + f.mirrorPath()) != product.mirrorBytes(f))
                out << f.name;
        }
        return out;
    }
    // Every pattern matches a line, in the given order.
    bool inOrder(const QStringList& patterns) const
    {
        int at = 0;
        for (const QString& line : log)
            at += at < patterns.size() && matches(line, patterns[at]);
        return at == patterns.size();
    }

private:
    static bool matches(const QString& line, const QString& pattern)
    {
        return QRegularExpression(QRegularExpression::anchoredPattern(pattern))
            .match(line)
            .hasMatch();
    }
    void countAfterEnd()
    {
        if (ended())
            ++signalsAfterEnd;
    }
    void release(int* counter)
    {
        countAfterEnd();
        ++*counter;
        markedAtEnd.clear();
        for (const auto& m : session->getMirrors())
            markedAtEnd << m.marked;
        session->deleteLater();
    }
};

// How often a server was asked for a file, from the tail of the requested paths.
inline int timesRequested(const QStringList& requested, const QString& mirrorPath)
{
    int n = 0;
    for (const QString& p : requested) {
        // An FTP client that changes directory first names the file alone.
        if (p.endsWith("/" + mirrorPath) || p == mirrorPath ||
            (!p.contains('/') && mirrorPath.endsWith("/" + p)))
            ++n;
    }
    return n;
}

// Files of the product not requested exactly once, or requested though named in `atHand`.
inline QStringList misfetched(const QStringList& requested, const ProductTree& product,
                              const QStringList& atHand = {})
{
    QStringList out;
    for (const ProductFile& f : product.files) {
        if (timesRequested(requested, f.mirrorPath()) != (atHand.contains(f.name) ? 0 : 1))
            out << f.name;
    }
    return out;
}
