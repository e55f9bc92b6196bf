#include "mainwindow.h"

#include <QTimerEvent>

MainWindow::MainWindow(const CommandLineOptions& options)
    : QWidget(nullptr), options(options), clientType(options.clientType), version(options.version)
{
    setupUi(this);
    voxmereLabel->setUrl(QStringLiteral("https://www.voxmere.example/"));
    revnoLabel->setText(QString::number(version));
    outputTextEdit->hide();
}

// A session still running at the end of the process is deliberately left alone: the update
// record lets the next start resume it.
MainWindow::~MainWindow() = default;

void MainWindow::onAppendText(QString text)
{
    outputTextEdit->append(text);
}

void MainWindow::onProgressUpdate(quint64 current, quint64 total)
{
    // The bar counts in units of 100 bytes so that totals beyond 2 GB still fit in an int.
    const int maximum = int(float(total) / 100.0f);
    if (maximum != totalProgressBar->maximum())
        totalProgressBar->setMaximum(maximum);
    totalProgressBar->setValue(int(float(current) / 100.0f));
    totalSizeLabel->setText(tr("%1 KB").arg(current / 1000));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(total / 1000));
    doneKB = current / 1000;
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
}
