#include "installation.h"

#include "producttree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

Installation::Installation() : scratch(std::make_unique<QTemporaryDir>()) {}

Installation::~Installation() = default;

bool Installation::create()
{
    if (!scratch->isValid())
        return false;
    if (!QDir().mkpath(dir()) || !QDir().mkpath(tempDir()))
        return false;
    const QString source = QStringLiteral(UPDATE_BINARY);
    if (!QFile::copy(source, path("update")))
        return false;
    return QFile::setPermissions(path("update"), QFile::permissions(source));
}

QString Installation::root() const
{
    return scratch->path();
}

QString Installation::dir() const
{
    return root() + "/install";
}

QString Installation::tempDir() const
{
    return root() + "/tmp";
}

QString Installation::path(const QString& relative) const
{
    return dir() + "/" + relative;
}

void Installation::writeMirrors(const QList<Mirror>& mirrors) const
{
    QFile::remove(path("mirrors.ini"));
    QSettings settings(path("mirrors.ini"), QSettings::IniFormat);
    settings.beginWriteArray("mirrors", int(mirrors.size()));
    for (int i = 0; i < mirrors.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue("mirror", QString("mirror%1").arg(i));
    }
    settings.endArray();
    for (int i = 0; i < mirrors.size(); ++i) {
        settings.beginGroup(QString("mirror%1").arg(i));
        settings.setValue("url", mirrors.at(i).url);
        settings.setValue("retries", mirrors.at(i).retries);
        settings.setValue("timeout", mirrors.at(i).timeout);
        settings.endGroup();
    }
}

void Installation::writeSettings(int streams, const QString& server) const
{
    QSettings settings(path("update.ini"), QSettings::IniFormat);
    settings.beginGroup("update");
    settings.setValue("streams", streams);
    if (server.isEmpty())
        settings.remove("server");
    else
        settings.setValue("server", server);
    settings.endGroup();
}

Installation::Record Installation::record() const
{
    QSettings settings(path("update.ini"), QSettings::IniFormat);
    Record r;
    r.version = settings.value("current/version").toString();
    r.dir = settings.value("current/dir").toString();
    r.type = settings.value("current/type").toString();
    return r;
}

bool Installation::install(const ProductTree& product) const
{
    for (const ProductFile& f : product.files) {
        if (!writeFile(path(f.installedPath()), f.content))
            return false;
    }
    return true;
}

QString Installation::compareWith(const ProductTree& product) const
{
    QStringList problems;
    for (const ProductFile& f : product.files) {
        const QString p = path(f.installedPath());
        if (!QFileInfo(p).isFile())
            problems << f.installedPath() + ": missing";
        else if (readFile(p) != f.content)
            problems << f.installedPath() + ": wrong content";
    }
    return problems.join('\n');
}

QString Installation::finishedWith(const ProductTree& product) const
{
    QStringList problems;
    if (const QString files = compareWith(product); !files.isEmpty())
        problems << files;
    if (record().present())
        problems << "update record kept";
    if (!tempEntries().isEmpty())
        problems << "left in the temporary directory: " + tempEntries().join(' ');
    return problems.join('\n');
}

QStringList Installation::worldWritable() const
{
    QStringList found;
    QDirIterator it(dir(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        const QFileInfo info(p);
        if (!info.isSymLink() && (info.permissions() & QFile::WriteOther))
            found << QDir(dir()).relativeFilePath(p);
    }
    return found;
}

QStringList Installation::tempEntries() const
{
    return QDir(tempDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                     QDir::System);
}

std::unique_ptr<QProcess> Installation::start(const QStringList& arguments) const
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert("TMPDIR", tempDir());
    env.insert("XDG_RUNTIME_DIR", root() + "/runtime");
    QDir().mkpath(root() + "/runtime");
    QFile::setPermissions(root() + "/runtime",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(root());
    process->start(path("update"), arguments);
    process->waitForStarted(10000);
    return process;
}

Installation::Run Installation::wait(QProcess* process, int timeoutMs)
{
    Run r;
    if (process->state() != QProcess::NotRunning) {
        QSignalSpy finished(process, &QProcess::finished);
        finished.wait(timeoutMs);
    }
    r.finished = process->state() == QProcess::NotRunning &&
                 process->exitStatus() == QProcess::NormalExit &&
                 process->error() != QProcess::FailedToStart;
    r.exitCode = r.finished ? process->exitCode() : -1;
    r.errorOutput = QString::fromLocal8Bit(process->readAllStandardError());
    return r;
}

Installation::Run Installation::run(const QStringList& arguments, int timeoutMs) const
{
    std::unique_ptr<QProcess> process = start(arguments);
    Run r = wait(process.get(), timeoutMs);
    if (!r.finished && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
    return r;
}

QStringList Installation::Run::messages() const
{
    static const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    QStringList lines;
    for (QString line : errorOutput.split('\n')) {
        // Notes about the runtime directory and the platform plugin are not ours.
        if (!line.isEmpty() && !line.startsWith("QStandardPaths:") &&
            !line.startsWith("This plugin does not support"))
            lines << line.remove(stamp);
    }
    return lines;
}
