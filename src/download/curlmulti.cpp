#include "curlmulti.h"

#include <QCoreApplication>
#include <QList>
#include <QPair>
#include <QSocketNotifier>
#include <QTimer>

namespace
{
CurlMulti* theInstance = nullptr;

QString describe(CURLMcode code, const char* call)
{
    return QStringLiteral("%1 failed: %2")
        .arg(QLatin1String(call), QString::fromUtf8(curl_multi_strerror(code)));
}

// False, with a log line, when a multi call failed.
bool succeeded(CURLMcode code, const char* call)
{
    if (code == CURLM_OK)
        return true;
    qWarning("%s", qPrintable(describe(code, call)));
    return false;
}

} // namespace

CurlMulti* CurlMulti::instance()
{
    if (!theInstance) {
        static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        Q_UNUSED(initialised);
        theInstance = new CurlMulti;
    }
    return theInstance;
}

CurlMulti::CurlMulti() : QObject(QCoreApplication::instance()), multi(curl_multi_init())
{
    timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &CurlMulti::onTimeout);
    safetyTimer = new QTimer(this);
    safetyTimer->setInterval(100);
    connect(safetyTimer, &QTimer::timeout, this, &CurlMulti::onSafetyTick);
    budgetTimer = new QTimer(this);
    budgetTimer->setSingleShot(true);
    budgetTimer->setTimerType(Qt::PreciseTimer);
    connect(budgetTimer, &QTimer::timeout, this, &CurlMulti::resumePaused);
    clock.start();

    // Without these nothing would ever run; every add is refused then.
    const char* setopt = "curl_multi_setopt";
    CURLM* m = multi.get();
    usable = m &&
             succeeded(curl_multi_setopt(m, CURLMOPT_SOCKETFUNCTION, &socketCallback), setopt) &&
             succeeded(curl_multi_setopt(m, CURLMOPT_SOCKETDATA, this), setopt) &&
             succeeded(curl_multi_setopt(m, CURLMOPT_TIMERFUNCTION, &timerCallback), setopt) &&
             succeeded(curl_multi_setopt(m, CURLMOPT_TIMERDATA, this), setopt);
    if (!m)
        qWarning("curl_multi_init failed");
}

CurlMulti::~CurlMulti()
{
    for (CurlMultiClient* t : std::as_const(running))
        curl_multi_remove_handle(multi.get(), t->handle());
    running.clear();
    // Cleanup reports the sockets it closes through the socket callback: the map must still be
    // there.
    multi.reset();
    for (SocketNotifiers* n : std::as_const(sockets)) {
        delete n->read;
        delete n->write;
        delete n;
    }
    sockets.clear();
    if (theInstance == this)
        theInstance = nullptr;
}

bool CurlMulti::add(CurlMultiClient* transfer)
{
    if (running.contains(transfer) || !usable)
        return false;
    if (!succeeded(curl_multi_add_handle(multi.get(), transfer->handle()), "curl_multi_add_handle"))
        return false;
    running.insert(transfer);
    if (transfer->isFtp())
        ++ftpRunning;
    updateSafetyTimer();
    return true;
}

void CurlMulti::remove(CurlMultiClient* transfer)
{
    if (!running.remove(transfer))
        return;
    paused.removeAll(transfer);
    succeeded(curl_multi_remove_handle(multi.get(), transfer->handle()),
              "curl_multi_remove_handle");
    if (transfer->isFtp())
        --ftpRunning;
    updateSafetyTimer();
}

bool CurlMulti::isRunning(const CurlMultiClient* transfer) const
{
    return running.contains(const_cast<CurlMultiClient*>(transfer));
}

void CurlMulti::registerTransfer(CurlMultiClient* transfer)
{
    live.insert(transfer);
}

void CurlMulti::unregisterTransfer(CurlMultiClient* transfer)
{
    remove(transfer);
    live.remove(transfer);
}

void CurlMulti::setRateLimit(qint64 bytesPerSecond)
{
    budget.setLimit(bytesPerSecond, clock.elapsed());
    resumePaused();
}

bool CurlMulti::admit(CurlMultiClient* transfer, qint64 bytes)
{
    const qint64 now = clock.elapsed();
    if (budget.take(bytes, now))
        return true;
    if (!paused.contains(transfer))
        paused.append(transfer);
    if (!budgetTimer->isActive())
        budgetTimer->start(budget.waitMs(now));
    return false;
}

void CurlMulti::resumePaused()
{
    const qint64 now = clock.elapsed();
    while (!paused.isEmpty() && budget.waitMs(now) == 0) {
        CurlMultiClient* t = paused.takeFirst();
        // The bytes curl kept are delivered inside this call; the transfer may pause again.
        const CURLcode code = curl_easy_pause(t->handle(), CURLPAUSE_CONT);
        if (code != CURLE_OK)
            qWarning("curl_easy_pause failed: %s", curl_easy_strerror(code));
    }
    if (!paused.isEmpty() && !budgetTimer->isActive())
        budgetTimer->start(budget.waitMs(now));
}

int CurlMulti::socketCallback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp)
{
    auto* self = static_cast<CurlMulti*>(userp);
    auto* n = static_cast<SocketNotifiers*>(socketp);
    // Where the assignment failed, the map still knows the socket.
    if (!n)
        n = self->sockets.value(s);
    if (what == CURL_POLL_REMOVE) {
        if (n) {
            // We may be inside this notifier's own signal: disable now, delete later.
            n->read->setEnabled(false);
            n->write->setEnabled(false);
            n->read->deleteLater();
            n->write->deleteLater();
            self->sockets.remove(s);
            delete n;
        }
        if (self->multi)
            succeeded(curl_multi_assign(self->multi.get(), s, nullptr), "curl_multi_assign");
        return 0;
    }
    if (!n) {
        n = new SocketNotifiers;
        n->read = new QSocketNotifier(qintptr(s), QSocketNotifier::Read, self);
        n->write = new QSocketNotifier(qintptr(s), QSocketNotifier::Write, self);
        connect(n->read, &QSocketNotifier::activated, self,
                [self, s] { self->onSocketActivated(s, CURL_CSELECT_IN); });
        connect(n->write, &QSocketNotifier::activated, self,
                [self, s] { self->onSocketActivated(s, CURL_CSELECT_OUT); });
        self->sockets.insert(s, n);
        succeeded(curl_multi_assign(self->multi.get(), s, n), "curl_multi_assign");
    }
    n->easy = easy;
    n->read->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    n->write->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
    return 0;
}

int CurlMulti::timerCallback(CURLM*, long timeoutMs, void* userp)
{
    auto* self = static_cast<CurlMulti*>(userp);
    if (timeoutMs < 0)
        self->timer->stop();
    else
        self->timer->start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

void CurlMulti::onSocketActivated(curl_socket_t s, int flags)
{
    // The socket may have been given up while this activation was pending.
    const SocketNotifiers* n = sockets.value(s);
    if (!n)
        return;
    CURL* const involved = n->easy;
    int stillRunning = 0;
    afterAction(curl_multi_socket_action(multi.get(), s, flags, &stillRunning),
                "curl_multi_socket_action", involved);
}

void CurlMulti::onTimeout()
{
    int stillRunning = 0;
    afterAction(curl_multi_socket_action(multi.get(), CURL_SOCKET_TIMEOUT, 0, &stillRunning),
                "curl_multi_socket_action", nullptr);
}

void CurlMulti::onSafetyTick()
{
    int stillRunning = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const CURLMcode code = curl_multi_socket_all(multi.get(), &stillRunning);
#pragma GCC diagnostic pop
    afterAction(code, "curl_multi_socket_all", nullptr);
}

void CurlMulti::afterAction(CURLMcode code, const char* call, CURL* involved)
{
    if (succeeded(code, call)) {
        processFinished();
        return;
    }
    QList<CurlMultiClient*> failed;
    for (CurlMultiClient* t : std::as_const(running)) {
        if (t->handle() == involved)
            failed.append(t);
    }
    // A call for all sockets, or one whose transfer is unknown: none of them can be trusted.
    if (failed.isEmpty())
        failed = running.values();
    for (CurlMultiClient* t : std::as_const(failed))
        remove(t);
    processFinished(failed, describe(code, call));
}

void CurlMulti::updateSafetyTimer()
{
    if (ftpRunning > 0 && !safetyTimer->isActive())
        safetyTimer->start();
    else if (ftpRunning == 0)
        safetyTimer->stop();
}

void CurlMulti::processFinished(const QList<CurlMultiClient*>& failed, const QString& failure)
{
    QList<QPair<CurlMultiClient*, CURLcode>> done;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        CURL* easy = msg->easy_handle;
        const CURLcode result = msg->data.result;
        CurlMultiClient* t = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
        if (t && running.contains(t)) {
            remove(t);
            done.append({t, result});
        } else {
            succeeded(curl_multi_remove_handle(multi.get(), easy), "curl_multi_remove_handle");
        }
    }

    // Progress first, then completions; any handler may delete other transfers.
    const QList<CurlMultiClient*> active = running.values();
    for (CurlMultiClient* t : active) {
        if (live.contains(t) && running.contains(t))
            t->flushProgress();
    }
    for (const auto& d : std::as_const(done)) {
        if (!live.contains(d.first))
            continue;
        d.first->flushProgress();
        if (live.contains(d.first))
            d.first->finish(d.second);
    }
    for (CurlMultiClient* t : failed) {
        if (live.contains(t))
            t->fail(failure);
    }
}
