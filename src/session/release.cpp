#include "release.h"

#include "filemd5.h"
#include "indexsignature.h"
#include "productmanifest.h"
#include "taskspecification.h"

#include <QFile>
#include <QFileInfo>

namespace
{

// At most `limit` bytes and one more, enough to tell that a file is too large; null when the file
// cannot be read.
QByteArray readCapped(const QString& path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray data = file.read(limit + 1);
    return data.isNull() ? QByteArray("") : data;
}

ReleaseCheck failed(ReleaseCheck::Problem problem, const QString& detail)
{
    ReleaseCheck check;
    check.problem = problem;
    check.detail = detail;
    return check;
}

} // namespace

QString manifestPathOf(const QString& indexPath)
{
    QString path = indexPath;
    if (path.endsWith(QLatin1String(".ini")))
        path.chop(4);
    return path + QStringLiteral(".manifest.ini");
}

QString latestRecordNameOf(const QString& clientType)
{
    return clientType + QStringLiteral(".latest.ini");
}

QString signaturePathOf(const QString& indexPath)
{
    return indexPath + QStringLiteral(".sig");
}

ReleaseCheck ReleaseCheck::read(const QString& indexPath, const TrustedKeys* keys,
                                const QString& clientType, const QString& version,
                                TaskSpecification* list, QStringList* deleteKeys)
{
    // The bytes checked are the bytes read: the index is parsed from the same file only after
    // its checksum is known, and the download directory is private to the user.
    const QByteArray index = readCapped(indexPath, ProductManifest::maximumSize);
    const QByteArray manifestText =
        readCapped(manifestPathOf(indexPath), ProductManifest::maximumSize);
    if (keys) {
        if (manifestText.isNull())
            return failed(ManifestMissing, QStringLiteral("no manifest"));
        const QByteArray signature =
            readCapped(signaturePathOf(indexPath), TrustedKeys::signatureSize);
        if (index.isNull() ||
            !keys->verifyRelease(clientType, version, index, manifestText, signature))
            return failed(SignatureInvalid, QStringLiteral("no good signature"));
    }

    // The files that come with the index, where entries and patches must not lie.
    const QString indexName = QFileInfo(indexPath).fileName();
    const QString recordName = latestRecordNameOf(clientType);
    const QStringList metadata = {indexName, QFileInfo(manifestPathOf(indexName)).fileName(),
                                  signaturePathOf(indexName), recordName,
                                  signaturePathOf(recordName)};
    TaskSpecification read;
    if (index.isNull())
        return failed(IndexUnreadable, QStringLiteral("it cannot be read"));
    const QString indexProblem = read.readProductIndex(index, metadata, keys, deleteKeys);
    if (!indexProblem.isEmpty())
        return failed(IndexUnreadable, indexProblem);

    ReleaseCheck check;
    if (!manifestText.isNull()) {
        ProductManifest manifest;
        QString problem = ProductManifest::parse(manifestText, &manifest);
        if (problem.isEmpty() && manifest.indexSha256 != checksumOf(index, HashAlgorithm::Sha256))
            problem = QStringLiteral("it is the manifest of another index");
        if (problem.isEmpty())
            read.applyManifest(manifest, metadata, &problem);
        if (!problem.isEmpty() && keys)
            return failed(ManifestInvalid, problem);
        check.usesManifest = problem.isEmpty();
        check.detail = problem;
    }
    *list = read;
    return check;
}
