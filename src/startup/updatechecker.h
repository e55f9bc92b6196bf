#pragma once

#include <QByteArray>

// The update server's answer: up to three comma-separated version fields. Text after a 0x00
// byte does not count, and neither do empty fields.
struct UpdateServerAnswer {
    QByteArray clientVersion;
    QByteArray serverVersion;
    QByteArray appsVersion;
};
UpdateServerAnswer parseUpdateServerAnswer(const QByteArray& datagram);

// Asks the update server for the latest client version: one UDP datagram out, one back.
// Blocks for at most five seconds.
class UpdateChecker
{
public:
    static constexpr quint16 defaultPort = 17384;

    explicit UpdateChecker(const QByteArray& host = QByteArrayLiteral("update.voxmere.example"),
                           quint16 port = defaultPort);

    bool checkUpdate();
    bool readFromServer();

    const QByteArray& getClientVersion() const { return clientVersion; }
    const QByteArray& getServerVersion() const { return serverVersion; }
    const QByteArray& getAppsVersion() const { return appsVersion; }

private:
    QByteArray clientVersion;
    QByteArray serverVersion;
    QByteArray appsVersion;
    QByteArray host;
    quint16 port;
};
