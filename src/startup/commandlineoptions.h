#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

struct CommandLineOptions {
    int mode = 0; // 1: a user is present, 2: "--nouser"
    QString clientType;
    int version = 0;
    // The version is the update server's answer, not the user's choice.
    bool versionFromServer = false;
};

// Each returns an error text, empty on success. The argument list starts with the program path;
// without one, the application's arguments are taken.
QString parseCommandLineOptions(CommandLineOptions* options, QString fallbackVersion);
QString parseCommandLineOptions(CommandLineOptions* options, QString fallbackVersion,
                                const QStringList& args);
QString getClientTypeVersion(CommandLineOptions* options, const QStringList& args, int first);

// Type "client_linux_x86" and the latest version from the update server (or fallbackVersion when
// the server cannot be asked); sets mode 1 on success.
bool getDefaultParameters(CommandLineOptions* options, QString fallbackVersion);

// The update server of "update.ini" ([update] server = host or host:port). False when the port
// is not a usable number.
bool readUpdateServer(QByteArray* host, quint16* port);
