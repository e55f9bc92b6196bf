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

static bool canConnect(quint16 port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = s.waitForConnected(200);
    s.abort();
    return ok;
}

// Polls until a connection to 127.0.0.1:port succeeds (open) or fails (!open).
static bool waitForPort(quint16 port, bool open, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (canConnect(port) != open) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
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

// Parent PID and state of a process from /proc, or false if it is gone.
bool procStat(pid_t pid, pid_t* ppid, char* state)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = f.readAll();
    const int close = line.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 2)
        return false;
    *state = fields[0].isEmpty() ? '?' : fields[0][0];
    *ppid = pid_t(fields[1].toLong());
    return true;
}

QList<pid_t> descendantsOf(pid_t root)
{
    QHash<pid_t, QList<pid_t>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& e : entries) {
        bool isNumber = false;
        const pid_t pid = pid_t(e.toLong(&isNumber));
        pid_t ppid = 0;
        char state = 0;
        if (isNumber && procStat(pid, &ppid, &state))
            children[ppid].append(pid);
    }
    QList<pid_t> result;
    QList<pid_t> queue{root};
    while (!queue.isEmpty()) {
        const pid_t p = queue.takeFirst();
        for (pid_t c : children.value(p)) {
            result.append(c);
            queue.append(c);
        }
    }
    return result;
}

bool isAlive(pid_t pid)
{
    pid_t ppid = 0;
    char state = 0;
    return procStat(pid, &ppid, &state) && state != 'Z' && state != 'X';
}

QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases{{200, "OK"},
                                                {206, "Partial Content"},
                                                {301, "Moved Permanently"},
                                                {302, "Found"},
                                                {303, "See Other"},
                                                {307, "Temporary Redirect"},
                                                {308, "Permanent Redirect"},
                                                {400, "Bad Request"},
                                                {401, "Unauthorized"},
                                                {403, "Forbidden"},
                                                {404, "Not Found"},
                                                {408, "Request Timeout"},
                                                {410, "Gone"},
                                                {429, "Too Many Requests"},
                                                {500, "Internal Server Error"},
                                                {502, "Bad Gateway"},
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

QString ServerProcess::filePath(const QString& name) const
{
    return dir() + QLatin1Char('/') + name;
}

QString ServerProcess::readText(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

QString ServerProcess::output() const
{
    return readText(filePath(QStringLiteral("output.log")));
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
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
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
        const pid_t pid = pid_t(process->processId());
        const QList<pid_t> below = descendantsOf(pid);
        ::kill(pid, SIGTERM);
        for (pid_t c : below)
            ::kill(c, SIGTERM);
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(2000);
        }
        QElapsedTimer t;
        t.start();
        for (pid_t c : below) {
            while (isAlive(c) && t.elapsed() < 2000)
                QThread::msleep(10);
            if (isAlive(c))
                ::kill(c, SIGKILL);
        }
    }
    process.reset();
    if (serverPort)
        waitForPort(serverPort, false, 5000);
}

// ---------------------------------------------------------------------------------------------

void NginxServer::setBasicAuth(const QString& user, const QString& password)
{
    authUser = user;
    authPassword = password;
}

void NginxServer::setCertificateNames(const QStringList& names)
{
    certNames = names;
}

void NginxServer::setExtraServerConfig(const QString& text)
{
    extraConfig = text;
}

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

QString NginxServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(serverPort);
}

QString NginxServer::caFile() const
{
    return tls ? filePath(QStringLiteral("ca.pem")) : QString();
}

QList<NginxServer::AccessEntry> NginxServer::accessEntries() const
{
    QList<AccessEntry> result;
    const QStringList lines = readText(filePath(QStringLiteral("access.log")))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() < 6)
            continue;
        AccessEntry e;
        e.method = f[0];
        e.path = f[1];
        e.status = f[2].toInt();
        e.bodyBytes = f[3].toLongLong();
        e.user = f[4] == QLatin1String("-") ? QString() : f[4];
        e.range = f[5] == QLatin1String("-") ? QString() : f[5];
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
const char ftpUser[] = "vmftptest";
const char ftpPassword[] = "Ftp-test-7";

bool ensureFtpUser()
{
    if (!::getpwnam(ftpUser)) {
        if (!runTool(QStringLiteral("useradd"),
                     {QStringLiteral("-m"), QStringLiteral("-s"), QStringLiteral("/bin/bash"),
                      QString::fromLatin1(ftpUser)},
                     QDir::tempPath()) &&
            !::getpwnam(ftpUser))
            return false;
    }
    return runTool(QStringLiteral("chpasswd"), {}, QDir::tempPath(),
                   QByteArray(ftpUser) + ':' + ftpPassword + '\n');
}

void makeReadableNotWritable(const QString& root)
{
    const QFile::Permissions dirPerms = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                        QFile::ExeOther;
    QFile::setPermissions(root, dirPerms);
    QList<QString> queue{root};
    while (!queue.isEmpty()) {
        const QDir d(queue.takeFirst());
        const QFileInfoList entries =
            d.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        for (const QFileInfo& fi : entries) {
            if (fi.isDir() && !fi.isSymLink()) {
                QFile::setPermissions(fi.filePath(), QFile::permissions(fi.filePath()) |
                                                         QFile::ReadOther | QFile::ExeOther |
                                                         QFile::ReadGroup | QFile::ExeGroup);
                queue.append(fi.filePath());
            } else {
                QFile::setPermissions(fi.filePath(), QFile::permissions(fi.filePath()) |
                                                         QFile::ReadOther | QFile::ReadGroup);
            }
        }
    }
}
} // namespace

bool VsftpdServer::start(const QString& root, bool withPasswordUser, bool anonymous)
{
    if (!prepareDir())
        return false;
    if (withPasswordUser && !ensureFtpUser())
        return false;
    serverPort = freePort();
    const QString d = dir();
    QDir(d).mkpath(QStringLiteral("empty"));
    const QString absRoot = QFileInfo(root).absoluteFilePath();
    makeReadableNotWritable(absRoot);
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

QString VsftpdServer::baseUrl() const
{
    return QStringLiteral("ftp://127.0.0.1:%1").arg(serverPort);
}

QString VsftpdServer::userName() const
{
    return QString::fromLatin1(ftpUser);
}

QString VsftpdServer::password() const
{
    return QString::fromLatin1(ftpPassword);
}

QString VsftpdServer::log() const
{
    return readText(filePath(QStringLiteral("vsftpd.log")));
}

int VsftpdServer::loginCount() const
{
    return log().count(QStringLiteral("] OK LOGIN:"));
}

int VsftpdServer::failedLoginCount() const
{
    return log().count(QStringLiteral("] FAIL LOGIN:"));
}

QStringList VsftpdServer::commands() const
{
    // e.g. ... [pid 12] [ftp] FTP command: Client "127.0.0.1", "RETR /a b.txt"
    static const QRegularExpression re(QStringLiteral("FTP command: Client \"[^\"]*\", \"(.*)\"$"));
    return capturedLines(log(), re);
}

QStringList VsftpdServer::retrievedPaths() const
{
    QStringList result;
    for (const QString& c : commands()) {
        if (c.startsWith(QLatin1String("RETR ")))
            result.append(c.mid(5));
    }
    return result;
}

QStringList VsftpdServer::downloadedPaths() const
{
    static const QRegularExpression re(
        QStringLiteral("\\] OK DOWNLOAD: Client \"[^\"]*\", \"(.*)\", \\d+ bytes"));
    return capturedLines(log(), re);
}

// ---------------------------------------------------------------------------------------------

void SquidServer::setCredentials(const QString& u, const QString& p)
{
    user = u;
    password = p;
}

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

QString SquidServer::proxyUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort);
}

QStringList SquidServer::accessLog() const
{
    QStringList result;
    const QStringList lines = readText(filePath(QStringLiteral("access.log")))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // Connections that sent no request (the start-up probe) are logged too; leave them out.
    for (const QString& line : lines) {
        if (!line.contains(QLatin1String(" error:transaction-end-before-headers ")))
            result.append(line);
    }
    return result;
}

QStringList SquidServer::requests() const
{
    QStringList result;
    for (const QString& line : accessLog()) {
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (f.size() >= 7)
            result.append(f[5] + QLatin1Char(' ') + f[6]);
    }
    return result;
}

QStringList SquidServer::users() const
{
    QStringList result;
    for (const QString& line : accessLog()) {
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (f.size() >= 8)
            result.append(f[7]);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------

FaultRoute FaultRoute::ok(const QByteArray& body)
{
    FaultRoute r;
    r.body = body;
    return r;
}

FaultRoute FaultRoute::withStatus(int status, const QByteArray& body)
{
    FaultRoute r;
    r.status = status;
    r.body = body;
    return r;
}

FaultRoute FaultRoute::redirect(int status, const QByteArray& location)
{
    FaultRoute r;
    r.status = status;
    r.headers.append({QByteArrayLiteral("Location"), location});
    return r;
}

FaultRoute FaultRoute::resetAt(const QByteArray& body, qint64 afterBytes)
{
    FaultRoute r;
    r.action = ResetAt;
    r.body = body;
    r.resetAfter = afterBytes;
    return r;
}

FaultRoute FaultRoute::stallAt(const QByteArray& body, qint64 afterBytes)
{
    FaultRoute r;
    r.action = StallAt;
    r.body = body;
    r.stallAfter = afterBytes;
    return r;
}

FaultRoute FaultRoute::drip(const QByteArray& body, int bytes, int intervalMs)
{
    FaultRoute r;
    r.action = Drip;
    r.body = body;
    r.dripBytes = bytes;
    r.dripIntervalMs = intervalMs;
    return r;
}

FaultRoute FaultRoute::endless()
{
    FaultRoute r;
    r.action = Endless;
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

bool FaultServer::start()
{
    server = new QTcpServer(this);
    connect(server, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 FaultServer::port() const
{
    return server ? server->serverPort() : 0;
}

QString FaultServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void FaultServer::setRoute(const QString& path, const FaultRoute& route)
{
    routes.insert(path, route);
}

void FaultServer::clearRoutes()
{
    routes.clear();
}

QStringList FaultServer::requests() const
{
    return requestLines;
}

QList<QHash<QByteArray, QByteArray>> FaultServer::requestHeaders() const
{
    return headerLog;
}

int FaultServer::connectionCount() const
{
    return connectionsSeen;
}

int FaultServer::openConnections() const
{
    return int(connections.size());
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
        QHash<QByteArray, QByteArray> headers;
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                headers.insert(lines[i].left(colon).trimmed().toLower(),
                               lines[i].mid(colon + 1).trimmed());
        }
        requestLines.append(QString::fromLatin1(requestLine));
        headerLog.append(headers);
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
        if (c->position == 0 && r.resetAfter > 0) {
            s->write(r.body.left(r.resetAfter));
            c->position = qMin(size, r.resetAfter);
        }
        if (s->bytesToWrite() > 0 || c->timer->isActive())
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
    case FaultRoute::StallAt:
        if (c->position == 0 && r.stallAfter > 0) {
            s->write(r.body.left(r.stallAfter));
            c->position = qMin(size, r.stallAfter);
        }
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
