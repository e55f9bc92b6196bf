#pragma once

// Real servers for tests, each on a free port of 127.0.0.1 with its own configuration in a
// temporary directory, stopped with their process group in the destructor (or stop()). They run as
// separate processes, so a test may wait on them any way it likes.
//
// FaultServer is different: it runs inside the test process on its event loop. While the test
// thread blocks (QThread::sleep, waitForFinished, a blocking read) it serves nothing. Wait with
// QTRY_* or QSignalSpy::wait so that the event loop runs; an end-to-end test that starts the
// real `update` binary must also wait with an event loop (QProcess signals + QTRY_*), never with
// QProcess::waitForFinished.

#include "producttree.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;
class QTemporaryDir;
class QTcpServer;
class QTcpSocket;
class QTimer;

namespace testservers
{
// A TCP port of 127.0.0.1 on which nothing listens right now.
quint16 freePort();
} // namespace testservers

// One server process with its configuration directory; the base of the fixtures below.
class ServerProcess
{
public:
    ServerProcess();
    virtual ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    quint16 port() const { return serverPort; }
    // Stops the process and its process group and waits until the port is closed.
    void stop();
    // The configuration and log directory; valid from start() until destruction.
    QString dir() const;
    // Combined stdout/stderr of the server so far, for failure messages.
    QString output() const { return text(QStringLiteral("output.log")); }

protected:
    bool prepareDir();
    bool launch(const QString& program, const QStringList& args);
    QString filePath(const QString& name) const { return dir() + QLatin1Char('/') + name; }
    // A file of the configuration directory as text.
    QString text(const QString& name) const { return QString::fromUtf8(readFile(filePath(name))); }

    quint16 serverPort = 0;

private:
    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<QProcess> process;
};

// nginx serving a directory, optionally over TLS with a CA made for this run.
class NginxServer : public ServerProcess
{
public:
    struct AccessEntry {
        QString path; // the request target as received (still percent-encoded)
        int status = 0;
        QString user; // basic-auth user, empty without
    };

    // Before start(): require basic authentication for the whole server.
    void setBasicAuth(const QString& user, const QString& password)
    {
        authUser = user;
        authPassword = password;
    }
    // Before start(): names the certificate is issued for (openssl subjectAltName entries).
    // Default {"IP:127.0.0.1", "DNS:localhost"}.
    void setCertificateNames(const QStringList& names) { certNames = names; }
    // Before start(): raw configuration text placed inside the server block, e.g.
    // "location = /old { return 302 http://127.0.0.1:1234/new; }".
    void setExtraServerConfig(const QString& text) { extraConfig = text; }

    bool start(const QString& docRoot, bool tls = false);
    // "http://127.0.0.1:port" or "https://127.0.0.1:port".
    QString baseUrl() const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(serverPort);
    }
    // The CA certificate (PEM) that signed the server certificate; empty without TLS.
    QString caFile() const { return tls ? filePath(QStringLiteral("ca.pem")) : QString(); }

    QList<AccessEntry> accessEntries() const;
    QStringList requestedPaths() const;

private:
    bool makeCertificates();

    bool tls = false;
    QString authUser, authPassword, extraConfig;
    QStringList certNames{"IP:127.0.0.1", "DNS:localhost"};
};

// vsftpd serving a directory to anonymous users and, on request, to a password user who sees
// the same directory as "/" (the user is created in the system if missing; tests run as root).
// The root directory is made world-readable and not writable by others (vsftpd insists).
class VsftpdServer : public ServerProcess
{
public:
    bool start(const QString& root, bool withPasswordUser = false, bool anonymous = true);
    QString baseUrl() const { return QStringLiteral("ftp://127.0.0.1:%1").arg(serverPort); }
    QString userName() const { return QStringLiteral("vmftptest"); }
    QString password() const { return QStringLiteral("Ftp-test-7"); }

    // From vsftpd's protocol log.
    int loginCount() const { return log().count(QStringLiteral("] OK LOGIN:")); }
    int failedLoginCount() const { return log().count(QStringLiteral("] FAIL LOGIN:")); }
    QStringList commands() const;        // every FTP command received, e.g. "RETR /a/b.txt"
    QStringList retrievedPaths() const;  // argument of each RETR, as received
    QStringList downloadedPaths() const; // files sent completely ("OK DOWNLOAD")
    QString log() const { return text(QStringLiteral("vsftpd.log")); }
};

// squid as an HTTP proxy that also tunnels CONNECT to any port of 127.0.0.1 and caches nothing.
class SquidServer : public ServerProcess
{
public:
    // Before start(): require proxy authentication (basic, checked by a small helper script).
    void setCredentials(const QString& name, const QString& secret)
    {
        user = name;
        password = secret;
    }
    bool start();
    QString proxyUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort); }
    // For each logged request: "METHOD URL", e.g. "GET http://127.0.0.1:80/a" or
    // "CONNECT 127.0.0.1:2121".
    QStringList requests() const;
    // Proxy user of each logged request ("-" when none).
    QStringList users() const;

private:
    QString user, password;
};

// What the fault server does for one request path.
struct FaultRoute {
    enum Action {
        Respond, // status line, headers, body, close-delimited or with Content-Length
        ResetAt, // sends cutAfter body bytes, then resets the connection
        StallAt, // sends cutAfter body bytes, then nothing while keeping the connection open
        Drip,    // sends the body dripBytes at a time every dripIntervalMs
        Endless, // status 200 without length, then body bytes until the client goes away
    };

    Action action = Respond;
    int status = 200;
    QByteArray body;
    // Content-Length sent; -1: the body's size; -2: none (body ends with the connection).
    qint64 contentLength = -1;
    QList<QPair<QByteArray, QByteArray>> headers;
    qint64 cutAfter = 0; // body bytes sent before a reset or a stall
    int dripBytes = 1;
    int dripIntervalMs = 100;

    static FaultRoute ok(const QByteArray& body);
    static FaultRoute withStatus(int status, const QByteArray& body = QByteArray());
    static FaultRoute redirect(int status, const QByteArray& location);
    static FaultRoute resetAt(const QByteArray& body, qint64 afterBytes);
    static FaultRoute stallAt(const QByteArray& body, qint64 afterBytes);
    static FaultRoute drip(const QByteArray& body, int bytes, int intervalMs);
    static FaultRoute endless();
};
Q_DECLARE_METATYPE(FaultRoute)

// A scripted HTTP/1.1 server inside the test process (see the note at the top). Unknown paths
// get 404. Each connection serves requests one after another (keep-alive) until it is closed.
class FaultServer : public QObject
{
    Q_OBJECT
public:
    explicit FaultServer(QObject* parent = nullptr);
    ~FaultServer() override;

    bool start();
    quint16 port() const;
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }
    // path: the request target as received, e.g. "/dir/a%20b.txt".
    void setRoute(const QString& path, const FaultRoute& route) { routes.insert(path, route); }
    void clearRoutes() { routes.clear(); }

    QStringList requests() const { return requestLines; } // e.g. "GET /a HTTP/1.1"
    int connectionCount() const { return connectionsSeen; }
    // Connections that are open right now (a stalled client still counts).
    int openConnections() const { return int(connections.size()); }

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void respond(Connection* c, const FaultRoute& route);
    // tick: called by the drip timer rather than by the socket.
    void feed(Connection* c, bool tick = false);

    QTcpServer* server = nullptr;
    QHash<QString, FaultRoute> routes;
    QStringList requestLines;
    QHash<QTcpSocket*, Connection*> connections;
    int connectionsSeen = 0;
};
