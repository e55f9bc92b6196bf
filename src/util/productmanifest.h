#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

// Reads an INI text of printable ASCII into "SECTION/KEY" to value: blank lines, comments (";"
// or "#"), [SECTION] and KEY=VALUE, blanks around both trimmed, no key twice. Returns what is
// wrong, or an empty text and the number of lines in `lines`.
QString readAsciiIni(const QByteArray& text, QHash<QByteArray, QByteArray>* values,
                     int* lines = nullptr);

// The manifest a version carries beside its product index (TYPE.manifest.ini): the SHA-256 of
// the index's exact bytes and, for every file on the mirror, its SHA-256 and length and, for a
// packed file, the SHA-256 of what it unpacks to. The index itself keeps its MD5 checksums, so
// that older updaters read it as before. The text is Qt's INI format, written and read here:
//
//   [manifest]
//   format=1
//   index=SHA256
//
//   [files]
//   1\path=group/name            the mirror path, percent-encoded UTF-8
//   1\sha256=SHA256
//   1\length=LENGTH
//   1\unpackedSha256=SHA256      packed files only
//   1\pieceLength=LENGTH         files above pieceLengthFor()'s threshold only: the SHA-256 of
//   1\pieces=SHA256SHA256...     each piece of the file on the mirror, the last one shorter
//   size=COUNT
//
//   [patches]                    optional
//   1\path=patches/...           the patch on the mirror, percent-encoded UTF-8
//   1\sha256=SHA256              of the patch
//   1\length=LENGTH
//   1\installed=PATH             the installed file it rebuilds, percent-encoded UTF-8
//   1\sourceSha256=SHA256        of the installed content it starts from
//   1\sourceLength=LENGTH
//   size=COUNT
//
// Keys of later formats are skipped, so a later format may add keys and still be read as this
// one as long as its number stays.

struct ManifestFile {
    QString path; // group/name, as the file lies on the mirror
    QString sha256;
    quint64 length = 0;
    QString unpackedSha256; // empty for a plain file
    // The SHA-256 of each pieceLength bytes of the file, in hexadecimal one after the other, so
    // that a part of the file can be checked; 0 and empty for a small file.
    quint64 pieceLength = 0;
    QByteArray pieces;
};

// A patch rebuilds the installed file of an entry from one earlier content of it; the result
// must have the entry's own checksum and length.
struct ManifestPatch {
    QString path;
    QString sha256;
    quint64 length = 0;
    QString installed;
    QString sourceSha256;
    quint64 sourceLength = 0;
};

struct ProductManifest {
    static constexpr int format = 1;
    // Like any file of unknown length that a mirror serves.
    static constexpr qint64 maximumSize = 64 * 1024 * 1024;

    // The piece length for a file of `length` bytes: none up to 4 MiB, then 4 MiB, doubled as
    // often as it takes to keep a file to 1024 pieces. A reader takes any power of two from
    // 16 KiB to 1 GiB.
    static quint64 pieceLengthFor(quint64 length);
    static constexpr quint64 minimumPieceLength = 16 * 1024;
    static constexpr quint64 maximumPieceLength = 1024 * 1024 * 1024;

    QString indexSha256;
    QVector<ManifestFile> files;
    QVector<ManifestPatch> patches;

    // Fills `manifest` from the text and returns an empty text; or leaves it empty and returns
    // what is wrong with the text. Checksums
    // must be 64 lower-case hexadecimal digits, lengths decimal, paths of files and patches
    // unique.
    static QString parse(const QByteArray& text, ProductManifest* manifest);
    QByteArray toText() const;
};
