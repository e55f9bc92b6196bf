#include "publisher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

namespace
{

const char* const description =
    R"(Publishes one version of the Voxmere 3 Client onto an update mirror.

Every file below SOURCE_DIR is one file of the version, installed under its path
relative to SOURCE_DIR. The tool writes
  MIRROR_DIR/VERSION/CLIENTTYPE.ini    the product index the updater fetches
  MIRROR_DIR/VERSION/CLIENTTYPE.manifest.ini  its SHA-256 manifest
  MIRROR_DIR/VERSION/GROUP/...         the files, as the updater downloads them
with the MD5 checksum and length of every file. CLIENTTYPE defaults to
client_linux_x86, GROUP to "files". The version directory is assembled under a
temporary name and renamed into place when complete, and everything written is
world-readable. After writing, the index is read back as the updater reads it
and every packed file is unpacked and checked.

Packing: a file matching a --pack glob is stored gzip-packed as NAME.gz with the
checksum, length and name of the unpacked file; the updater unpacks it. A glob
with "/" matches the path relative to SOURCE_DIR ("data/*.pak"), one without
also matches the bare file name anywhere ("*.pak"). "*" and "?" never match "/".

Deleting: with --previous, every path the previous version installed that this
version no longer ships, and every path the previous index already deleted, goes
into the "delete" group, so an update from any older version removes them.

Manifest: beside the index, CLIENTTYPE.manifest.ini lists the SHA-256 of the
index's bytes and the SHA-256 and length of every file (and of what a packed
file unpacks to). Updaters use it where they find it, and require it when they
trust a key.

Patches: with --delta-from M (repeatable), every file of this version whose
installed path version M has with other content also gets a patch from M's
content, read from MIRROR_DIR/M (its index, its manifest and its files, checked
against them), made with libzstd, checked by applying it, and kept only when it
is smaller than half of what the whole file downloads. The patches lie below
MIRROR_DIR/VERSION/patches/M/, and the manifest lists them with the checksum
and length of the content each starts from. Files above 1 GiB get no patch.

Signing: with --sign-key, the index and the manifest are signed together with
that Ed25519 private key (PEM, as "openssl genpkey -algorithm ed25519" writes
it) into CLIENTTYPE.ini.sig beside them: the raw 64-byte signature of the lines
"voxmere-release-v2", CLIENTTYPE, VERSION, the SHA-256 of the index and the
SHA-256 of the manifest (lower-case hexadecimal), each ending in "\n". It is
checked against the key's public half before the version is renamed into
place. Installations holding the public key as update.pub accept only versions
with a good signature. Without --sign-key the version is published unsigned.

Refused: paths the updater refuses (absolute, empty, ".", "..", backslashes,
control characters), files the installation keeps for itself (update.ini,
mirrors.ini, update.lock, session_N.ini, _old_ copies of the updater's own
files, names beginning with .update-new.; update.pub unless signed), deleting
the updater, its settings or update.pub, symbolic links to directories, a file
that is also the directory of another, and two files that would share a name on
the mirror. Nothing is written then.

Earlier versions: with --sign-key, the index and manifest that --previous and
--delta-from build on must carry a good signature by that key (the files are
checked against the manifest as well); otherwise nothing is published.

Latest version: with --sign-key, publishing a version newer than the one that
MIRROR_DIR/CLIENTTYPE.latest.ini names writes that record anew: the client type,
the version and an expiry time (now plus --expires DAYS, default 14), signed in
CLIENTTYPE.latest.ini.sig as the raw Ed25519 signature of "voxmere-latest-v1",
CLIENTTYPE and the SHA-256 of the record, each line ending in "\n". Installations
that trust the key and take their version from the update server install the
version the newest valid record names, and nothing once every record expired.
  update-publish --refresh-latest --sign-key KEY [--expires DAYS] MIRROR_DIR [CLIENTTYPE]
re-signs the current record with a new expiry: run it daily from a timer.

Exit codes: 0 published, 1 command-line error, 2 refused or failed.)";

QString formatEntry(const FileSpecification& e)
{
    QString line = QStringLiteral("  %1  %2 bytes  md5 %3  sha256 %4")
                       .arg(e.mirrorPath())
                       .arg(e.size)
                       .arg(e.md5, e.sha256);
    if (e.isPacked())
        line += QStringLiteral("  (packed %1: %2 bytes, md5 %3, sha256 %4)")
                    .arg(e.unpackedName)
                    .arg(e.unpackedSize)
                    .arg(e.unpackedMd5, e.unpackedSha256);
    return line;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption pack(QStringLiteral("pack"),
                                  QStringLiteral("Store files matching PATTERN gzip-packed "
                                                 "(repeatable)."),
                                  QStringLiteral("PATTERN"));
    const QCommandLineOption previous(QStringLiteral("previous"),
                                      QStringLiteral("Product index of the previous version; "
                                                     "what it installed and this version lacks "
                                                     "is deleted."),
                                      QStringLiteral("OLDINDEX"));
    const QCommandLineOption remove(QStringLiteral("delete"),
                                    QStringLiteral("Also delete PATH (relative to the "
                                                   "installation) when updating (repeatable)."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption group(QStringLiteral("group"),
                                   QStringLiteral("Index group and mirror directory of the files "
                                                  "(default: files)."),
                                   QStringLiteral("NAME"), QStringLiteral("files"));
    const QCommandLineOption replace(QStringLiteral("replace"),
                                     QStringLiteral("Replace a version that is already "
                                                    "published."));
    const QCommandLineOption signKey(QStringLiteral("sign-key"),
                                     QStringLiteral("Sign the index with this Ed25519 private "
                                                    "key (PEM)."),
                                     QStringLiteral("KEYFILE"));
    const QCommandLineOption deltaFrom(QStringLiteral("delta-from"),
                                       QStringLiteral("Also publish patches from VERSION, "
                                                      "read from MIRROR_DIR (repeatable)."),
                                       QStringLiteral("VERSION"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Print only warnings and errors."));
    const QCommandLineOption expires(QStringLiteral("expires"),
                                     QStringLiteral("Days the latest-version record holds "
                                                    "(default: 14)."),
                                     QStringLiteral("DAYS"), QStringLiteral("14"));
    const QCommandLineOption refresh(QStringLiteral("refresh-latest"),
                                     QStringLiteral("Only re-sign MIRROR_DIR's latest-version "
                                                    "record with a new expiry."));
    parser.addOptions(
        {pack, previous, remove, group, replace, signKey, deltaFrom, quiet, expires, refresh});
    parser.addPositionalArgument(QStringLiteral("SOURCE_DIR"),
                                 QStringLiteral("Directory holding the version's files."));
    parser.addPositionalArgument(QStringLiteral("MIRROR_DIR"),
                                 QStringLiteral("Root of the mirror (the URL in mirrors.ini)."));
    parser.addPositionalArgument(QStringLiteral("VERSION"),
                                 QStringLiteral("Version number, a decimal integer."));
    parser.addPositionalArgument(QStringLiteral("CLIENTTYPE"),
                                 QStringLiteral("Client type (default: client_linux_x86)."),
                                 QStringLiteral("[CLIENTTYPE]"));
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = parser.positionalArguments();
    bool daysOk = false;
    const int days = parser.value(expires).toInt(&daysOk, 10);
    if (!daysOk || days < 1 || days > 3650) {
        err << "update-publish: --expires takes a number of days from 1 to 3650\n";
        return 1;
    }
    if (parser.isSet(refresh)) {
        if (args.isEmpty() || args.size() > 2) {
            err << "update-publish: expected --refresh-latest MIRROR_DIR [CLIENTTYPE]\n";
            return 1;
        }
        PublishOptions options;
        options.mirrorDir = QFileInfo(args.at(0)).absoluteFilePath();
        if (args.size() == 2)
            options.clientType = args.at(1);
        options.signKey = parser.value(signKey);
        options.expiresDays = days;
        Publisher publisher(options);
        if (!publisher.refreshLatest()) {
            err << "update-publish: error: " << publisher.errorString() << "\n";
            return 2;
        }
        out << publisher.latestRecordWritten() << "\n";
        return 0;
    }
    if (args.size() < 3 || args.size() > 4) {
        err << "update-publish: expected SOURCE_DIR MIRROR_DIR VERSION [CLIENTTYPE]; see --help\n";
        return 1;
    }

    PublishOptions options;
    // Relative paths resolve from the working directory once, here, not again below the source.
    const auto absolute = [](const QString& p) {
        return p.isEmpty() ? p : QFileInfo(p).absoluteFilePath();
    };
    options.sourceDir = absolute(args.at(0));
    options.mirrorDir = absolute(args.at(1));
    options.version = args.at(2);
    if (args.size() == 4)
        options.clientType = args.at(3);
    options.group = parser.value(group);
    options.packPatterns = parser.values(pack);
    options.previousIndex = parser.value(previous);
    options.extraDeletes = parser.values(remove);
    options.replace = parser.isSet(replace);
    options.signKey = parser.value(signKey);
    options.deltaFrom = parser.values(deltaFrom);
    options.expiresDays = days;

    Publisher publisher(options);
    const bool ok = publisher.run();
    for (const QString& note : publisher.warnings())
        err << "update-publish: warning: " << note << "\n";
    if (!ok) {
        err << "update-publish: error: " << publisher.errorString() << "\n";
        return 2;
    }
    if (options.signKey.isEmpty())
        err << "update-publish: published unsigned (no --sign-key); installations with an "
               "update.pub refuse this version\n";

    if (!parser.isSet(quiet)) {
        int packed = 0;
        out << "Published version " << QFileInfo(publisher.versionDir()).fileName() << " of "
            << options.clientType << " into " << publisher.versionDir() << "\n";
        for (const FileSpecification& e : publisher.entries()) {
            out << formatEntry(e) << "\n";
            packed += e.isPacked() ? 1 : 0;
        }
        for (const QString& path : publisher.deletePaths())
            out << "  delete " << path << "\n";
        out << "Index " << publisher.indexPath() << ": " << publisher.entries().size()
            << " file(s), " << packed << " packed, " << publisher.deletePaths().size()
            << " to delete, " << publisher.mirrorBytes() << " bytes on the mirror.\n";
        for (const ManifestPatch& p : publisher.patches())
            out << "  patch " << p.path << "  " << p.length << " bytes  for " << p.installed
                << "\n";
        out << "Manifest " << publisher.manifestPath() << ": " << publisher.patches().size()
            << " patch(es), " << publisher.patchBytes() << " bytes, made in "
            << QString::number(publisher.patchSeconds(), 'f', 1) << " s.\n";
        if (!publisher.signaturePath().isEmpty())
            out << "Signature " << publisher.signaturePath() << "\n";
        if (!publisher.latestRecordWritten().isEmpty())
            out << "Latest " << publisher.latestRecordWritten() << "\n";
    }
    return 0;
}
