#pragma once

#include <QMap>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QSet>
#include <QUrl>

#include <deque>
#include <memory>

class QAbstractNetworkCache;
class QAuthenticator;
class QNetworkAccessManager;

namespace shared {

// One running request.
class QNetworkReplyWrapper : public QObject {
    Q_OBJECT
public:
    // Becomes a child of the reply.
    explicit QNetworkReplyWrapper(QNetworkReply* pReply);

    virtual QNetworkReply::NetworkError networkError() const;
    virtual QString errorString() const;
    virtual QByteArray readAll();
    // The URL that was asked for (not a redirect target).
    virtual QUrl url() const;

    QNetworkReply* reply() const { return m_pReply; }

signals:
    void error(QNetworkReply::NetworkError Code);
    void finished();
    void progress(qlonglong BytesReceivedFromRequest);

private:
    QNetworkReply* m_pReply;
};

// Issues the requests; replaceable in tests.
class QNetworkAccessManagerWrapper : public QObject {
    Q_OBJECT
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
class TNetworkAccessManagerAuthenticationHandler : public QObject {
    Q_OBJECT
public:
    QSet<QString> m_Users;
};

// A FIFO queue of GET requests keyed by URL with a limit on how many run at once.
// Results arrive as success(url, body) or failed(url, code, text).
class TDownloadPool : public QObject {
    Q_OBJECT
public:
    TDownloadPool(int MaxConcurrentDownloads, std::shared_ptr<QNetworkAccessManagerWrapper> pNetworkAccess, bool ReleaseOnFinish);
    ~TDownloadPool() override;

    virtual void download(const QUrl& Url);
    virtual void downloadWithPriority(const QUrl& Url);
    virtual void setMaxConcurrentDownloads(int Maximum);
    virtual int getMaxConcurrentDownloads() const;
    virtual int getNumberOfActiveDownloads() const;
    virtual int getNumberOfOutstandingDownloads() const;
    virtual void setCache(QAbstractNetworkCache* pCache);
    virtual void releaseDownload(const QUrl& Url);

signals:
    void success(QUrl Url, QByteArray Data);
    void failed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void progress(QUrl Url, qlonglong BytesReceivedFromRequest);

private:
    void enqueue(const QUrl& Url, bool AtFront);
    void schedule();
    void onReplyFinished(QNetworkReplyWrapper* pReply);
    void onReplyError(QNetworkReplyWrapper* pReply, QNetworkReply::NetworkError Code);
    bool isActiveReply(const QUrl& Url, QNetworkReplyWrapper* pReply) const;

    std::shared_ptr<QNetworkAccessManagerWrapper> m_pNetworkAccess;
    QMap<QUrl, QNetworkReplyWrapper*> m_ActiveDownloads;
    int m_MaxConcurrentDownloads;
    std::deque<QUrl> m_Queue;
    QSet<QUrl> m_Queued; // the URLs in m_Queue: a package queues thousands at once
    TNetworkAccessManagerAuthenticationHandler m_AuthenticationHandler;
    bool m_ReleaseOnFinish;
    QSet<QNetworkReplyWrapper*> m_ReportedReplies;
};

// Appends a random "nocache" query item (32 letters and digits) when Append is true and
// the URL is valid; otherwise returns the URL unchanged.
QUrl addNocacheToUrl(const QUrl& Url, bool Append);

} // namespace shared
