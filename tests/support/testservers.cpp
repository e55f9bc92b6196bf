#include "testservers.h"

#include "producttree.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testservers
{

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Polls until a connection to 127.0.0.1:port succeeds (open) or fails (!open).
static bool waitForPort(quint16 port, bool open, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(200) == open)
            return true;
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
}

} // namespace testservers

using namespace testservers;

namespace
{

bool runTool(const QString& program, const QStringList& args, const QString& workDir,
             const QByteArray& input = QByteArray())
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return false;
    }
    const QByteArray o = p.readAll();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), o.constData());
        return false;
    }
    return true;
}

QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases{{200, "OK"},
                                                {302, "Found"},
                                                {403, "Forbidden"},
                                                {404, "Not Found"},
                                                {408, "Request Timeout"},
                                                {410, "Gone"},
                                                {429, "Too Many Requests"},
                                                {500, "Internal Server Error"},
                                                {503, "Service Unavailable"}};
    return phrases.value(status, "Status");
}

// The first capture of re in each line of text that matches.
QStringList capturedLines(const QString& text, const QRegularExpression& re)
{
    QStringList result;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = re.match(line);
        if (m.hasMatch())
            result.append(m.captured(1));
    }
    return result;
}

} // namespace

// ---------------------------------------------------------------------------------------------

ServerProcess::ServerProcess() = default;

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::dir() const
{
    return tempDir ? tempDir->path() : QString();
}

bool ServerProcess::prepareDir()
{
    stop();
    tempDir = std::make_unique<QTemporaryDir>();
    if (!tempDir->isValid())
        return false;
    QFile::setPermissions(tempDir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ReadOther | QFile::ExeOther |
                                               QFile::ReadGroup | QFile::ExeGroup);
    return true;
}

bool ServerProcess::launch(const QString& program, const QStringList& args)
{
    process = std::make_unique<QProcess>();
    process->setWorkingDirectory(dir());
    process->setStandardOutputFile(filePath(QStringLiteral("output.log")), QIODevice::Append);
    process->setStandardErrorFile(filePath(QStringLiteral("output.log")), QIODevice::Append);
    // The server dies with the test process even if the test crashes.
    process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process->start(program, args);
    if (!process->waitForStarted(10000)) {
        qWarning("cannot start %s", qPrintable(program));
        return false;
    }
    if (!waitForPort(serverPort, true, 15000)) {
        qWarning("%s did not open port %u: %s", qPrintable(program), serverPort,
                 qPrintable(output()));
        stop();
        return false;
    }
    return true;
}

void ServerProcess::stop()
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        // The server leads its own process group, which holds its workers and helpers.
        const pid_t group = pid_t(process->processId());
        ::kill(-group, SIGTERM);
        if (!process->waitForFinished(5000))
            ::kill(-group, SIGKILL);
        process->waitForFinished(2000);
        ::kill(-group, SIGKILL);
    }
    process.reset();
    if (serverPort)
        waitForPort(serverPort, false, 5000);
}

// ---------------------------------------------------------------------------------------------

bool NginxServer::makeCertificates()
{
    const QString d = dir();
    const QStringList ecKey{
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    if (!runTool(QStringLiteral("openssl"),
                 QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey +
                     QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "3", "-subj",
                                 "/CN=Update Test CA", "-addext",
                                 "basicConstraints=critical,CA:TRUE", "-addext",
                                 "keyUsage=critical,keyCertSign,cRLSign"},
                 d))
        return false;
    if (!runTool(QStringLiteral("openssl"),
                 QStringList{QStringLiteral("req")} + ecKey +
                     QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj",
                                 "/CN=update test server"},
                 d))
        return false;
    if (!writeFile(filePath(QStringLiteral("server.ext")),
                   "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
                   "extendedKeyUsage=serverAuth\nsubjectAltName=" +
                       certNames.join(QLatin1Char(',')).toUtf8() + "\n"))
        return false;
    return runTool(QStringLiteral("openssl"),
                   QStringList{"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey",
                               "ca.key", "-CAcreateserial", "-out", "server.pem", "-days", "3",
                               "-extfile", "server.ext"},
                   d);
}

bool NginxServer::start(const QString& docRoot, bool useTls)
{
    if (!prepareDir())
        return false;
    tls = useTls;
    serverPort = freePort();
    const QString d = dir();
    QDir(d).mkpath(QStringLiteral("tmp"));
    if (tls && !makeCertificates())
        return false;

    QString server;
    server += QStringLiteral("    listen 127.0.0.1:%1%2;\n").arg(serverPort).arg(tls ? " ssl" : "");
    server += QStringLiteral("    root \"%1\";\n").arg(QFileInfo(docRoot).absoluteFilePath());
    if (tls) {
        server += QStringLiteral("    ssl_certificate %1/server.pem;\n"
                                 "    ssl_certificate_key %1/server.key;\n")
                      .arg(d);
    }
    if (!authUser.isEmpty()) {
        if (!writeFile(filePath(QStringLiteral("htpasswd")),
                       (authUser + QStringLiteral(":{PLAIN}") + authPassword + "\n").toUtf8()))
            return false;
        server +=
            QStringLiteral("    auth_basic \"test\";\n    auth_basic_user_file %1/htpasswd;\n")
                .arg(d);
    }
    server += extraConfig + QLatin1Char('\n');

    // Workers run as root so that any directory a test made can be served as it is.
    const QString conf =
        QStringLiteral("daemon off;\nmaster_process on;\nworker_processes 1;\nuser root root;\n"
                       "pid %1/nginx.pid;\nerror_log %1/error.log info;\n"
                       "events { worker_connections 512; }\n"
                       "http {\n"
                       "  log_format testlog '$request_method\\t$request_uri\\t$status\\t"
                       "$body_bytes_sent\\t$remote_user\\t$http_range';\n"
                       "  access_log %1/access.log testlog;\n"
                       "  client_body_temp_path %1/tmp/body;\n  proxy_temp_path %1/tmp/proxy;\n"
                       "  fastcgi_temp_path %1/tmp/fastcgi;\n  uwsgi_temp_path %1/tmp/uwsgi;\n"
                       "  scgi_temp_path %1/tmp/scgi;\n"
                       "  default_type application/octet-stream;\n  sendfile on;\n"
                       "  keepalive_requests 100000;\n"
                       "  server {\n%2  }\n}\n")
            .arg(d, server);
    if (!writeFile(filePath(QStringLiteral("nginx.conf")), conf.toUtf8()))
        return false;
    return launch(QStringLiteral("/usr/sbin/nginx"),
                  {QStringLiteral("-p"), d, QStringLiteral("-e"), d + QStringLiteral("/error.log"),
                   QStringLiteral("-c"), filePath(QStringLiteral("nginx.conf"))});
}

QList<NginxServer::AccessEntry> NginxServer::accessEntries() const
{
    QList<AccessEntry> result;
    const QStringList lines =
        text(QStringLiteral("access.log")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() < 6)
            continue;
        AccessEntry e;
        e.path = f[1];
        e.status = f[2].toInt();
        e.user = f[4] == QLatin1String("-") ? QString() : f[4];
        result.append(e);
    }
    return result;
}

QStringList NginxServer::requestedPaths() const
{
    QStringList paths;
    for (const AccessEntry& e : accessEntries())
        paths.append(e.path);
    return paths;
}

// ---------------------------------------------------------------------------------------------

namespace
{
bool ensureFtpUser(const QString& name, const QString& password)
{
    const QByteArray user = name.toLatin1();
    if (!::getpwnam(user.constData())) {
        if (!runTool(
                QStringLiteral("useradd"),
                {QStringLiteral("-m"), QStringLiteral("-s"), QStringLiteral("/bin/bash"), name},
                QDir::tempPath()) &&
            !::getpwnam(user.constData()))
            return false;
    }
    return runTool(QStringLiteral("chpasswd"), {}, QDir::tempPath(),
                   user + ':' + password.toLatin1() + '\n');
}

} // namespace

bool VsftpdServer::start(const QString& root, bool withPasswordUser, bool anonymous)
{
    if (!prepareDir())
        return false;
    if (withPasswordUser && !ensureFtpUser(userName(), password()))
        return false;
    serverPort = freePort();
    const QString d = dir();
    QDir(d).mkpath(QStringLiteral("empty"));
    const QString absRoot = QFileInfo(root).absoluteFilePath();
    QFile::setPermissions(absRoot, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                       QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                       QFile::ExeOther);
    makeTreeWorldReadable(absRoot);
    const quint16 pasvBase = freePort();
    const int pasvMin = qBound(1024, int(pasvBase), 65000);
    QString conf;
    conf += QStringLiteral("listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                           "listen_port=%1\nbackground=NO\n")
                .arg(serverPort);
    conf += QStringLiteral("anonymous_enable=%1\nno_anon_password=YES\nanon_root=%2\n")
                .arg(anonymous ? "YES" : "NO", absRoot);
    conf += QStringLiteral("local_enable=%1\nlocal_root=%2\nchroot_local_user=YES\n")
                .arg(withPasswordUser ? "YES" : "NO", absRoot);
    conf += QStringLiteral("write_enable=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
                           "pasv_min_port=%1\npasv_max_port=%2\nport_enable=YES\n"
                           "connect_from_port_20=NO\n")
                .arg(pasvMin)
                .arg(pasvMin + 400);
    conf += QStringLiteral("secure_chroot_dir=%1/empty\nseccomp_sandbox=NO\nisolate_network=NO\n"
                           "isolate=NO\ndelay_failed_login=0\ndelay_successful_login=0\n"
                           "max_login_fails=100\nmax_clients=0\nmax_per_ip=0\n"
                           "idle_session_timeout=120\ndata_connection_timeout=120\n")
                .arg(d);
    conf += QStringLiteral("log_ftp_protocol=YES\nxferlog_enable=YES\nxferlog_std_format=NO\n"
                           "vsftpd_log_file=%1/vsftpd.log\ndual_log_enable=NO\nsyslog_enable=NO\n"
                           "pam_service_name=vsftpd\nuse_localtime=NO\nhide_ids=YES\n")
                .arg(d);
    if (!writeFile(filePath(QStringLiteral("vsftpd.conf")), conf.toUtf8()))
        return false;
    return launch(QStringLiteral("/usr/sbin/vsftpd"), {filePath(QStringLiteral("vsftpd.conf"))});
}

QStringList VsftpdServer::commands() const
{
    // e.g. ... [pid 12] [ftp] FTP command: Client "127.0.0.1", "RETR /a b.txt"
    static const QRegularExpression re(QStringLiteral("FTP command: Client \"[^\"]*\", \"(.*)\"$"));
    return capturedLines(log(), re);
}

QStringList VsftpdServer::retrievedPaths() const
{
    static const QRegularExpression re(
        QStringLiteral("FTP command: Client \"[^\"]*\", \"RETR (.*)\"$"));
    return capturedLines(log(), re);
}

QStringList VsftpdServer::downloadedPaths() const
{
    static const QRegularExpression re(
        QStringLiteral("\\] OK DOWNLOAD: Client \"[^\"]*\", \"(.*)\", \\d+ bytes"));
    return capturedLines(log(), re);
}

// ---------------------------------------------------------------------------------------------

bool SquidServer::start()
{
    if (!prepareDir())
        return false;
    serverPort = freePort();
    const QString d = dir();
    // squid writes its logs as the proxy user.
    QFile::setPermissions(d, QFile::Permissions(0x7777));
    QString auth;
    if (!user.isEmpty()) {
        const QString helper = filePath(QStringLiteral("auth.sh"));
        if (!writeFile(helper,
                       QStringLiteral("#!/bin/sh\nwhile read -r u p; do\n"
                                      "  if [ \"$u\" = '%1' ] && [ \"$p\" = '%2' ]; then echo OK;"
                                      " else echo ERR; fi\ndone\n")
                           .arg(user, password)
                           .toUtf8()))
            return false;
        QFile::setPermissions(helper, QFile::Permissions(0x7555));
        auth = QStringLiteral("auth_param basic program /bin/sh %1/auth.sh\n"
                              "auth_param basic children 1 startup=1 idle=1\n"
                              "auth_param basic realm test\n"
                              "acl authed proxy_auth REQUIRED\n"
                              "http_access allow localhost authed\n")
                   .arg(d);
    } else {
        auth = QStringLiteral("http_access allow localhost\n");
    }
    const QString conf =
        QStringLiteral("http_port 127.0.0.1:%1\nvisible_hostname localhost\n"
                       "%2http_access deny all\n"
                       "cache deny all\ncache_mem 8 MB\npid_filename %3/squid.pid\n"
                       "cache_log %3/cache.log\naccess_log stdio:%3/access.log\n"
                       "cache_store_log none\ncoredump_dir %3\nshutdown_lifetime 0 seconds\n"
                       "dns_nameservers 127.0.0.1\ncache_effective_user proxy\n"
                       "netdb_filename none\npinger_enable off\nlogfile_rotate 0\n"
                       "via off\nforwarded_for delete\n")
            .arg(QString::number(serverPort), auth, d);
    if (!writeFile(filePath(QStringLiteral("squid.conf")), conf.toUtf8()))
        return false;
    return launch(QStringLiteral("/usr/sbin/squid"), {QStringLiteral("-N"), QStringLiteral("-f"),
                                                      filePath(QStringLiteral("squid.conf"))});
}

// ---------------------------------------------------------------------------------------------

// Native format: time elapsed client code/status bytes METHOD URL user hierarchy type.
// Connections that sent no request (the start-up probe) are logged with "-" for the method.
QStringList SquidServer::requests() const
{
    static const QRegularExpression re(QStringLiteral("^(?:\\S+\\s+){5}([A-Z]+ \\S+)"));
    return capturedLines(text(QStringLiteral("access.log")), re);
}

QStringList SquidServer::users() const
{
    static const QRegularExpression re(QStringLiteral("^(?:\\S+\\s+){5}[A-Z]+ \\S+ (\\S+)"));
    return capturedLines(text(QStringLiteral("access.log")), re);
}

// ---------------------------------------------------------------------------------------------

namespace
{
FaultRoute route(FaultRoute::Action action, const QByteArray& body, int status = 200)
{
    FaultRoute r;
    r.action = action;
    r.body = body;
    r.status = status;
    return r;
}
} // namespace

FaultRoute FaultRoute::ok(const QByteArray& body)
{
    return route(Respond, body);
}

FaultRoute FaultRoute::withStatus(int status, const QByteArray& body)
{
    return route(Respond, body, status);
}

FaultRoute FaultRoute::redirect(int status, const QByteArray& location)
{
    FaultRoute r = route(Respond, QByteArray(), status);
    r.headers.append({QByteArrayLiteral("Location"), location});
    return r;
}

FaultRoute FaultRoute::resetAt(const QByteArray& body, qint64 afterBytes)
{
    FaultRoute r = route(ResetAt, body);
    r.cutAfter = afterBytes;
    return r;
}

FaultRoute FaultRoute::stallAt(const QByteArray& body, qint64 afterBytes)
{
    FaultRoute r = route(StallAt, body);
    r.cutAfter = afterBytes;
    return r;
}

FaultRoute FaultRoute::drip(const QByteArray& body, int bytes, int intervalMs)
{
    FaultRoute r = route(Drip, body);
    r.dripBytes = bytes;
    r.dripIntervalMs = intervalMs;
    return r;
}

FaultRoute FaultRoute::endless()
{
    FaultRoute r = route(Endless, QByteArray());
    r.contentLength = -2;
    return r;
}

struct FaultServer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray input;
    FaultRoute route;
    qint64 position = 0; // body bytes sent
    bool busy = false;   // a response is still being sent
    QTimer* timer = nullptr;
};

FaultServer::FaultServer(QObject* parent) : QObject(parent) {}

FaultServer::~FaultServer()
{
    for (Connection* c : std::as_const(connections)) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c;
    }
}

quint16 FaultServer::port() const
{
    return server ? server->serverPort() : 0;
}

bool FaultServer::start()
{
    server = new QTcpServer(this);
    connect(server, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
    return server->listen(QHostAddress::LocalHost, 0);
}

void FaultServer::onNewConnection()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        ++connectionsSeen;
        auto* c = new Connection;
        c->socket = socket;
        c->timer = new QTimer(socket);
        connections.insert(socket, c);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (Connection* conn = connections.value(socket))
                feed(conn);
        });
        connect(c->timer, &QTimer::timeout, this, [this, socket] {
            if (Connection* conn = connections.value(socket))
                feed(conn, true);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            delete connections.take(socket);
            socket->deleteLater();
        });
    }
}

void FaultServer::onReadyRead(QTcpSocket* socket)
{
    Connection* c = connections.value(socket);
    if (!c)
        return;
    c->input += socket->readAll();
    while (!c->busy) {
        const int end = c->input.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = c->input.left(end).split('\n');
        c->input.remove(0, end + 4);
        const QByteArray requestLine = lines.value(0).trimmed();
        requestLines.append(QString::fromLatin1(requestLine));
        const QList<QByteArray> parts = requestLine.split(' ');
        const QString target = QString::fromLatin1(parts.value(1));
        FaultRoute route = FaultRoute::withStatus(404, "not here\n");
        if (routes.contains(target))
            route = routes.value(target);
        else if (routes.contains(target.section(QLatin1Char('?'), 0, 0)))
            route = routes.value(target.section(QLatin1Char('?'), 0, 0));
        respond(c, route);
    }
}

void FaultServer::respond(Connection* c, const FaultRoute& route)
{
    c->route = route;
    c->position = 0;
    c->busy = true;
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonPhrase(route.status) + "\r\n";
    const qint64 length = route.contentLength == -1 ? route.body.size() : route.contentLength;
    if (length >= 0)
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    else
        head += "Connection: close\r\n";
    for (const auto& h : route.headers)
        head += h.first + ": " + h.second + "\r\n";
    head += "\r\n";
    c->socket->write(head);
    if (route.action == FaultRoute::Drip) {
        c->timer->start(route.dripIntervalMs);
        return;
    }
    feed(c);
}

void FaultServer::feed(Connection* c, bool tick)
{
    if (!c->busy)
        return;
    QTcpSocket* s = c->socket;
    const FaultRoute& r = c->route;
    const qint64 size = r.body.size();
    switch (r.action) {
    case FaultRoute::Respond: {
        if (c->position < size) {
            s->write(r.body.mid(c->position));
            c->position = size;
        }
        if (s->bytesToWrite() > 0)
            return;
        c->busy = false;
        if (r.contentLength == -2) {
            s->disconnectFromHost();
            return;
        }
        // The next request may already be buffered.
        QTimer::singleShot(0, this, [this, s] {
            if (connections.contains(s))
                onReadyRead(s);
        });
        return;
    }
    case FaultRoute::ResetAt:
    case FaultRoute::StallAt:
        if (c->position == 0 && r.cutAfter > 0) {
            s->write(r.body.left(r.cutAfter));
            c->position = qMin(size, r.cutAfter);
        }
        if (r.action == FaultRoute::StallAt || s->bytesToWrite() > 0)
            return;
        c->busy = false;
        // Give the bytes time to reach the client, then reset instead of closing cleanly.
        QTimer::singleShot(50, this, [this, s] {
            if (!connections.contains(s))
                return;
            struct linger l = {1, 0};
            ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
            s->abort();
        });
        return;
    case FaultRoute::Drip:
        if (!tick)
            return;
        if (c->position < size) {
            s->write(r.body.mid(c->position, r.dripBytes));
            c->position += qMin<qint64>(r.dripBytes, size - c->position);
        }
        if (c->position >= size) {
            c->timer->stop();
            c->busy = false;
            if (r.contentLength == -2)
                s->disconnectFromHost();
        }
        return;
    case FaultRoute::Endless:
        if (s->bytesToWrite() < 256 * 1024)
            s->write(QByteArray(64 * 1024, 'x'));
        return;
    }
}
