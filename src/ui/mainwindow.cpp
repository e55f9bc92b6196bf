#include "mainwindow.h"

#include "curlmulti.h"
#include "ftpproductdownloadsession.h"
#include "indexsignature.h"
#include "ratebudget.h"
#include "updaterecord.h"

#include <QDateTime>
#include <QLockFile>
#include <QRegularExpressionValidator>
#include <QTimerEvent>

#include <cmath>
#include <cstdio>
#include <limits>

MainWindow::MainWindow(bool noUser, const QString& clientType, int version, bool versionFromServer)
    : QWidget(nullptr), unattended(noUser), clientType(clientType), version(version),
      versionFromServer(versionFromServer)
{
    setupUi(this);
    voxmereLabel->setUrl(QStringLiteral("https://www.voxmere.example/"));
    revnoLabel->setText(QString::number(version));
    outputTextEdit->hide();
    limitWidget->hide();
    limitText = getRateLimitText(QString());
    limitEdit->setText(limitText);
    limitEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,19}[kKmMgG]?")), limitEdit));
    connect(limitEdit, &QLineEdit::editingFinished, this, &MainWindow::onLimitEdited);
}

// Deleting a session that still runs only stops its transfers: the update record stays, so the
// next start resumes the download.
MainWindow::~MainWindow()
{
    delete session;
    session = nullptr;
    delete applying;
    applying = nullptr;
}

void MainWindow::onAppendText(QString text)
{
    outputTextEdit->append(text);

    // An unattended run has nobody watching the window: the log must survive on standard error.
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    const QByteArray stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toLatin1();
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        std::fprintf(stderr, "%s %s%s\n", stamp.constData(), i == 0 ? "" : "  ",
                     lines.at(i).toLocal8Bit().constData());
    }
    std::fflush(stderr);
}

void MainWindow::onProgressUpdate(quint64 current, quint64 total)
{
    // The bar counts in units of 100 bytes so that totals beyond 2 GB still fit in an int. The
    // division stays in 64-bit integers: a float holds only 24 bits, which is a step of 400
    // bytes at 4 GB.
    const auto units = [](quint64 bytes) {
        return int(qMin<quint64>(bytes / 100, quint64(std::numeric_limits<int>::max())));
    };
    const int maximum = units(total);
    if (maximum != totalProgressBar->maximum())
        totalProgressBar->setMaximum(maximum);
    totalProgressBar->setValue(units(current));
    totalSizeLabel->setText(tr("%1 KB").arg(current / 1000));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(total / 1000));
    doneKB = current / 1000;
    doneBytes = current;
    totalBytes = total;
    repaintProgress(current == 0 || current >= total);
}

void MainWindow::repaintProgress(bool force)
{
    // Verification and apply read files on this thread without returning to the event loop, so
    // the progress widgets are painted right here; running the event loop instead would let the
    // session's events in mid-way. A few paints a second are enough to see it move.
    if (!isVisible())
        return;
    if (!force && lastProgressRepaint.isValid() && lastProgressRepaint.elapsed() < 40)
        return;
    lastProgressRepaint.start();
    totalProgressBar->repaint();
    totalSizeLabel->repaint();
    totalTotalSizeLabel->repaint();
}

void MainWindow::onProgressCount(quint64 current, quint64 total)
{
    onProgressUpdate(current, total);
}

void MainWindow::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timerId) {
        QWidget::timerEvent(event);
        return;
    }
    ++elapsedSeconds;
    downloadSpeedLabel->setText(QString::number(qint64(doneKB) / qint64(elapsedSeconds)) +
                                tr(" KB/s"));
    // The time left follows the last few seconds rather than the average since the start, so
    // that a changed limit shows in it soon.
    const double lastSecond = doneBytes > tickBytes ? double(doneBytes - tickBytes) : 0;
    tickBytes = doneBytes;
    if (speedSamples < 0)
        return;
    smoothedSpeed = speedSamples++ == 0 ? lastSecond : 0.3 * lastSecond + 0.7 * smoothedSpeed;
    timeLeftLabel->setText(
        timeLeftText(totalBytes > doneBytes ? totalBytes - doneBytes : 0, smoothedSpeed));
}

void MainWindow::onVerifying(bool running)
{
    speedSamples = running ? -1 : 0;
    tickBytes = doneBytes;
    smoothedSpeed = 0;
    timeLeftLabel->clear();
}

void MainWindow::stopSpeedTimer()
{
    if (timerId != 0)
        killTimer(timerId);
    timerId = 0;
    timeLeftLabel->clear();
}

QString MainWindow::timeLeftText(quint64 bytesLeft, double bytesPerSecond)
{
    if (bytesLeft == 0 || !(bytesPerSecond > 0))
        return QString();
    const double seconds = qMin(std::ceil(double(bytesLeft) / bytesPerSecond), 1e9);
    // Seconds in steps of five: a count that changes every tick reads as noise.
    if (seconds < 55)
        return tr("about %1 s left").arg(qMax(5, int(std::ceil(seconds / 5)) * 5));
    const qint64 minutes = qRound64(seconds / 60);
    if (minutes < 60)
        return tr("about %1 min left").arg(minutes);
    return tr("about %1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

void MainWindow::onLimitEdited()
{
    const QString text = limitEdit->text().trimmed();
    if (text == limitText)
        return;
    qint64 limit = 0;
    if (!RateBudget::parse(text, &limit)) {
        onAppendText(tr("Not a download limit: %1").arg(text));
        limitEdit->setText(limitText);
        return;
    }
    limitText = text;
    CurlMulti::instance()->setRateLimit(limit);
    onAppendText(limit > 0 ? QStringLiteral("Download limit: %1 bytes per second").arg(limit)
                           : QStringLiteral("Download limit: none"));
    if (!writeRateLimitText(QString(), text))
        tellUser(QMessageBox::Warning, tr("Warning"), unwritableSettings());
}
