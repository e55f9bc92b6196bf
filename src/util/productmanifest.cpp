#include "productmanifest.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QUrl>

namespace
{

bool isSha256(const QByteArray& text)
{
    if (text.size() != 64)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool readLength(const QByteArray& text, quint64* length)
{
    // Digits only: no sign, no blanks, no leading "0x" that a number parser might take.
    if (text.isEmpty() || text.size() > 20)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    bool ok = false;
    *length = text.toULongLong(&ok, 10);
    return ok;
}

// pieces must be the SHA-256 of each piece of a file of `length` bytes.
bool readPieces(const QByteArray& pieceLength, quint64 length, ManifestFile* file)
{
    if (!readLength(pieceLength, &file->pieceLength) ||
        file->pieceLength < ProductManifest::minimumPieceLength ||
        file->pieceLength > ProductManifest::maximumPieceLength ||
        (file->pieceLength & (file->pieceLength - 1)) != 0 || length <= file->pieceLength)
        return false;
    const quint64 count = (length + file->pieceLength - 1) / file->pieceLength;
    if (quint64(file->pieces.size()) != count * 64)
        return false;
    for (qsizetype i = 0; i < file->pieces.size(); i += 64) {
        if (!isSha256(file->pieces.mid(i, 64)))
            return false;
    }
    return true;
}

using Values = QHash<QByteArray, QByteArray>;

// A percent-encoded UTF-8 path; empty when missing or not UTF-8.
QString readPath(const Values& values, const QByteArray& key)
{
    const QByteArray encoded = values.value(key);
    const QByteArray decoded = QByteArray::fromPercentEncoding(encoded);
    const QString path = QString::fromUtf8(decoded);
    return path.toUtf8() == decoded ? path : QString();
}

// The number of entries of an array section; false when it is absent or not a number that the
// text can hold (every entry takes three lines or more).
bool readCount(const Values& values, const QByteArray& section, int lines, quint64* count)
{
    return readLength(values.value(section + "/size"), count) && *count <= quint64(lines) / 3;
}

} // namespace

QString readAsciiIni(const QByteArray& text, QHash<QByteArray, QByteArray>* values, int* lines)
{
    QByteArray section;
    int lineNumber = 0;
    for (QByteArray line : text.split('\n')) {
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        for (const char c : std::as_const(line)) {
            if (c < 0x20 || c > 0x7e)
                return QStringLiteral("line %1 holds a character that is not printable ASCII")
                    .arg(lineNumber);
        }
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']') || line.size() < 3)
                return QStringLiteral("line %1 is not a section header").arg(lineNumber);
            section = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            return QStringLiteral("line %1 is not a key and a value").arg(lineNumber);
        const QByteArray key = section + '/' + line.left(equals).trimmed();
        if (values->contains(key))
            return QStringLiteral("line %1 repeats %2").arg(lineNumber).arg(QLatin1String(key));
        values->insert(key, line.mid(equals + 1).trimmed());
    }
    if (lines)
        *lines = lineNumber;
    return QString();
}

quint64 ProductManifest::pieceLengthFor(quint64 length)
{
    constexpr quint64 standard = 4 * 1024 * 1024;
    if (length <= standard)
        return 0;
    quint64 pieceLength = standard;
    while (pieceLength < maximumPieceLength && (length + pieceLength - 1) / pieceLength > 1024)
        pieceLength *= 2;
    return pieceLength;
}

QString ProductManifest::parse(const QByteArray& text, ProductManifest* result)
{
    // Filled in here and handed over whole: a manifest that is refused leaves nothing behind.
    *result = ProductManifest();
    ProductManifest read;
    ProductManifest* const manifest = &read;
    if (text.size() > maximumSize)
        return QStringLiteral("it is larger than %1 bytes").arg(maximumSize);

    // Paths come percent-encoded.
    Values values;
    int lineNumber = 0;
    const QString problem = readAsciiIni(text, &values, &lineNumber);
    if (!problem.isEmpty())
        return problem;

    const QByteArray formatText = values.value("manifest/format");
    if (formatText != QByteArray::number(format))
        return QStringLiteral("its format \"%1\" is not %2")
            .arg(QLatin1String(formatText))
            .arg(format);
    const QByteArray index = values.value("manifest/index");
    if (!isSha256(index))
        return QStringLiteral("it names no SHA-256 of the index");
    manifest->indexSha256 = QString::fromLatin1(index);

    quint64 count = 0;
    if (!readCount(values, "files", lineNumber, &count))
        return QStringLiteral("it gives no number of files that it lists");
    manifest->files.reserve(qsizetype(count));
    QSet<QString> paths;
    for (quint64 i = 1; i <= count; ++i) {
        const QByteArray prefix = "files/" + QByteArray::number(i) + '\\';
        ManifestFile file;
        file.path = readPath(values, prefix + "path");
        const QByteArray sha256 = values.value(prefix + "sha256");
        const QByteArray unpacked = values.value(prefix + "unpackedSha256", "-");
        if (file.path.isEmpty() || paths.contains(file.path) || !isSha256(sha256) ||
            !readLength(values.value(prefix + "length"), &file.length) ||
            (unpacked != "-" && !isSha256(unpacked)))
            return QStringLiteral("file %1 is not a unique path with a SHA-256 and a length")
                .arg(i);
        paths.insert(file.path);
        const QByteArray pieceLength = values.value(prefix + "pieceLength");
        file.pieces = values.value(prefix + "pieces");
        if ((!pieceLength.isEmpty() || !file.pieces.isEmpty()) &&
            !readPieces(pieceLength, file.length, &file))
            return QStringLiteral("file %1 has pieces that are not its own").arg(i);
        file.sha256 = QString::fromLatin1(sha256);
        if (unpacked != "-")
            file.unpackedSha256 = QString::fromLatin1(unpacked);
        manifest->files.append(file);
    }

    if (values.contains("patches/size") && !readCount(values, "patches", lineNumber, &count))
        return QStringLiteral("it gives no number of patches that it lists");
    if (!values.contains("patches/size"))
        count = 0;
    manifest->patches.reserve(qsizetype(count));
    for (quint64 i = 1; i <= count; ++i) {
        const QByteArray prefix = "patches/" + QByteArray::number(i) + '\\';
        ManifestPatch patch;
        patch.path = readPath(values, prefix + "path");
        patch.installed = readPath(values, prefix + "installed");
        const QByteArray sha256 = values.value(prefix + "sha256");
        const QByteArray source = values.value(prefix + "sourceSha256");
        if (patch.path.isEmpty() || patch.installed.isEmpty() || paths.contains(patch.path) ||
            !isSha256(sha256) || !isSha256(source) ||
            !readLength(values.value(prefix + "length"), &patch.length) ||
            !readLength(values.value(prefix + "sourceLength"), &patch.sourceLength))
            return QStringLiteral("patch %1 is not a unique path with its checksums and lengths")
                .arg(i);
        paths.insert(patch.path);
        patch.sha256 = QString::fromLatin1(sha256);
        patch.sourceSha256 = QString::fromLatin1(source);
        manifest->patches.append(patch);
    }
    *result = std::move(read);
    return QString();
}

QByteArray ProductManifest::toText() const
{
    QByteArray text = "[manifest]\nformat=" + QByteArray::number(format) +
                      "\nindex=" + indexSha256.toLatin1() + "\n\n[files]\n";
    for (qsizetype i = 0; i < files.size(); ++i) {
        const ManifestFile& f = files[i];
        const QByteArray prefix = QByteArray::number(i + 1) + '\\';
        text += prefix + "path=" + QUrl::toPercentEncoding(f.path, "/") + '\n';
        text += prefix + "sha256=" + f.sha256.toLatin1() + '\n';
        text += prefix + "length=" + QByteArray::number(f.length) + '\n';
        if (!f.unpackedSha256.isEmpty())
            text += prefix + "unpackedSha256=" + f.unpackedSha256.toLatin1() + '\n';
        if (f.pieceLength > 0)
            text += prefix + "pieceLength=" + QByteArray::number(f.pieceLength) + '\n' + prefix +
                    "pieces=" + f.pieces + '\n';
    }
    text += "size=" + QByteArray::number(files.size()) + '\n';
    if (patches.isEmpty())
        return text;
    text += "\n[patches]\n";
    for (qsizetype i = 0; i < patches.size(); ++i) {
        const ManifestPatch& p = patches[i];
        const QByteArray prefix = QByteArray::number(i + 1) + '\\';
        text += prefix + "path=" + QUrl::toPercentEncoding(p.path, "/") + '\n';
        text += prefix + "sha256=" + p.sha256.toLatin1() + '\n';
        text += prefix + "length=" + QByteArray::number(p.length) + '\n';
        text += prefix + "installed=" + QUrl::toPercentEncoding(p.installed, "/") + '\n';
        text += prefix + "sourceSha256=" + p.sourceSha256.toLatin1() + '\n';
        text += prefix + "sourceLength=" + QByteArray::number(p.sourceLength) + '\n';
    }
    text += "size=" + QByteArray::number(patches.size()) + '\n';
    return text;
}
