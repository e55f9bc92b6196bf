#include "curltransfer.h"

#include <QFile>
#include <QIODevice>
#include <QUrl>

namespace
{

QString testCaFile;
int connectSeconds = 30;
int stallSeconds = 60;
// No real line is slower: a mirror that drips (a few bytes a second) fails like one that stalls,
// however long it would keep the update waiting.
constexpr long floorBytesPerSecond = 1000;
// The body of a redirect is never used; a real one is a few hundred bytes.
constexpr qint64 redirectBodyLimit = 64 * 1024;

QByteArray reasonFor(long status)
{
    switch (status) {
    case 300:
        return "Multiple Choices";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 410:
        return "Gone";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return QByteArray();
    }
}

bool isPermanentRefusal(long status)
{
    return status >= 400 && status < 500 && status != 408 && status != 429;
}

QByteArray schemeOf(const QByteArray& url)
{
    return url.left(url.indexOf("://")).toLower();
}

QByteArray originOf(const QByteArray& url)
{
    const QUrl u(QString::fromLatin1(url));
    return (u.scheme().toLower() + "://" + u.host().toLower() + ":" + QString::number(u.port(-1)))
        .toLatin1();
}

} // namespace

namespace transport
{

void setTestCaFile(const QString& path)
{
    testCaFile = path;
}

void setTestTimeouts(int connect, int stall)
{
    connectSeconds = connect > 0 ? connect : 30;
    stallSeconds = stall > 0 ? stall : 60;
}

} // namespace transport

CurlTransfer::CurlTransfer(Kind kind) : transferKind(kind), easy(curl_easy_init())
{
    CurlMulti::instance()->registerTransfer(this);
}

CurlTransfer::~CurlTransfer()
{
    // The handle must leave the multi handle before it is cleaned up.
    CurlMulti::instance()->unregisterTransfer(this);
}

QByteArray CurlTransfer::encodePath(const QString& path)
{
    const QStringList segments = path.split(QLatin1Char('/'));
    QByteArrayList encoded;
    encoded.reserve(segments.size());
    for (const QString& s : segments)
        encoded.append(QUrl::toPercentEncoding(s));
    return encoded.join('/');
}

QByteArray CurlTransfer::hostPart(const QString& host, int port)
{
    QByteArray h = QUrl::toAce(host);
    if (h.isEmpty())
        h = host.toUtf8();
    if (host.contains(QLatin1Char(':')))
        h = '[' + host.toLatin1() + ']';
    return h + ':' + QByteArray::number(port);
}

void CurlTransfer::applyCommonOptions(const TransferEndpoint& endpoint)
{
    CURL* e = easy.get();
    curl_easy_reset(e);
    // CurlMulti reads the pointer back as its client.
    curl_easy_setopt(e, CURLOPT_PRIVATE, static_cast<CurlMultiClient*>(this));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlTransfer::writeCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlTransfer::headerCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::progressCallback);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    CurlMulti* multi = CurlMulti::instance();
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, multi->readBufferSize());

    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, long(connectSeconds));
    // A stream's share of a low limit may lie below the floor; it still must not count as stalled.
    const qint64 rate = multi->rateLimit();
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT,
                     rate > 0 ? long(qBound<qint64>(1, rate / 32, qint64(floorBytesPerSecond)))
                              : floorBytesPerSecond);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, long(stallSeconds));

    // Redirects are followed by hand, so that each hop can be checked.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    if (transferKind == Http) {
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    } else {
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp");
        curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
        curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(stallSeconds));
    }

    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!testCaFile.isEmpty())
        curl_easy_setopt(e, CURLOPT_CAINFO, QFile::encodeName(testCaFile).constData());

    // Proxy settings of the environment are never used.
    if (endpoint.proxyHost.isEmpty()) {
        curl_easy_setopt(e, CURLOPT_PROXY, "");
        curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
    } else {
        const QByteArray proxy = "http://" + hostPart(endpoint.proxyHost, endpoint.proxyPort);
        curl_easy_setopt(e, CURLOPT_PROXY, proxy.constData());
        curl_easy_setopt(e, CURLOPT_NOPROXY, "");
        curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, endpoint.tunnel ? 1L : 0L);
        if (!endpoint.proxyUser.isEmpty()) {
            curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, endpoint.proxyUser.toUtf8().constData());
            curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, endpoint.proxyPassword.toUtf8().constData());
            curl_easy_setopt(e, CURLOPT_PROXYAUTH, long(CURLAUTH_BASIC));
        }
    }

    userPwd.clear();
    if (endpoint.hasUser) {
        curl_easy_setopt(e, CURLOPT_USERNAME, endpoint.user.toUtf8().constData());
        curl_easy_setopt(e, CURLOPT_PASSWORD, endpoint.password.toUtf8().constData());
        if (transferKind == Http)
            curl_easy_setopt(e, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
        userPwd = "set";
    }
}

void CurlTransfer::resetRun()
{
    received = 0;
    total = 0;
    reportedDone = -1;
    reportedTotal = -1;
    statusLine.clear();
    cutAtLimit = false;
    statusRefused = false;
    writeFailed = false;
    redirectTooLarge = false;
    contentRangeStart = -1;
    rangeRefused = false;
    errorBuffer[0] = '\0';
}

bool CurlTransfer::launch()
{
    resetRun();
    curl_easy_setopt(easy.get(), CURLOPT_URL, currentUrl.constData());
    return CurlMulti::instance()->add(this);
}

bool CurlTransfer::start(const QByteArray& url, const TransferEndpoint& endpoint, QIODevice* sink,
                         qint64 byteLimit, bool asciiMode, qint64 resumeFrom, qint64 rangeLength)
{
    cancel();
    applyCommonOptions(endpoint);
    this->resumeFrom = sink ? resumeFrom : 0;
    ranged = sink && rangeLength > 0;
    if (ranged) {
        // The answer is checked by hand: curl takes a 200 for a range as it comes.
        const QByteArray range =
            QByteArray::number(resumeFrom) + '-' + QByteArray::number(resumeFrom + rangeLength - 1);
        curl_easy_setopt(easy.get(), CURLOPT_RANGE, range.constData());
    } else if (this->resumeFrom > 0) {
        // curl checks that a 206 answers for this offset, and refuses a 200 or another range.
        curl_easy_setopt(easy.get(), CURLOPT_RESUME_FROM_LARGE, curl_off_t(this->resumeFrom));
    }
    if (!sink) {
        curl_easy_setopt(easy.get(), CURLOPT_NOBODY, 1L);
        // A login really connects and logs in. On a reused connection curl would have nothing
        // to send for it and wait for a reply that never comes.
        curl_easy_setopt(easy.get(), CURLOPT_FRESH_CONNECT, 1L);
    }
    if (transferKind == Ftp && asciiMode)
        curl_easy_setopt(easy.get(), CURLOPT_TRANSFERTEXT, 1L);
    device = sink;
    limit = byteLimit;
    redirects = 0;
    redirectBody = 0;
    currentUrl = url;
    return launch();
}

bool CurlTransfer::startConnectOnly(const QByteArray& url, const TransferEndpoint& endpoint)
{
    cancel();
    applyCommonOptions(endpoint);
    curl_easy_setopt(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
    device = nullptr;
    limit = -1;
    resumeFrom = 0;
    ranged = false;
    redirects = 0;
    redirectBody = 0;
    currentUrl = url;
    return launch();
}

void CurlTransfer::cancel()
{
    CurlMulti::instance()->remove(this);
}

bool CurlTransfer::isRunning() const
{
    return CurlMulti::instance()->isRunning(this);
}

size_t CurlTransfer::writeCallback(char* data, size_t size, size_t count, void* userp)
{
    auto* self = static_cast<CurlTransfer*>(userp);
    // curl keeps what it read and hands it over again once the transfer is resumed.
    if (!CurlMulti::instance()->admit(self, qint64(size * count)))
        return CURL_WRITEFUNC_PAUSE;
    return self->acceptBody(data, size * count);
}

size_t CurlTransfer::acceptBody(const char* data, size_t bytes)
{
    if (transferKind == Http) {
        long status = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300 && status < 400) {
            // The body of a redirect is not the file.
            redirectBody += qint64(bytes);
            redirectTooLarge = redirectBody > redirectBodyLimit;
            return redirectTooLarge ? 0 : bytes;
        }
        if (status < 200 || status >= 300) {
            statusRefused = true;
            return 0; // an error page must not end up in the file
        }
        // Only the range asked for may go where that range belongs.
        if (ranged && (status != 206 || contentRangeStart != resumeFrom)) {
            rangeRefused = true;
            return 0;
        }
    }
    if (!device)
        return bytes;
    qint64 take = qint64(bytes);
    if (limit >= 0 && received + take > limit) {
        take = limit - received;
        cutAtLimit = true;
    }
    if (take > 0 && device->write(data, take) != take) {
        writeFailed = true;
        return 0;
    }
    received += take;
    return cutAtLimit ? 0 : bytes;
}

size_t CurlTransfer::headerCallback(char* data, size_t size, size_t count, void* userp)
{
    auto* self = static_cast<CurlTransfer*>(userp);
    const size_t bytes = size * count;
    if (bytes > 5 && qstrncmp(data, "HTTP/", 5) == 0)
        self->statusLine = QByteArray(data, int(bytes)).trimmed();
    // "Content-Range: bytes 100-199/1000"
    const QByteArray line = QByteArray(data, qsizetype(bytes)).trimmed().toLower();
    if (line.startsWith("content-range: bytes ")) {
        bool ok = false;
        const qint64 start = line.mid(21, line.indexOf('-', 21) - 21).toLongLong(&ok);
        self->contentRangeStart = ok ? start : -1;
    }
    return bytes;
}

int CurlTransfer::progressCallback(void* userp, curl_off_t dlTotal, curl_off_t, curl_off_t,
                                   curl_off_t)
{
    static_cast<CurlTransfer*>(userp)->total = qint64(dlTotal);
    return 0;
}

void CurlTransfer::flushProgress()
{
    if (!device || !onProgress)
        return;
    if (received == reportedDone && total == reportedTotal)
        return;
    reportedDone = received;
    reportedTotal = total;
    onProgress(received, total);
}

bool CurlTransfer::followRedirect(TransferResult* failure)
{
    char* target = nullptr;
    curl_easy_getinfo(easy.get(), CURLINFO_REDIRECT_URL, &target);
    if (!target || !*target)
        return false;
    const QByteArray next(target);
    const QByteArray nextScheme = schemeOf(next);
    failure->error = TransferError::Failed;
    if (nextScheme != "http" && nextScheme != "https") {
        failure->text = QStringLiteral("Redirect to an unsupported address refused: %1")
                            .arg(QString::fromLatin1(next));
        return false;
    }
    if (schemeOf(currentUrl) == "https" && nextScheme == "http") {
        failure->text = QStringLiteral("Redirect from HTTPS to plain HTTP refused: %1")
                            .arg(QString::fromLatin1(next));
        return false;
    }
    if (redirects >= 5) {
        failure->text = QStringLiteral("Too many redirects (more than 5)");
        return false;
    }
    ++redirects;
    // Credentials are for the server they were given for, not for where it sends us.
    if (!userPwd.isEmpty() && originOf(next) != originOf(currentUrl)) {
        curl_easy_setopt(easy.get(), CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(easy.get(), CURLOPT_PASSWORD, nullptr);
        userPwd.clear();
    }
    currentUrl = next;
    if (launch())
        return true;
    failure->text =
        QStringLiteral("Cannot start the transfer to %1").arg(QString::fromLatin1(next));
    return false;
}

TransferResult CurlTransfer::classify(CURLcode code)
{
    TransferResult r;
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    long connectCode = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &connectCode);
    const QString curlText =
        QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));

    if (cutAtLimit) {
        r.error = TransferError::TooLarge;
        r.text = QStringLiteral("Transfer cut: the body is larger than %1 bytes").arg(limit);
        return r;
    }
    if (redirectTooLarge) {
        r.error = TransferError::Failed;
        r.text = QStringLiteral("Redirect refused: its body is larger than %1 bytes")
                     .arg(redirectBodyLimit);
        return r;
    }
    if (writeFailed) {
        r.error = TransferError::Failed;
        r.text = QStringLiteral("Cannot write the local file: %1").arg(device->errorString());
        return r;
    }
    if (rangeRefused || (ranged && code == CURLE_FTP_COULDNT_USE_REST)) {
        r.error = TransferError::NoResume;
        r.text = QStringLiteral("The server does not send the range from byte %1").arg(resumeFrom);
        return r;
    }
    if (resumeFrom > 0 &&
        (code == CURLE_RANGE_ERROR || code == CURLE_FTP_COULDNT_USE_REST ||
         code == CURLE_BAD_DOWNLOAD_RESUME || (transferKind == Http && status == 416))) {
        r.error = TransferError::NoResume;
        r.text = QStringLiteral("The server does not continue at byte %1: %2")
                     .arg(resumeFrom)
                     .arg(status == 416 ? QStringLiteral("HTTP 416") : curlText);
        return r;
    }
    if (transferKind == Http && (code == CURLE_OK || statusRefused) &&
        (status < 200 || status >= 300)) {
        // "HTTP/1.1 404 Not Found" -> "Not Found"
        const int codeAt = statusLine.indexOf(' ');
        const int reasonAt = codeAt < 0 ? -1 : statusLine.indexOf(' ', codeAt + 1);
        QByteArray reason = reasonAt < 0 ? QByteArray() : statusLine.mid(reasonAt + 1).trimmed();
        if (reason.isEmpty())
            reason = reasonFor(status);
        r.error = isPermanentRefusal(status) ? TransferError::Refused : TransferError::Failed;
        r.text =
            QStringLiteral("HTTP %1 %2").arg(status).arg(QString::fromLatin1(reason)).trimmed();
        return r;
    }
    if (code == CURLE_OK)
        return r;

    r.error = TransferError::Failed;
    r.text = curlText;
    if (transferKind == Ftp && (code == CURLE_REMOTE_FILE_NOT_FOUND || status == 550))
        r.error = TransferError::Refused;
    if (transferKind == Ftp && status >= 400)
        r.text += QStringLiteral(" (FTP %1)").arg(status);
    if (connectCode >= 300)
        r.text += QStringLiteral(" (proxy answered %1)").arg(connectCode);

    curl_off_t connectTime = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_CONNECT_TIME_T, &connectTime);
    r.connected =
        !(code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY ||
          code == CURLE_COULDNT_CONNECT || (code == CURLE_OPERATION_TIMEDOUT && connectTime == 0));
    return r;
}

void CurlTransfer::finish(CURLcode code)
{
    TransferResult r;
    if (transferKind == Http && (code == CURLE_OK)) {
        long status = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300 && status < 400) {
            TransferResult failure;
            if (followRedirect(&failure))
                return;
            if (failure.error != TransferError::None)
                r = failure;
        }
    }
    if (r.error == TransferError::None)
        r = classify(code);
    if (onFinished)
        onFinished(r);
}

void CurlTransfer::fail(const QString& text)
{
    TransferResult r;
    r.error = TransferError::Failed;
    r.text = text;
    if (onFinished)
        onFinished(r);
}
