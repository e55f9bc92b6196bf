#include "indexreader.h"

#include <QUtf8StringView>

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The number of `digits` hexadecimal digits at text[from]; -1 when they are not all there.
int hexNumber(QByteArrayView text, qsizetype from, int digits)
{
    if (from + digits > text.size())
        return -1;
    int number = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = hexDigit(text[from + i]);
        if (digit < 0)
            return -1;
        number = number * 16 + digit;
    }
    return number;
}

bool isPlainKeyCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

} // namespace

bool IndexReader::fail(const QString& what)
{
    problem = QStringLiteral("line %1: %2").arg(lineNumber).arg(what);
    at = text.size();
    return false;
}

bool IndexReader::next(QString* path, QString* value)
{
    while (at < text.size()) {
        qsizetype end = text.indexOf('\n', at);
        if (end < 0)
            end = text.size();
        QByteArrayView line(text.constData() + at, end - at);
        at = end + 1;
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        for (const char c : line) {
            if ((uchar(c) < 0x20 && c != '\t') || c == 0x7f)
                return fail(QStringLiteral("a control character"));
        }
        line = trimmed(line);
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']') || !readPath(line.sliced(1, line.size() - 2), &section))
                return fail(QStringLiteral("not a section of keys"));
            // QSettings keeps the keys of [General] outside any group.
            if (section.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
                return fail(QStringLiteral("the section General is no group"));
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            return fail(QStringLiteral("not a key and a value"));
        if (section.isEmpty())
            return fail(QStringLiteral("a key before the first section"));
        QString key;
        if (!readPath(trimmed(line.first(equals)), &key))
            return fail(QStringLiteral("a key that is not a path"));
        if (!readValue(trimmed(line.sliced(equals + 1)), value))
            return false;
        *path = section + QLatin1Char('/') + key;
        return true;
    }
    return false;
}

bool IndexReader::readPath(QByteArrayView part, QString* path)
{
    path->clear();
    path->reserve(part.size());
    for (qsizetype i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (isPlainKeyCharacter(c)) {
            path->append(QLatin1Char(c));
        } else if (c == '\\' || c == '/') {
            path->append(QLatin1Char('/'));
        } else if (c != '%') {
            return false;
        } else if (i + 1 < part.size() && part[i + 1] == 'U') {
            const int unit = hexNumber(part, i + 2, 4);
            if (unit < 0)
                return false;
            path->append(QChar(char16_t(unit)));
            i += 5;
        } else {
            const int character = hexNumber(part, i + 1, 2);
            if (character < 0)
                return false;
            path->append(QChar(char16_t(character)));
            i += 2;
        }
    }
    // A lone surrogate names no file; QSettings drops empty components, which name none either.
    return !path->isEmpty() && QStringView(*path).isValidUtf16() &&
           !path->startsWith(QLatin1Char('/')) && !path->endsWith(QLatin1Char('/')) &&
           !path->contains(QLatin1String("//"));
}

bool IndexReader::readValue(QByteArrayView part, QString* value)
{
    const bool quoted = part.startsWith('"');
    if (quoted) {
        if (part.size() < 2 || !part.endsWith('"'))
            return fail(QStringLiteral("a quoted value without its closing quote"));
        part = part.sliced(1, part.size() - 2);
    }
    QByteArray bytes;
    bytes.reserve(part.size());
    for (qsizetype i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (c == '\\') {
            if (i + 1 == part.size() || (part[i + 1] != '\\' && part[i + 1] != '"'))
                return fail(QStringLiteral("an escape other than \\\\ and \\\""));
            bytes.append(part[++i]);
        } else if (c == '"') {
            return fail(QStringLiteral("a quote inside a value"));
        } else if (!quoted && (c == ',' || c == ';')) {
            // QSettings reads a list at a comma, and a comment from a semicolon on.
            return fail(QStringLiteral("a value with \"%1\" outside quotes").arg(QLatin1Char(c)));
        } else {
            bytes.append(c);
        }
    }
    if (!QUtf8StringView(bytes).isValidUtf8())
        return fail(QStringLiteral("a value that is not UTF-8"));
    if (bytes.startsWith('@'))
        return fail(QStringLiteral("a value may not begin with @"));
    *value = QString::fromUtf8(bytes);
    return true;
}
