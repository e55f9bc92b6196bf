#pragma once

#include <QDir>
#include <QObject>
#include <QString>
#include <QUrl>

enum class TransferError;

class QFile;
class QTimer;

enum DownloadStream_State {
    DSS_Idle = 0,
    DSS_Connected = 1,
    DSS_Ready = 2,
    DSS_Downloading = 3,
};

enum DownloadStream_Error {
    DSE_WrongChecksum = 1,
    DSE_WrongLength = 2,
    DSE_LocalFile = 3,
    DSE_TransferFailed = 4,
    DSE_NoRanges = 5,
};

Q_DECLARE_METATYPE(DownloadStream_State)
Q_DECLARE_METATYPE(DownloadStream_Error)

// One connection to one mirror that fetches one file at a time into a local tree, retries a
// failed transfer after a pause and checks the finished file's length and checksum (MD5, or
// SHA-256 when the checksum given is one).
class SingleFileDownloadStream : public QObject
{
    Q_OBJECT
public:
    // The longest pause before a repeated attempt, in seconds; longer ones are cut to it.
    static constexpr int maximumRetryPause = 3600;

    explicit SingleFileDownloadStream(const QString& localRoot);

    // The proxy setting, http://[user:password@]host[:port] with "http://" optional: empty when
    // it is empty or usable (`proxy` then holds it), otherwise what is wrong with it.
    static QString parseProxy(const QString& text, QUrl* proxy = nullptr);
    ~SingleFileDownloadStream() override;

    virtual int kind() const = 0; // 0 FTP, 1 HTTP
    virtual DownloadStream_State getState() const { return state; }
    virtual void initiateConnection(const QUrl& url, const QString& proxy, int retries,
                                    int timeout) = 0;
    // Without a checksum the length is a cap (0: the cap of a file of unknown length).
    // pieces: the SHA-256 texts of each pieceLength bytes of the file, to check a kept part by.
    virtual void getFile(const QString& fileName, const QString& md5, qint64 length,
                         qint64 pieceLength = 0, const QByteArray& pieces = QByteArray());
    // Bytes [offset, offset + length) of the file into the same place of the local file, which
    // other streams write too; each piece is checked against `pieces` (the SHA-256 texts of the
    // pieces of this range) as it arrives. A mirror that does not send the range is
    // DSE_NoRanges.
    void getRange(const QString& fileName, qint64 offset, qint64 length, qint64 pieceLength,
                  const QByteArray& pieces);
    virtual QString getDestFilePath() const { return destFilePath; }
    virtual void getProgress(quint64* done, quint64* total) const;
    virtual void cancel();

Q_SIGNALS:
    void stateChanged(DownloadStream_State);
    void message(QString);
    void failedToConnect(QString);
    void connected();
    void disconnected();
    void progressCount(qint64, qint64);
    void fileFinished();
    void fileError(DownloadStream_Error, QString);

protected Q_SLOTS:
    void onDataTransferProgress(qint64 done, qint64 total);
    void emitFileFinished();
    void onRepeatDownloadAttempt();

protected:
    virtual void checkGetFilePrerequisitions() = 0;
    virtual int createFileRequest(const QString& path, QFile* file) = 0;

    bool internalInitDownloadParams(const QUrl& url, const QString& proxy, int retries,
                                    int timeout);
    QString prepareGetFile(const QString& fileName, const QString& md5, qint64 length,
                           bool newFile);
    bool finalCheckCurrentFile();
    void handleConnectError(QString text);
    // repeatable false: the server refused the file for good, asking again cannot help.
    void handleFileRequestError(QString text, bool repeatable = true);
    // The body passed byteLimit(): the server sends something else than the file.
    void handleFileTooLarge();
    // The transport's answer to the file request: check the file, or fail it by the kind of
    // error (a refusal is final, a limit overrun is a wrong length, the rest may be repeated).
    void handleFileRequestFinished(bool error, TransferError kind, const QString& text);
    // What the transport may write for the current file; -1 for no limit.
    qint64 byteLimit() const;
    void setState(DownloadStream_State s);

    DownloadStream_State state = DSS_Idle;
    QDir localDir;
    QUrl url;
    int retries = 5;
    int timeout = 30;
    QUrl proxy;
    QString fileName;
    QString destFilePath;
    QFile* file = nullptr;
    QString md5;
    qint64 length = 0;
    qint64 done = 0;
    // Where the request continues the file: the bytes of an earlier attempt or run are kept.
    qint64 resumeOffset = 0;
    // The kept part did not add up to the file, or the mirror would not continue it: this file
    // comes from its first byte.
    bool fromStart = false;
    int requestToken = 0; // which preparation a hashed part belongs to
    qint64 pieceLength = 0;
    QByteArray pieces;
    // The range of the file fetched; rangeLength 0: the whole file.
    qint64 rangeOffset = 0;
    qint64 rangeLength = 0;
    int connectId = -1;
    int loginId = -1;
    int fileRequestId = -1;
    int attempt = 0;

private:
    void releaseFile(bool remove);
    // Drops the part of the file at hand and asks for the whole file at once.
    void restartFromStart(const QString& why);
    // Sends the request for the file prepared, continuing a kept part once it is hashed.
    void requestFile(const QString& path);
    QString requestPathOf(const QString& fileName) const;
    void handleNoRanges(const QString& text);

    QTimer* retryTimer;
    QTimer* finishTimer;
};
