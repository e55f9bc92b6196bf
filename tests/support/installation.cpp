#include "installation.h"

#include "producttree.h"
#include "testservers.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sched.h>
#include <sys/mount.h>

Installation::Installation() : scratch(std::make_unique<QTemporaryDir>()) {}

Installation::~Installation() = default;

bool Installation::create()
{
    const QString built = QStringLiteral(UPDATE_BINARY);
    return scratch->isValid() && QDir().mkpath(dir()) && QDir().mkpath(tempDir()) &&
           QDir().mkpath(root() + "/runtime") && QFile::copy(built, path("update")) &&
           QFile::setPermissions(root() + "/runtime", QFile::Permissions(0x7000)) &&
           QFile::setPermissions(path("update"), QFile::permissions(built));
}

void Installation::writeMirrors(const QList<Mirror>& mirrors) const
{
    QByteArray text = "[mirrors]\nsize=" + QByteArray::number(mirrors.size()) + "\n";
    for (int i = 0; i < mirrors.size(); ++i)
        text += QString("%1\\mirror=mirror%2\n").arg(i + 1).arg(i).toUtf8();
    for (int i = 0; i < mirrors.size(); ++i)
        text += QString("[mirror%1]\nurl=%2\nretries=%3\ntimeout=%4\n")
                    .arg(i)
                    .arg(mirrors[i].url)
                    .arg(mirrors[i].retries)
                    .arg(mirrors[i].timeout)
                    .toUtf8();
    writeFile(path("mirrors.ini"), text);
}

void Installation::writeSettings(int streams, const QString& server, const QString& proxy) const
{
    QSettings settings(path("update.ini"), QSettings::IniFormat);
    settings.beginGroup("update");
    settings.setValue("streams", streams);
    for (const auto& [key, value] : {std::pair{"server", server}, std::pair{"proxy", proxy}})
        value.isEmpty() ? settings.remove(key) : settings.setValue(key, value);
}

Installation::Record Installation::record() const
{
    QSettings settings(path("update.ini"), QSettings::IniFormat);
    settings.beginGroup("current");
    return {settings.value("version").toString(), settings.value("dir").toString(),
            settings.value("type").toString()};
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
        if (!QFileInfo(path(f.installedPath())).isFile())
            problems << f.installedPath() + ": missing";
        else if (readFile(path(f.installedPath())) != f.content)
            problems << f.installedPath() + ": wrong content";
    }
    QDirIterator it(dir(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (!info.isSymLink() && (info.permissions() & QFile::WriteOther))
            problems << info.filePath() + ": world-writable";
    }
    return problems.join('\n');
}

QString Installation::finishedWith(const ProductTree& product) const
{
    QStringList problems{compareWith(product)};
    if (record().present())
        problems << "update record kept";
    if (!tempEntries().isEmpty())
        problems << "left in the temporary directory: " + tempEntries().join(' ');
    problems.removeAll(QString());
    return problems.join('\n');
}

QStringList Installation::tempEntries() const
{
    return QDir(tempDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

std::unique_ptr<QProcess> Installation::start(const QStringList& arguments) const
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    env.insert("TMPDIR", tempDir());
    env.insert("XDG_RUNTIME_DIR", root() + "/runtime");
    process->setWorkingDirectory(root());
    if (!authority.isEmpty()) {
        // libcurl reads the system's bundle only; in a mount namespace of the updater's own the
        // test's authority lies over it.
        const QByteArray ca = QFile::encodeName(authority);
        process->setChildProcessModifier([ca] {
            if (::unshare(CLONE_NEWNS) == 0 &&
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
                ::mount(ca.constData(), "/etc/ssl/certs/ca-certificates.crt", nullptr, MS_BIND,
                        nullptr);
        });
    }
    for (const QString& entry : environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    if (!environment.isEmpty()) // a preloaded library goes before the sanitizers' runtime
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    process->setProcessEnvironment(env);
    process->start(path("update"), arguments);
    process->waitForStarted(scaledMs(10000));
    return process;
}

Installation::Run Installation::wait(QProcess* process, int timeoutMs)
{
    if (process->state() != QProcess::NotRunning)
        QSignalSpy(process, &QProcess::finished).wait(scaledMs(timeoutMs));
    Run r;
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
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
    return r;
}
