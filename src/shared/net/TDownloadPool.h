#pragma once

#include <QHash>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <deque>
#include <memory>

class QAbstractNetworkCache;
class QAuthenticator;
class QNetworkAccessManager;

namespace shared {

// Lets the manager read responses through buffered sockets (many small responses cost a
// fraction of the system calls); connections and proxies stay as they were.
void readResponsesThroughBufferedSockets(QNetworkAccessManager& Manager);

// One running request.
class QNetworkReplyWrapper : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(QNetworkReplyWrapper)
public:
    // Becomes a child of the reply.
    explicit QNetworkReplyWrapper(QNetworkReply* pReply);

    virtual QNetworkReply::NetworkError networkError() const;
    virtual QString errorString() const;
    virtual QByteArray readAll();
    // Up to MaxSize of the bytes received and not yet read.
    virtual QByteArray read(qint64 MaxSize);
    // Into memory the caller owns; the number of bytes read, or -1.
    virtual qint64 read(char* pData, qint64 MaxSize);
    virtual qint64 bytesAvailable() const;
    // The URL that was asked for (not a redirect target).
    virtual QUrl url() const;
    // Ends the request; it reports OperationCanceledError and finishes.
    virtual void abort();

    QNetworkReply* reply() const { return m_pReply; }

signals:
    void error(QNetworkReply::NetworkError Code);
    void finished();
    void progress(qlonglong BytesReceivedFromRequest);
    void readyRead();
    // The length of the body, once the response announced it.
    void bodySizeAnnounced(qlonglong BodyBytes);

private:
    QNetworkReply* m_pReply;
    qint64 m_BytesRead = 0;
};

// Issues the requests; replaceable in tests.
class QNetworkAccessManagerWrapper : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(QNetworkAccessManagerWrapper)
public:
    explicit QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> pManager);

    virtual QNetworkReplyWrapper* get(const QNetworkRequest& Request);
    virtual void setCache(QAbstractNetworkCache* pCache);
    virtual void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy);

signals:
    void authenticationRequired(QNetworkReply* pReply, QAuthenticator* pAuthenticator);

private:
    std::shared_ptr<QNetworkAccessManager> m_pManager;
};

// Holds user names for authentication; nothing in the launcher answers a challenge.
class TBandwidthLimiter;

class TNetworkAccessManagerAuthenticationHandler final : public QObject {
    Q_OBJECT
public:
    QSet<QString> m_Users;
};

// A FIFO queue of GET requests keyed by URL with a limit on how many run at once.
// Results arrive as success(url, body) or failed(url, code, text).
//
// Every request is bounded twice: a request that receives nothing for the transfer
// time-out fails with QNetworkReply::TimeoutError, and a body growing past its URL's
// limit is aborted and fails with QNetworkReply::UnknownContentError.
class TDownloadPool : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TDownloadPool)
public:
    // Documents are small; a server sending more than this sends something else.
    static constexpr qint64 kDefaultMaximumBodySize = qint64(64) << 20;
    static constexpr int kDefaultTransferTimeoutMs = 30000;

    TDownloadPool(int MaxConcurrentDownloads, std::shared_ptr<QNetworkAccessManagerWrapper> pNetworkAccess, bool ReleaseOnFinish);
    ~TDownloadPool() override;

    virtual void download(const QUrl& Url);
    // As download(Url), with a limit of its own on the body (negative: no limit) that
    // stays with the URL until it is asked for again.
    void download(const QUrl& Url, qint64 MaximumBodySize);
    // Inactivity time-out of every request started from now on (0: none).
    void setTransferTimeout(int Milliseconds);
    int transferTimeout() const { return m_TransferTimeoutMs; }
    // Limit of bodies of URLs asked for without one of their own (negative: no limit).
    void setDefaultMaximumBodySize(qint64 Bytes);
    // Bound on the memory of running requests (0: none): a request with a body limit of its
    // own counts that limit while it holds its slot, and the next one starts only while
    // the sum stays within Bytes, or when nothing runs. Ten requests for 16 MiB bodies
    // would otherwise hold 160 MiB, and on a fast line finish no sooner than four do.
    void setMaximumBytesInFlight(qint64 Bytes);
    virtual void downloadWithPriority(const QUrl& Url);
    virtual void setMaxConcurrentDownloads(int Maximum);
    virtual int getMaxConcurrentDownloads() const;
    virtual int getNumberOfActiveDownloads() const;
    virtual int getNumberOfOutstandingDownloads() const;
    virtual void setCache(QAbstractNetworkCache* pCache);
    virtual void releaseDownload(const QUrl& Url);
    // Bodies are then read in slices as the limiter allows (Qt buffers only a slice ahead);
    // none (the default) reads them at whatever rate they come.
    void setBandwidthLimiter(std::shared_ptr<TBandwidthLimiter> pLimiter);

signals:
    void success(QUrl Url, QByteArray Data);
    void failed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void progress(QUrl Url, qlonglong BytesReceivedFromRequest);

private:
    void enqueue(const QUrl& Url, bool AtFront);
    void schedule();
    // Ends the slot of Url; true when it held one.
    bool removeActive(const QUrl& Url);
    // The sum of what the running requests count (a few, at most the concurrency limit).
    qint64 bytesInFlight() const;
    void onReplyFinished(QNetworkReplyWrapper* pReply);
    void onReplyError(QNetworkReplyWrapper* pReply, QNetworkReply::NetworkError Code);
    // Aborts a reply whose body is larger than its URL's limit; true when it is.
    bool checkBodySize(QNetworkReplyWrapper* pReply, qlonglong Bytes);
    qint64 maximumBodySize(const QUrl& Url) const;
    // The error of a finished or failed reply, with the pool's own reasons (time-out,
    // body too large) in place of Qt's "Operation canceled".
    QNetworkReply::NetworkError replyError(QNetworkReplyWrapper* pReply) const;
    QString replyErrorString(QNetworkReplyWrapper* pReply) const;
    void reportFailure(QNetworkReplyWrapper* pReply);
    bool isActiveReply(const QUrl& Url, QNetworkReplyWrapper* pReply) const;
    void readArrived(QNetworkReplyWrapper* pReply);
    void readLimited(QNetworkReplyWrapper* pReply);
    void readLimitedReplies();

    std::shared_ptr<QNetworkAccessManagerWrapper> m_pNetworkAccess;
    QHash<QUrl, QNetworkReplyWrapper*> m_ActiveDownloads;
    int m_MaxConcurrentDownloads;
    std::deque<QUrl> m_Queue;
    QSet<QUrl> m_Queued; // the URLs in m_Queue: a package queues thousands at once
    TNetworkAccessManagerAuthenticationHandler m_AuthenticationHandler;
    bool m_ReleaseOnFinish;
    QSet<QNetworkReplyWrapper*> m_ReportedReplies;
    std::shared_ptr<TBandwidthLimiter> m_pBandwidthLimiter;
    // body bytes already read from replies not yet finished
    QHash<QNetworkReplyWrapper*, QByteArray> m_Bodies;
    QTimer* m_pLimiterTimer = nullptr;
    QSet<QNetworkReplyWrapper*> m_OversizedReplies;
    QHash<QUrl, qint64> m_MaximumBodySizes;
    QHash<QUrl, qint64> m_BytesOfActive; // what each running request counts
    qint64 m_MaximumBytesInFlight = 0;
    qint64 m_DefaultMaximumBodySize = kDefaultMaximumBodySize;
    int m_TransferTimeoutMs = kDefaultTransferTimeoutMs;
};

// Appends a random "nocache" query item (32 letters and digits) when Append is true and
// the URL is valid; otherwise returns the URL unchanged.
QUrl addNocacheToUrl(const QUrl& Url, bool Append);

} // namespace shared
