#include "latestrecord.h"

#include "filemd5.h"
#include "productmanifest.h"

#include <QHash>

namespace
{

const char* const timeFormat = "yyyy-MM-dd'T'HH:mm:ss'Z'";

} // namespace

QString LatestRecord::timeText(const QDateTime& time)
{
    return time.toUTC().toString(QLatin1String(timeFormat));
}

QString LatestRecord::parse(const QByteArray& text, LatestRecord* result)
{
    *result = LatestRecord();
    if (text.size() > maximumSize)
        return QStringLiteral("it is larger than %1 bytes").arg(maximumSize);
    QHash<QByteArray, QByteArray> values;
    const QString problem = readAsciiIni(text, &values);
    if (!problem.isEmpty())
        return problem;
    if (values.value("latest/format") != QByteArray::number(format))
        return QStringLiteral("its format is not %1").arg(format);
    LatestRecord record;
    record.type = QString::fromLatin1(values.value("latest/type"));
    const QByteArray version = values.value("latest/version");
    bool ok = !version.isEmpty() && version.size() <= 9;
    for (const char c : version)
        ok = ok && c >= '0' && c <= '9';
    record.version = ok ? version.toInt() : 0;
    record.expires = QDateTime::fromString(QString::fromLatin1(values.value("latest/expires")),
                                           QLatin1String(timeFormat));
    record.expires.setTimeSpec(Qt::UTC);
    if (record.type.isEmpty() || !ok || !record.expires.isValid())
        return QStringLiteral("it lacks a type, a decimal version or a UTC expiry time");
    *result = record;
    return QString();
}

QByteArray LatestRecord::toText() const
{
    return QStringLiteral("[latest]\nformat=%1\ntype=%2\nversion=%3\nexpires=%4\n")
        .arg(format)
        .arg(type)
        .arg(version)
        .arg(timeText(expires))
        .toLatin1();
}

QByteArray latestSignatureMessage(const QString& clientType, const QByteArray& record)
{
    return "voxmere-latest-v1\n" + clientType.toUtf8() + "\n" +
           checksumOf(record, HashAlgorithm::Sha256).toLatin1() + "\n";
}
