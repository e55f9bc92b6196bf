#pragma once

#include <QString>
#include <QStringList>

class TaskSpecification;
class TrustedKeys;

// What vouches for a version's product index: the manifest of SHA-256 checksums beside it and
// the signature over both. The three files lie side by side, on the mirror as in the download
// directory: TYPE.ini, TYPE.manifest.ini and TYPE.ini.sig.
QString manifestPathOf(const QString& indexPath);
QString signaturePathOf(const QString& indexPath);
// The latest-version record of a client type, beside the version directories: TYPE.latest.ini.
QString latestRecordNameOf(const QString& clientType);

struct ReleaseCheck {
    enum Problem {
        None,
        IndexUnreadable,  // not a product index the updater accepts
        ManifestMissing,  // required, but not there
        SignatureInvalid, // missing, or not a good signature of this type and version
        ManifestInvalid,  // not a manifest, or not one of this index
    };
    Problem problem = None;
    QString detail; // what is wrong, for the log
    bool usesManifest = false;

    // Reads the index at indexPath into `list` and its "delete" keys into `deleteKeys`. With
    // keys, only a manifest that a good signature covers together with the index counts, and it
    // is required; without, a manifest that reads and matches the index is used, and otherwise
    // the index's MD5 checksums.
    static ReleaseCheck read(const QString& indexPath, const TrustedKeys* keys,
                             const QString& clientType, const QString& version,
                             TaskSpecification* list, QStringList* deleteKeys);
};
