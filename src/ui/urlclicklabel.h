#pragma once

#include <QLabel>
#include <QString>

class QMouseEvent;

// A label that opens its URL in the desktop's browser when pressed with any mouse button.
class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget* parent = nullptr);
    ~UrlClickLabel() override;

    void setUrl(const QString& url) { this->url = url; }
    const QString& getUrl() const { return url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString url;
};
