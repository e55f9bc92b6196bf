#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The publisher's signed word on which version of a client type is the latest, and until when
// that word holds. A signature alone says who, not when: an old signed version replayed, or the
// latest withheld, passes every check of the version itself. The record expires, the publisher
// re-signs it on a timer, and an updater that finds no unexpired one installs nothing.
//
// TYPE.latest.ini, beside the version directories of a mirror:
//
//   [latest]
//   format=1
//   type=client_linux_x86
//   version=57
//   expires=2026-12-21T09:30:00Z
//
// and TYPE.latest.ini.sig, the raw 64-byte Ed25519 signature of latestSignatureMessage().
struct LatestRecord {
    static constexpr int format = 1;
    // A record is a few lines: a mirror that sends more is not sending one.
    static constexpr qint64 maximumSize = 4096;

    QString type;
    int version = 0;
    QDateTime expires; // UTC, whole seconds

    // Fills `record` and returns an empty text, or leaves it empty and returns what is wrong.
    // Keys of later formats are skipped as long as the format number stays.
    static QString parse(const QByteArray& text, LatestRecord* record);
    QByteArray toText() const;
    static QString timeText(const QDateTime& time);
};

// "voxmere-latest-v1\n" TYPE "\n" SHA256(record) "\n": the type is signed beside the record's
// bytes, so a record never passes for another client type.
QByteArray latestSignatureMessage(const QString& clientType, const QByteArray& record);
