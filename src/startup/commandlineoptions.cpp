#include "commandlineoptions.h"
#include "inifile.h"
#include "installationfiles.h"
#include "startupmessage.h"
#include "updatechecker.h"

#include <QCoreApplication>
#include <QSettings>

static const QString noUserOption = QStringLiteral("--nouser");

QString parseCommandLineOptions(CommandLineOptions* options, QString fallbackVersion)
{
    return parseCommandLineOptions(options, fallbackVersion, QCoreApplication::arguments());
}

QString parseCommandLineOptions(CommandLineOptions* options, QString fallbackVersion,
                                const QStringList& args)
{
    const int n = args.size();
    // "--nouser" counts only in the first position. Whenever it is there the run stays
    // unattended: a mode that waits for a user would wait forever.
    const bool noUser = n > 1 && args.at(1) == noUserOption;
    options->mode = 0;

    if ((n == 2 || n == 4) && !noUser)
        return QCoreApplication::translate("QObject", "--nouser option is missed");
    if (n == 3 && !noUser) {
        options->mode = 1;
        return getClientTypeVersion(options, args, 1);
    }
    if (n == 3 || n == 4) {
        options->mode = 2;
        return getClientTypeVersion(options, args, 2);
    }
    // No arguments, a lone "--nouser", or four and more arguments: the defaults, asked once.
    if (!getDefaultParameters(options, fallbackVersion)) {
        options->mode = 0;
        return QCoreApplication::translate("QObject", "Can't detect default parameters");
    }
    if (noUser)
        options->mode = 2;
    return QString();
}

QString getClientTypeVersion(CommandLineOptions* options, const QStringList& args, int first)
{
    if (first >= args.size())
        return QCoreApplication::translate("QObject", "No client type specified");
    options->clientType = args.at(first);
    if (first + 1 >= args.size())
        return QCoreApplication::translate("QObject", "No client version specified");
    bool ok = false;
    options->version = args.at(first + 1).toInt(&ok, 10);
    if (!ok)
        return QCoreApplication::translate("QObject", "Wrong version code");
    return QString();
}

bool readUpdateServer(QByteArray* host, quint16* port)
{
    QSettings settings(getAppRootPath() + QStringLiteral("/update.ini"), QSettings::IniFormat);
    parseWholeIni(settings);
    const QString server = settings.value(QStringLiteral("update/server")).toString().trimmed();
    *host = QByteArrayLiteral("update.voxmere.example");
    *port = UpdateChecker::defaultPort;
    if (server.isEmpty())
        return true;
    const int colon = server.lastIndexOf(QLatin1Char(':'));
    if (colon < 0) {
        *host = server.toUtf8();
        return true;
    }
    *host = server.left(colon).toUtf8();
    bool ok = false;
    const uint number = server.mid(colon + 1).toUInt(&ok, 10);
    if (!ok || number == 0 || number > 65535)
        return false;
    *port = quint16(number);
    return true;
}

bool getDefaultParameters(CommandLineOptions* options, QString fallbackVersion)
{
    options->clientType = QStringLiteral("client_linux_x86");

    QString versionText;
    QByteArray host;
    quint16 port = 0;
    bool queried = false;
    if (readUpdateServer(&host, &port)) {
        UpdateChecker checker(host, port);
        if (checker.checkUpdate()) {
            versionText = QString::fromLatin1(checker.getClientVersion());
            queried = true;
        }
    }
    if (!queried) {
        reportStartupMessage(
            StartupMessageLevel::Warning, QCoreApplication::translate("QObject", "Error"),
            QCoreApplication::translate(
                "QObject", "Failed to query latest client\nversion from update server."));
        versionText = fallbackVersion;
    }
    if (versionText.isEmpty())
        return false;
    bool ok = false;
    options->version = versionText.toInt(&ok, 10);
    if (!ok)
        return false;
    options->versionFromServer = queried;
    options->mode = 1;
    return true;
}
