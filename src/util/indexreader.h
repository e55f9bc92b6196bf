#pragma once

#include <QByteArray>
#include <QString>

// Reads the text of a product index (TYPE.ini) key by key. The index is Qt's INI format, as
// QSettings writes it for the publisher, but it comes from any mirror: QSettings would turn a
// value that begins with "@" into objects built from the mirror's bytes (recursively, so that a
// deep one overflows the stack) and holds many times the size of the text. Everything QSettings
// writes for an index reads here as QSettings reads it; what it would read otherwise is refused:
//
//   [GROUP]          a section; GROUP is written like a key
//   KEY=VALUE        KEY is letters, digits, ".", "_" and "-"; "\" (or "/") between the
//                    components of a path; %XX for a character up to U+00FF, %UXXXX for a UTF-16
//                    unit. Blanks around "=" and at both ends of a line are skipped.
//   ; a comment
//
// A VALUE is plain text or one quoted string ("..."), UTF-8, with \" and \\ as its only escapes.
// Refused are: a value that begins with "@" (QSettings' serialised types), a "," or ";" outside
// quotes (QSettings reads a list, or cuts a comment off), quotes inside a value, control
// characters other than a tab, keys before the first section or in [General] (QSettings' keys
// of no group), and every line that is neither blank, a comment, a section nor a key and value.
class IndexReader
{
public:
    explicit IndexReader(const QByteArray& text) : text(text) {}

    // The next key as a path, "GROUP/KEY" with "/" between components, and its value; false at
    // the end, or when the text is refused (then error() says why).
    bool next(QString* path, QString* value);
    QString error() const { return problem; }
    // The line of the key last read.
    int line() const { return lineNumber; }

private:
    bool fail(const QString& what);
    bool readPath(QByteArrayView part, QString* path);
    bool readValue(QByteArrayView part, QString* value);

    const QByteArray text;
    qsizetype at = 0;
    int lineNumber = 0;
    QString section;
    QString problem;
};
