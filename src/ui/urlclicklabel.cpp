#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent) : QLabel(parent, Qt::WindowFlags()) {}

UrlClickLabel::~UrlClickLabel() = default;

void UrlClickLabel::mousePressEvent(QMouseEvent* /*event*/)
{
    QDesktopServices::openUrl(QUrl(url));
}
