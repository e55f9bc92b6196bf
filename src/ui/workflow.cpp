#include "mainwindow.h"

#include <QCloseEvent>

// The update workflow behind the start button. Until it is written the window only displays.

void MainWindow::on_startButton_clicked() {}

void MainWindow::onUpdateFinished() {}

void MainWindow::onDownloadInitiated() {}

void MainWindow::onStreamStarted(int /*stream*/) {}

void MainWindow::onStreamSwitchMirror(int /*stream*/) {}

void MainWindow::onStreamError(int /*stream*/, const QString& /*text*/) {}

void MainWindow::onStreamFinished() {}

void MainWindow::onStreamProgress(int /*stream*/, qulonglong /*done*/, qulonglong /*total*/) {}

void MainWindow::onProcessCancelled() {}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
}

bool MainWindow::copyTemporaryOnly()
{
    return false;
}

void MainWindow::removeTemporaryOnly() {}

void MainWindow::cleanupCurrentUpdateFiles() {}

bool MainWindow::getExistingUpdateData(QString /*iniDir*/, QString* /*version*/, QString* /*type*/,
                                       QString* /*downloadDir*/)
{
    return false;
}

void MainWindow::modifyUpdateData(const QString& /*version*/, const QString& /*downloadDir*/) {}

void MainWindow::cleanupCurrentUpdateDataIniFile() {}
