#pragma once

#include "indexreader.h"

#include <QFile>
#include <QMap>
#include <QSettings>
#include <QString>

// What QSettings reads from an INI text: every key as a path and its value as a string. The
// updater's own index reader must read the same from every text it accepts.
inline QMap<QString, QString> readBySettings(const QByteArray& text, const QString& path)
{
    QMap<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        return {{QStringLiteral("<unwritable>"), path}};
    file.close();
    {
        QSettings settings(path, QSettings::IniFormat);
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys)
            values.insert(key, settings.value(key).toString());
    }
    QFile::remove(path);
    return values;
}

// The same from the updater's reader; "<refused>" with the reason when it refuses the text.
inline QMap<QString, QString> readByReader(const QByteArray& text)
{
    QMap<QString, QString> values;
    IndexReader reader(text);
    QString key, value;
    while (reader.next(&key, &value))
        values.insert(key, value);
    if (!reader.error().isEmpty())
        return {{QStringLiteral("<refused>"), reader.error()}};
    return values;
}
