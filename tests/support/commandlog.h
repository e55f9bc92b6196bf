#pragma once

// The completions of a client's queued commands (HttpClient, FtpClient) as "<name> ok" or
// "<name> error", in the order they arrived. Commands are named as they are queued:
//   log("login", ftp.login());
// Header only: the support library does not link the download library.

#include <QHash>
#include <QObject>
#include <QStringList>

class CommandLog
{
public:
    template <typename Client> CommandLog(Client* client, void (Client::*finished)(int, bool))
    {
        QObject::connect(client, finished, &context, [this](int id, bool error) {
            events << names.value(id, QString::number(id)) + (error ? " error" : " ok");
        });
    }

    int operator()(const QString& name, int id)
    {
        names.insert(id, name);
        return id;
    }

    QStringList events;

private:
    QObject context; // disconnects when the log goes before the client
    QHash<int, QString> names;
};
