#include "TDownloadPool.h"

#include "TRandomNumberGenerator.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QUrlQuery>

#include <algorithm>

namespace shared {

QNetworkReplyWrapper::QNetworkReplyWrapper(QNetworkReply* pReply)
    : QObject(pReply)
    , m_pReply(pReply)
{
    connect(pReply, &QNetworkReply::errorOccurred, this, &QNetworkReplyWrapper::error);
    connect(pReply, &QNetworkReply::finished, this, &QNetworkReplyWrapper::finished);
    connect(pReply, &QNetworkReply::downloadProgress, this, [this](qint64 Received, qint64) { emit progress(Received); });
}

namespace {

// Qt 5.15 may finish a reply whose connection dropped in the middle of a large body with
// no error and a short body. Where the server announced the length of a body that Qt
// passes on unchanged, a shorter body is reported as the dropped connection it is.
bool bodyIsShort(QNetworkReply* pReply)
{
    if (pReply->error() != QNetworkReply::NoError || pReply->url().isLocalFile()) {
        return false;
    }
    const QByteArray Encoding = pReply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!Encoding.isEmpty() && Encoding != "identity") {
        return false;
    }
    bool Ok = false;
    const qint64 Announced = pReply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&Ok);
    return Ok && pReply->bytesAvailable() < Announced;
}

} // namespace

QNetworkReply::NetworkError QNetworkReplyWrapper::networkError() const
{
    if (bodyIsShort(m_pReply)) {
        return QNetworkReply::RemoteHostClosedError;
    }
    return m_pReply->error();
}

QString QNetworkReplyWrapper::errorString() const
{
    if (bodyIsShort(m_pReply)) {
        return QStringLiteral("Connection closed before the whole body of %1 arrived").arg(m_pReply->url().toString());
    }
    return m_pReply->errorString();
}

QByteArray QNetworkReplyWrapper::readAll()
{
    return m_pReply->readAll();
}

QUrl QNetworkReplyWrapper::url() const
{
    return m_pReply->request().url();
}

QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> pManager)
    : m_pManager(std::move(pManager))
{
    connect(m_pManager.get(), &QNetworkAccessManager::authenticationRequired, this, &QNetworkAccessManagerWrapper::authenticationRequired);
}

QNetworkReplyWrapper* QNetworkAccessManagerWrapper::get(const QNetworkRequest& Request)
{
    return new QNetworkReplyWrapper(m_pManager->get(Request));
}

void QNetworkAccessManagerWrapper::setCache(QAbstractNetworkCache* pCache)
{
    m_pManager->setCache(pCache);
}

void QNetworkAccessManagerWrapper::setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy)
{
    m_pManager->setRedirectPolicy(Policy);
}

TDownloadPool::TDownloadPool(int MaxConcurrentDownloads, std::shared_ptr<QNetworkAccessManagerWrapper> pNetworkAccess, bool ReleaseOnFinish)
    : m_pNetworkAccess(std::move(pNetworkAccess))
    , m_MaxConcurrentDownloads(MaxConcurrentDownloads)
    , m_ReleaseOnFinish(ReleaseOnFinish)
{
    if (m_pNetworkAccess) {
        m_pNetworkAccess->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    }
}

TDownloadPool::~TDownloadPool()
{
    // running requests are not aborted, but nothing may call back into a dead pool
    for (QNetworkReplyWrapper* pReply : qAsConst(m_ActiveDownloads)) {
        disconnect(pReply, nullptr, this, nullptr);
    }
}

void TDownloadPool::download(const QUrl& Url)
{
    // checked in its encoded form: a decoded local path such as ".../Halvern GmbH/..."
    // holds spaces that strict parsing would refuse
    const QUrl Checked = QUrl::fromEncoded(Url.toEncoded(), QUrl::StrictMode);
    if (!Checked.isValid() || Checked.isRelative()) {
        // reported once and not queued: the request could only fail again later
        emit failed(Url, QNetworkReply::ProtocolInvalidOperationError, QStringLiteral("Invalid URL"));
        return;
    }
    enqueue(Url, false);
}

void TDownloadPool::downloadWithPriority(const QUrl& Url)
{
    enqueue(Url, true);
}

void TDownloadPool::enqueue(const QUrl& Url, bool AtFront)
{
    if (m_Queued.remove(Url)) {
        m_Queue.erase(std::remove(m_Queue.begin(), m_Queue.end(), Url), m_Queue.end());
    }
    if (m_ActiveDownloads.contains(Url)) {
        return;
    }
    m_Queued.insert(Url);
    if (AtFront) {
        m_Queue.push_front(Url);
    } else {
        m_Queue.push_back(Url);
    }
    schedule();
}

void TDownloadPool::setMaxConcurrentDownloads(int Maximum)
{
    m_MaxConcurrentDownloads = Maximum;
    if (Maximum > 0) {
        schedule();
    }
}

int TDownloadPool::getMaxConcurrentDownloads() const
{
    return m_MaxConcurrentDownloads;
}

int TDownloadPool::getNumberOfActiveDownloads() const
{
    return m_ActiveDownloads.size();
}

int TDownloadPool::getNumberOfOutstandingDownloads() const
{
    return static_cast<int>(m_Queue.size()) + m_ActiveDownloads.size();
}

void TDownloadPool::setCache(QAbstractNetworkCache* pCache)
{
    m_pNetworkAccess->setCache(pCache);
}

void TDownloadPool::releaseDownload(const QUrl& Url)
{
    if (m_ActiveDownloads.remove(Url) > 0) {
        schedule();
    }
}

void TDownloadPool::schedule()
{
    while (!m_Queue.empty()) {
        if (getNumberOfActiveDownloads() >= getMaxConcurrentDownloads()) {
            return;
        }
        const QUrl Url = m_Queue.front();
        m_Queue.pop_front();
        m_Queued.remove(Url);
        QNetworkReplyWrapper* pReply = m_pNetworkAccess->get(QNetworkRequest(Url));
        connect(pReply, &QNetworkReplyWrapper::finished, this, [this, pReply] { onReplyFinished(pReply); });
        connect(pReply, &QNetworkReplyWrapper::error, this, [this, pReply](QNetworkReply::NetworkError Code) { onReplyError(pReply, Code); });
        connect(pReply, &QNetworkReplyWrapper::progress, this, [this, pReply](qlonglong Bytes) { emit progress(pReply->url(), Bytes); });
        if (QNetworkReply* pNetworkReply = pReply->reply()) {
            // the reply (and the wrapper, its child) is freed once its finish was handled
            connect(pNetworkReply, &QNetworkReply::finished, pNetworkReply, &QObject::deleteLater);
        }
        m_ActiveDownloads.insert(Url, pReply);
    }
}

bool TDownloadPool::isActiveReply(const QUrl& Url, QNetworkReplyWrapper* pReply) const
{
    // the entry must be this very reply: after a failure the consumer may already have
    // asked for the URL again, and the old reply's late events must not touch the new one
    const auto Found = m_ActiveDownloads.constFind(Url);
    return Found != m_ActiveDownloads.constEnd() && Found.value() == pReply;
}

void TDownloadPool::onReplyFinished(QNetworkReplyWrapper* pReply)
{
    const QUrl Url = pReply->url();
    const bool AlreadyReported = m_ReportedReplies.remove(pReply);
    if (AlreadyReported || !isActiveReply(Url, pReply)) {
        return;
    }
    if (m_ReleaseOnFinish) {
        m_ActiveDownloads.remove(Url);
    }
    if (pReply->networkError() != QNetworkReply::NoError) {
        emit failed(Url, pReply->networkError(), pReply->errorString());
    } else {
        emit success(Url, pReply->readAll());
    }
    if (m_ReleaseOnFinish) {
        schedule();
    }
}

void TDownloadPool::onReplyError(QNetworkReplyWrapper* pReply, QNetworkReply::NetworkError)
{
    const QUrl Url = pReply->url();
    if (!isActiveReply(Url, pReply)) {
        return;
    }
    // reported once: the finished event that follows finds the reply marked
    m_ReportedReplies.insert(pReply);
    if (m_ReleaseOnFinish) {
        m_ActiveDownloads.remove(Url);
    }
    emit failed(Url, pReply->networkError(), pReply->errorString());
    if (m_ReleaseOnFinish) {
        schedule();
    }
}

QUrl addNocacheToUrl(const QUrl& Url, bool Append)
{
    if (!Append || !Url.isValid()) {
        return Url;
    }
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString Value;
    Value.reserve(32);
    for (int Index = 0; Index < 32; ++Index) {
        Value += QLatin1Char(kAlphabet[TRandomNumberGenerator::instance().uniformUnsigned(0, 61)]);
    }
    QUrl Result(Url);
    QUrlQuery Query(Result);
    Query.addQueryItem(QStringLiteral("nocache"), Value);
    Result.setQuery(Query);
    return Result;
}

} // namespace shared
