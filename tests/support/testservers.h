#pragma once

// Real servers for tests, each on a free port of 127.0.0.1 with its own configuration in a
// temporary directory, leading a process group of its own that is ended by its PID when the
// fixture goes. They are separate processes: a test may wait on them any way it likes.

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;
class QTemporaryDir;

// A TCP port of 127.0.0.1 on which nothing listens right now.
quint16 freePort();

// A time limit that a slow (emulated) machine may miss, times UPDATE_TEST_TIME_SCALE.
int scaledMs(int ms);

class ServerProcess
{
public:
    ServerProcess();
    virtual ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    quint16 port() const { return serverPort; }
    QString dir() const;
    QString output() const { return text("output.log"); } // for failure messages
    void stop();

protected:
    // Writes the configuration into a new directory ("%D" stands for it, "%P" for the port)
    // and starts the program, which must open the port.
    bool launch(const QString& program, QStringList args, const QString& confName, QString conf);
    QString text(const QString& name) const;
    // The first capture of `pattern` in each line of a file of the directory that matches.
    QStringList captured(const QString& name, const QString& pattern) const;

    quint16 serverPort = 0;

private:
    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<QProcess> process;
};

// nginx serving a directory. Faults come from its own configuration, given to start() as text
// for the server block, for instance:
//   location /busy/ { return 503; }         every request refused for a while
//   location /drop/ { return 444; }         the connection closed without an answer
//   location /slow/ { alias ROOT/; limit_rate_after 30k; limit_rate 2k; }   a stalling copy
class NginxServer : public ServerProcess
{
public:
    bool start(const QString& docRoot, const QString& serverConfig = QString(), bool tls = false);
    QString baseUrl() const;
    // A self-signed certificate for 127.0.0.1, to be trusted as the authority; TLS only.
    QString caFile() const { return dir() + "/cert.pem"; }
    // Each request as "TARGET STATUS", the target as received (still percent-encoded).
    QStringList requests() const { return captured("access.log", "^(\\S+ \\d+)$"); }
    QStringList requestedPaths() const { return captured("access.log", "^(\\S+) \\d+$"); }
    // "STATUS BYTES" of each request whose target ends with `path`, BYTES the body sent.
    QStringList sent(const QString& path) const
    {
        return captured("sent.log", "^\\S*" + QRegularExpression::escape(path) + " (\\d+ \\d+)$");
    }
    // "PORT USER" of each request whose target holds `uri`; USER is "-" without credentials.
    QStringList users(const QString& uri) const
    {
        return captured("who.log", "^(\\d+ \\S+) \\S*" + QRegularExpression::escape(uri));
    }

private:
    bool tls = false;
};

// vsftpd serving a directory to anonymous users.
class VsftpdServer : public ServerProcess
{
public:
    bool start(const QString& root);
    QString baseUrl() const { return QString("ftp://127.0.0.1:%1").arg(serverPort); }
    QStringList retrievedPaths() const { return commands("RETR"); }
    // The argument of each command of this kind the server received.
    QStringList commands(const QString& kind) const
    {
        return captured("vsftpd.log", "FTP command: Client \"[^\"]*\", \"" + kind + " (.*)\"$");
    }
};

// squid as an HTTP proxy that caches nothing and tunnels CONNECT to 127.0.0.1 (for FTP).
class SquidServer : public ServerProcess
{
public:
    bool start();
    QString address() const { return QString("127.0.0.1:%1").arg(serverPort); }
    // "METHOD URL" of each request, e.g. "GET http://127.0.0.1:80/a" or "CONNECT 127.0.0.1:21".
    QStringList requests() const { return captured("access.log", "^(?:\\S+\\s+){5}([A-Z]+ \\S+)"); }
};

// A version server: answers each UDP datagram on 127.0.0.1 with the reply, unless silent, and
// records it. A small script of ours in a process of its own, so that it also answers a query
// that blocks the test's thread.
class UdpResponder
{
public:
    UdpResponder();
    ~UdpResponder();
    quint16 port() const { return boundPort; }
    void setReply(const QByteArray& text, bool silent = false);
    void setSilent(bool silent) { setReply(reply, silent); }
    // Sent first, from another port, as someone on the way could.
    void setSpoof(const QByteArray& text);
    QList<QByteArray> requests() const;
    int requestCount() const { return int(requests().size()); }

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QProcess> process;
    quint16 boundPort = 0;
    QByteArray reply;
};
