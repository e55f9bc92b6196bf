#pragma once

#include <QString>

class QFile;

// Checksum text: 32 lower-case hexadecimal digits of the MD5 digest; a null string when the
// file cannot be read. Files are processed in blocks of 16384 bytes.
QString getFileMD5Ex(const QString& path);
// Hashes the whole of an open file from its first byte; leaves it open at its end.
QString getFileMD5Ex(QFile& file);
// Same result as getFileMD5Ex(path), with the whole content read into memory at once.
QString getFileMD5(const QString& path);

// Note the order: destination first, source second.
bool unzipFile(const QString& destination, const QString& gzipSource);
bool zipFile(const QString& gzipDestination, const QString& source);
