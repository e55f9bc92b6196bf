#pragma once

// Real servers for tests, each on a free port of 127.0.0.1 with its own configuration in a
// temporary directory, stopped by PID in the destructor (or stop()). They run as separate
// processes, so a test may wait on them any way it likes.
//
// FaultServer is different: it runs inside the test process on its event loop. While the test
// thread blocks (QThread::sleep, waitForFinished, a blocking read) it serves nothing. Wait with
// QTRY_* or QSignalSpy::wait so that the event loop runs; an end-to-end test that starts the
// real `update` binary must also wait with an event loop (QProcess signals + QTRY_*), never with
// QProcess::waitForFinished.

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
    // Stops the process and every process below it (by PID) and waits until the port is closed.
    void stop();
    // The configuration and log directory; valid from start() until destruction.
    QString dir() const;
    // Combined stdout/stderr of the server so far, for failure messages.
    QString output() const;

protected:
    bool prepareDir();
    bool launch(const QString& program, const QStringList& args);
    QString filePath(const QString& name) const;
    static QString readText(const QString& path);

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
        QString method;
        QString path; // the request target as received (still percent-encoded)
        int status = 0;
        qint64 bodyBytes = 0;
        QString user;  // basic-auth user, empty without
        QString range; // the Range header, empty without
    };

    // Before start(): require basic authentication for the whole server.
    void setBasicAuth(const QString& user, const QString& password);
    // Before start(): names the certificate is issued for (openssl subjectAltName entries).
    // Default {"IP:127.0.0.1", "DNS:localhost"}.
    void setCertificateNames(const QStringList& names);
    // Before start(): raw configuration text placed inside the server block, e.g.
    // "location = /old { return 302 http://127.0.0.1:1234/new; }".
    void setExtraServerConfig(const QString& text);

    bool start(const QString& docRoot, bool tls = false);
    // "http://127.0.0.1:port" or "https://127.0.0.1:port".
    QString baseUrl() const;
    // The CA certificate (PEM) that signed the server certificate; empty without TLS.
    QString caFile() const;

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
    QString baseUrl() const; // "ftp://127.0.0.1:port"
    QString userName() const;
    QString password() const;

    // From vsftpd's protocol log.
    int loginCount() const;              // successful logins
    int failedLoginCount() const;        // refused logins
    QStringList commands() const;        // every FTP command received, e.g. "RETR /a/b.txt"
    QStringList retrievedPaths() const;  // argument of each RETR, as received
    QStringList downloadedPaths() const; // files sent completely ("OK DOWNLOAD")
    QString log() const;
};

// squid as an HTTP proxy that also tunnels CONNECT to any port of 127.0.0.1 and caches nothing.
class SquidServer : public ServerProcess
{
public:
    // Before start(): require proxy authentication (basic, checked by a small helper script).
    void setCredentials(const QString& user, const QString& password);
    bool start();
    QString proxyUrl() const; // "http://127.0.0.1:port"
    // Lines of squid's access log (native format: ... code/status bytes METHOD URL user ...).
    QStringList accessLog() const;
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
        ResetAt, // sends resetAfter body bytes, then resets the connection
        StallAt, // sends stallAfter body bytes, then nothing while keeping the connection open
        Drip,    // sends the body dripBytes at a time every dripIntervalMs
        Endless, // status 200 without length, then body bytes until the client goes away
    };

    Action action = Respond;
    int status = 200;
    QByteArray body;
    // Content-Length sent; -1: the body's size; -2: none (body ends with the connection).
    qint64 contentLength = -1;
    QList<QPair<QByteArray, QByteArray>> headers;
    qint64 resetAfter = 0;
    qint64 stallAfter = 0;
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
    QString baseUrl() const; // "http://127.0.0.1:port"
    // path: the request target as received, e.g. "/dir/a%20b.txt".
    void setRoute(const QString& path, const FaultRoute& route);
    void clearRoutes();

    QStringList requests() const; // request lines, e.g. "GET /a HTTP/1.1"
    QList<QHash<QByteArray, QByteArray>> requestHeaders() const; // lower-case names
    int connectionCount() const;
    // Connections that are open right now (a stalled client still counts).
    int openConnections() const;

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
    QList<QHash<QByteArray, QByteArray>> headerLog;
    QHash<QTcpSocket*, Connection*> connections;
    int connectionsSeen = 0;
};
