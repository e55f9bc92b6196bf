#include "testservers.h"

#include "producttree.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

int scaledMs(int ms)
{
    static const int scale = qMax(1, qEnvironmentVariableIntValue("UPDATE_TEST_TIME_SCALE"));
    return ms * scale;
}

// Polls until a connection to the port succeeds (open) or is refused (!open).
static bool waitForPort(quint16 port, bool open)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(200) == open)
            return true;
        if (t.elapsed() > scaledMs(15000))
            return false;
        QThread::msleep(20);
    }
}

ServerProcess::ServerProcess() = default;

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::dir() const
{
    return tempDir ? tempDir->path() : QString();
}

QString ServerProcess::text(const QString& name) const
{
    return QString::fromUtf8(readFile(dir() + "/" + name));
}

QStringList ServerProcess::captured(const QString& name, const QString& pattern) const
{
    const QRegularExpression re(pattern);
    QStringList result;
    for (const QString& line : text(name).split('\n')) {
        const QRegularExpressionMatch m = re.match(line);
        if (m.hasMatch())
            result << m.captured(1);
    }
    return result;
}

bool ServerProcess::launch(const QString& program, QStringList args, const QString& confName,
                           QString conf)
{
    stop();
    tempDir = std::make_unique<QTemporaryDir>();
    serverPort = freePort();
    // Servers that drop their privileges write their logs here too.
    if (!tempDir->isValid() || !QFile::setPermissions(dir(), QFile::Permissions(0x7777)))
        return false;
    const auto fill = [this](QString s) {
        return s.replace("%D", dir()).replace("%P", QString::number(serverPort));
    };
    if (!writeFile(dir() + "/" + confName, fill(conf).toUtf8()))
        return false;
    for (QString& arg : args)
        arg = fill(arg);
    process = std::make_unique<QProcess>();
    process->setWorkingDirectory(dir());
    process->setStandardOutputFile(dir() + "/output.log");
    process->setStandardErrorFile(dir() + "/output.log", QIODevice::Append);
    // The server dies with the test process even if the test crashes.
    process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process->start(program, args);
    if (process->waitForStarted(scaledMs(10000)) && waitForPort(serverPort, true))
        return true;
    qWarning("%s did not start: %s", qPrintable(program), qPrintable(output()));
    stop();
    return false;
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
    }
    process.reset();
    waitForPort(serverPort, false);
}

bool NginxServer::start(const QString& docRoot, const QString& serverConfig, bool useTls)
{
    tls = useTls;
    const QString root = QFileInfo(docRoot).absoluteFilePath();
    QString server = "listen 127.0.0.1:%P" + QString(tls ? " ssl" : "") + ";\nroot \"" + root +
                     "\";\n" + QString(serverConfig).replace("ROOT", root) + "\n";
    QString prelude;
    if (tls) {
        server += "ssl_certificate %D/cert.pem;\nssl_certificate_key %D/key.pem;\n";
        prelude = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                  "-keyout %D/key.pem -out %D/cert.pem -days 2 -subj /CN=127.0.0.1 "
                  "-addext subjectAltName=IP:127.0.0.1 2>/dev/null && ";
    }
    // One process, which dies with the test, running as root so that it serves any directory.
    const QString conf =
        "daemon off;\nmaster_process off;\npid %D/nginx.pid;\n"
        "error_log %D/error.log;\nevents { worker_connections 512; }\n"
        "http {\n  log_format plain '$request_uri $status';\n  access_log %D/access.log plain;\n"
        "  log_format who '$server_port $remote_user $request_uri';\n  access_log %D/who.log who;\n"
        "  log_format sent '$request_uri $status $body_bytes_sent';\n"
        "  access_log %D/sent.log sent;\n"
        "  client_body_temp_path %D/body;\n  proxy_temp_path %D/proxy;\n"
        "  fastcgi_temp_path %D/fastcgi;\n  uwsgi_temp_path %D/uwsgi;\n  scgi_temp_path %D/scgi;\n"
        "  default_type application/octet-stream;\n  keepalive_requests 100000;\n"
        "  server {\n" +
        server + "  }\n}\n";
    return launch("/bin/sh",
                  {"-c", prelude + "exec /usr/sbin/nginx -p %D -e %D/error.log -c "
                                   "%D/nginx.conf"},
                  "nginx.conf", conf);
}

QString NginxServer::baseUrl() const
{
    return QString("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(serverPort);
}

bool VsftpdServer::start(const QString& root)
{
    // vsftpd refuses a root that others may write to.
    makeTreeWorldReadable(root);
    const quint16 passive = qBound(1024, int(freePort()), 65000);
    const QString conf =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=%P\nbackground=NO\n"
        "anonymous_enable=YES\nno_anon_password=YES\nanon_root=" +
        QFileInfo(root).absoluteFilePath() +
        "\nlocal_enable=NO\nwrite_enable=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
        "pasv_min_port=" +
        QString::number(passive) + "\npasv_max_port=" + QString::number(passive + 400) +
        "\nsecure_chroot_dir=%D/empty\nseccomp_sandbox=NO\nisolate_network=NO\nisolate=NO\n"
        "max_clients=0\nmax_per_ip=0\nlog_ftp_protocol=YES\nvsftpd_log_file=%D/vsftpd.log\n"
        "dual_log_enable=NO\nsyslog_enable=NO\nxferlog_enable=YES\nxferlog_std_format=NO\n";
    return launch("/bin/sh", {"-c", "mkdir -p %D/empty && exec /usr/sbin/vsftpd %D/vsftpd.conf"},
                  "vsftpd.conf", conf);
}

bool SquidServer::start()
{
    const QString conf = "http_port 127.0.0.1:%P\nvisible_hostname localhost\n"
                         "http_access allow localhost\nhttp_access deny all\n"
                         "cache deny all\ncache_mem 8 MB\npid_filename %D/squid.pid\n"
                         "cache_log %D/cache.log\naccess_log stdio:%D/access.log\n"
                         "cache_store_log none\ncoredump_dir %D\nshutdown_lifetime 0 seconds\n"
                         "dns_nameservers 127.0.0.1\ncache_effective_user proxy\n"
                         "netdb_filename none\npinger_enable off\nlogfile_rotate 0\n";
    return launch("/usr/sbin/squid", {"-N", "-f", "%D/squid.conf"}, "squid.conf", conf);
}

UdpResponder::UdpResponder()
    : dir(std::make_unique<QTemporaryDir>()), process(std::make_unique<QProcess>())
{
    const char* script = "import socket, sys, time\n"
                         "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                         "s.bind(('127.0.0.1', 0))\n"
                         "print(s.getsockname()[1], flush=True)\n"
                         "while True:\n"
                         "    m, a = s.recvfrom(2048)\n"
                         "    open(sys.argv[1] + '/log', 'a').write(m.hex() + '\\n')\n"
                         "    try: socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(\n"
                         "        open(sys.argv[1] + '/spoof', 'rb').read(), a); time.sleep(0.1)\n"
                         "    except OSError: pass\n"
                         "    try: s.sendto(open(sys.argv[1] + '/reply', 'rb').read(), a)\n"
                         "    except OSError: pass\n";
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process->start("python3", {"-c", script, dir->path()});
    process->waitForReadyRead(scaledMs(10000));
    boundPort = quint16(process->readLine().trimmed().toUInt());
    setReply(QByteArray());
}

UdpResponder::~UdpResponder()
{
    process->kill();
    process->waitForFinished();
}

void UdpResponder::setReply(const QByteArray& text, bool silent)
{
    reply = text;
    QFile::remove(dir->filePath("reply"));
    if (!silent)
        writeFile(dir->filePath("reply"), text);
}

void UdpResponder::setSpoof(const QByteArray& text)
{
    writeFile(dir->filePath("spoof"), text);
}

QList<QByteArray> UdpResponder::requests() const
{
    QList<QByteArray> result;
    for (const QByteArray& line : readFile(dir->filePath("log")).split('\n'))
        if (!line.isEmpty())
            result << QByteArray::fromHex(line);
    return result;
}
