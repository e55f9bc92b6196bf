#pragma once

#include <QString>

// How a finished command of HttpClient or FtpClient failed.
enum class TransferError {
    None,
    // The server refused the request for good (HTTP 4xx other than 408 and 429, FTP 550):
    // asking again will not help.
    Refused,
    // The body passed the byte limit the caller gave; the transfer was cut there.
    TooLarge,
    // Asked to continue from an offset, the server would not (it ignored Range or REST, or
    // answered for another offset). Nothing was written; from the start it may well serve.
    NoResume,
    // Anything else: connection, time-out, TLS, server error, protocol error.
    Failed,
};

namespace transport
{
// For tests only: an extra CA file trusted besides the system's store, and shorter limits for
// connecting and for a transfer that receives nothing. Zero or empty restores the defaults
// (30 s to connect, 60 s without a byte).
void setTestCaFile(const QString& path);
void setTestTimeouts(int connectSeconds, int stallSeconds);
} // namespace transport
