#pragma once

#include "indexsignature.h"
#include "latestrecord.h"
#include "productmanifest.h"
#include "taskspecification.h"

#include <QString>
#include <QStringList>
#include <QVector>

struct PublishOptions {
    QString sourceDir;
    QString mirrorDir;
    QString version;
    QString clientType = QStringLiteral("client_linux_x86");
    QString group = QStringLiteral("files");
    // Globs matched against the relative path and against the bare file name.
    QStringList packPatterns;
    QString previousIndex;
    QStringList extraDeletes;
    bool replace = false;
    // Ed25519 private key in PEM; empty publishes the version unsigned.
    QString signKey;
    // Earlier versions on the mirror to make patches from.
    QStringList deltaFrom;
    // Lifetime of the latest-version record written with a signed version newer than the one
    // it names, or by refreshLatest().
    int expiresDays = 14;
};

// Writes one version of the product onto a mirror: MIRROR/VERSION/CLIENTTYPE.ini, its manifest
// CLIENTTYPE.manifest.ini and every file below MIRROR/VERSION/GROUP/. The version directory is
// assembled under a temporary name and renamed into place at the end, so a mirror never serves a
// half-written version.
class Publisher
{
public:
    explicit Publisher(const PublishOptions& options);

    bool run();
    // Re-signs the mirror's latest-version record of the client type with a new expiry; it must
    // verify with the signing key's public half.
    bool refreshLatest();
    QString latestPath() const;
    // What the latest-version record now says, when it was written.
    QString latestRecordWritten() const { return latestWritten; }

    QString errorString() const { return error; }
    const QStringList& warnings() const { return notes; }
    const QVector<FileSpecification>& entries() const { return written; }
    const QStringList& deletePaths() const { return deletes; }
    QString versionDir() const;
    QString indexPath() const;
    // The signature beside the index; empty when the version is published unsigned.
    QString signaturePath() const;
    QString manifestPath() const;
    quint64 mirrorBytes() const;
    const QVector<ManifestPatch>& patches() const { return madePatches; }
    quint64 patchBytes() const;
    double patchSeconds() const { return patchTime; }

    static bool matchesPattern(const QString& relativePath, const QString& pattern);

private:
    bool fail(const QString& text);
    bool checkOptions();
    bool collectSources(QStringList* relativePaths);
    bool collectDeletes(const QStringList& installedPaths);
    bool writeFiles(const QString& stagingDir, const QStringList& relativePaths);
    bool makePatches(const QString& stagingDir);
    bool makePatchesFrom(const QString& stagingDir, const QString& fromVersion,
                         const QString& scratch);
    bool writeIndex(const QString& stagingDir);
    bool verify(const QString& stagingDir);
    bool sign(const QString& stagingDir);
    bool moveIntoPlace(const QString& stagingDir);
    bool loadSigner();
    // Reads an earlier version's index as the updater would, its signature checked against the
    // signing key when there is one.
    bool readEarlier(const QString& indexPath, const QString& version, TaskSpecification* list,
                     QStringList* deleteKeys, bool needManifest);
    bool writeLatest(int version, bool refresh);
    bool shouldPack(const QString& relativePath) const;

    PublishOptions options;
    QString canonicalVersion;
    QString error;
    QStringList notes;
    QVector<FileSpecification> written;
    QStringList deletes;
    IndexSigner signer;
    TrustedKeys publicHalf;
    QString latestWritten;
    QVector<ManifestPatch> madePatches;
    double patchTime = 0;
};
