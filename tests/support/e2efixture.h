#pragma once

// The real updater, run unattended against mirrors on 127.0.0.1. The servers are shared by all
// cases of a test program; each case publishes below a directory of its own and reads only its
// own requests.

#include "installation.h"
#include "producttree.h"
#include "testservers.h"

#include <QtTest>

#include <sys/stat.h>

inline const QString clientType = QStringLiteral("client_linux_x86");
inline const QString productIndex = clientType + ".ini";
inline const QString manifestFile = clientType + ".manifest.ini";

inline QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// Each "path mode" line with the mode of the file below `inst` in its place, or "missing".
inline QStringList modes(const Installation& inst, QStringList lines)
{
    for (QString& line : lines) {
        struct stat st;
        const QString path = line.section(' ', 0, 0);
        const bool found = ::stat(QFile::encodeName(inst.path(path)).constData(), &st) == 0;
        line = path + (found ? QString(" %1").arg(st.st_mode & 07777, 0, 8) : " missing");
    }
    return lines;
}

inline const QString refused = "Index signature from mirror0 is missing or not valid.";
inline const QString notSigned =
    "Updates are not signed: there is no update.pub in the installation directory.";

inline QByteArray flipped(QByteArray bytes, int at)
{
    bytes[at] = char(bytes[at] ^ 1);
    return bytes;
}

// The bytes of nginx's answers (nginx.sent()) when every one sent a range; -1 otherwise.
inline qint64 rangeBytes(const QStringList& sent)
{
    qint64 bytes = 0;
    for (const QString& answer : sent)
        bytes = bytes < 0 || !answer.startsWith("206 ") ? -1 : bytes + answer.mid(4).toLongLong();
    return bytes;
}

inline bool openssl(const QStringList& arguments)
{
    return QProcess::execute("openssl", arguments) == 0;
}

inline QString installedVersion(const Installation& i)
{
    QSettings settings(i.path("update.ini"), QSettings::IniFormat);
    settings.allKeys(); // parses every group: "[installed/a]" before "[installed]" hides it
    return settings.value("installed/version").toString();
}

inline QByteArray message(const QString& type, const QString& version, const QByteArray& index,
                          const QByteArray& manifest)
{
    return QString("voxmere-release-v2\n%1\n%2\n%3\n%4\n")
        .arg(type, version, ProductTree::sha256(index), ProductTree::sha256(manifest))
        .toUtf8();
}

class EndToEndTest : public QObject
{
    Q_OBJECT

protected:
    QString mirror(const QString& server, const QString& kind = QString()) const
    {
        return server + kind + "/" + caseName + "/";
    }
    QString publish(const ProductTree& p, int version, const QString& where = QString()) const
    {
        return p.write(mirrorRoot.path() + "/" + caseName + where, QString::number(version),
                       clientType);
    }
    // What nginx served of this case's version, mirror paths in order, on plain paths only.
    QStringList httpFetched(int version, int from = 0) const
    {
        QStringList plain = nginx.requestedPaths().mid(from);
        plain.removeIf(
            [](const QString& p) { return p.contains(QRegularExpression("^/(slow|drop|busy)/")); });
        return pathsBelow(plain, QString("/%1/%2/").arg(caseName).arg(version));
    }
    Installation::Run update(const QString& version) const
    {
        return inst->run({"--nouser", clientType, version});
    }
    // Starts an update and kills it the moment `file` appears; false when it had ended before.
    // New copies live only while they are written and flushed: polled every millisecond.
    bool killWhenThere(const QString& version, const QString& file) const
    {
        std::unique_ptr<QProcess> run = inst->start({"--nouser", clientType, version});
        QDeadlineTimer deadline(scaledMs(60000));
        while (!QFileInfo::exists(file) && !deadline.hasExpired())
            QTest::qWait(1);
        const bool running = run->state() == QProcess::Running;
        run->kill();
        Installation::wait(run.get());
        return running;
    }

    // Versions 1 and 2 published and signed by update-publish (2 with patches from 1 unless
    // `wholeOnly`; big3.bin packed); version 1 installed, its key trusted.
    bool publishReleases(const ProductTree& v1, const ProductTree& v2, bool wholeOnly) const
    {
        for (const int version : {1, 2}) {
            const QString source = QString("%1/src%2").arg(inst->root()).arg(version);
            for (const ProductFile& f : (version == 1 ? v1 : v2).files)
                if (!writeFile(source + "/" + f.installedPath(), f.content))
                    return false;
            QStringList args{"--quiet",  "--replace",  "--pack",
                             "big3.bin", "--sign-key", key("a.pem")};
            if (version == 2 && !wholeOnly)
                args << "--delta-from"
                     << "1";
            QProcess publisher;
            publisher.start(UPDATE_PUBLISH_BINARY, args << source
                                                        << mirrorRoot.path() + "/" + caseName
                                                        << QString::number(version));
            if (!publisher.waitForFinished(scaledMs(60000)) || publisher.exitCode() != 0)
                return false;
        }
        makeTreeWorldReadable(mirrorRoot.path() + "/" + caseName);
        return inst->install(v1) && writeFile(inst->path("update.pub"), readFile(key("a.pub")));
    }

    QString key(const QString& name) const { return keys.filePath(name); }
    // openssl's signature of the bytes by the private key name.pem.
    QByteArray sign(const QString& name, const QByteArray& signedBytes) const
    {
        const bool made = writeFile(key("message"), signedBytes) &&
                          openssl({"pkeyutl", "-sign", "-rawin", "-inkey", key(name + ".pem"),
                                   "-in", key("message"), "-out", key("signature")});
        return made ? readFile(key("signature")) : QByteArray();
    }

    QTemporaryDir mirrorRoot, keys;
    NginxServer nginx, tls;
    VsftpdServer vsftpd;
    SquidServer squid;
    std::unique_ptr<Installation> inst;
    QString caseName;
    int caseCount = 0;
    quint16 secondPort = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(mirrorRoot.isValid());
        // Redirects: /hops/ takes one hop per "a" after it and one more; /here/ to the same
        // server, /away/ to its second port, /tohttp/ from TLS to plain HTTP.
        secondPort = freePort();
        // /drip/ sends 100 bytes a second; /redirect/ answers with a 100 MB redirect.
        const QString here = "location ~ ^/here/(.*)$ { return 301 /$1; }\n";
        const QString body = mirrorRoot.path() + "/redirect.body";
        QVERIFY(writeFile(body, "") && QFile::resize(body, 100 << 20));
        QVERIFY2(nginx.start(
                     mirrorRoot.path(),
                     "location /slow/ { alias ROOT/; limit_rate_after 40k; limit_rate 2k; }\n"
                     "location /drip/ { alias ROOT/; limit_rate 100; }\n"
                     "location /redirect/ { error_page 404 =302 /redirect.body; return 404; }\n"
                     "location = /redirect.body { add_header Location /elsewhere always; }\n"
                     "location /busy/ { return 503; }\nlocation /drop/ { return 444; }\n"
                     "location ~ ^/hops/a(a*)/(.*)$ { return 302 /hops/$1/$2; }\n"
                     "location ~ ^/hops/(.*)$ { return 302 /$1; }\n" +
                         here +
                         QString("listen 127.0.0.1:%1;\n"
                                 "location ~ ^/away/(.*)$ { return 302 http://127.0.0.1:%1/$1; }\n"
                                 // Mirrors that will not continue a file: one ignores Range,
                                 // one answers for byte 1000 whatever was asked.
                                 "location /norange/ { alias ROOT/; max_ranges 0; }\n"
                                 "location /badrange/ { set $r ''; if ($http_range) { set $r "
                                 "bytes=1000-; } proxy_set_header Range $r; "
                                 "proxy_pass http://127.0.0.1:%1/; }")
                             .arg(secondPort)),
                 qPrintable(nginx.output()));
        QVERIFY2(tls.start(mirrorRoot.path(),
                           here + QString("location ~ ^/tohttp/(.*)$ "
                                          "{ return 301 http://127.0.0.1:%1/$1; }")
                                      .arg(nginx.port()),
                           true),
                 qPrintable(tls.output()));
        QVERIFY2(vsftpd.start(mirrorRoot.path()), qPrintable(vsftpd.output()));
        QVERIFY2(squid.start(), qPrintable(squid.output()));
        for (const QString name : {"a", "b", "rsa"}) {
            QVERIFY(openssl({"genpkey", "-algorithm", name == "rsa" ? "rsa" : "ed25519", "-out",
                             key(name + ".pem")}));
            QVERIFY(openssl(
                {"pkey", "-in", key(name + ".pem"), "-pubout", "-out", key(name + ".pub")}));
        }
        QVERIFY(writeFile(key("junk.pub"), "-----BEGIN PUBLIC KEY-----\nnot a key\n"));
    }

    void init()
    {
        caseName = QString("case%1").arg(++caseCount);
        inst = std::make_unique<Installation>();
        QVERIFY(inst->create());
        inst->writeSettings(2);
    }
};
