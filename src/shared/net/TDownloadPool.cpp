#include "TDownloadPool.h"

#include "TBandwidthLimiter.h"
#include "TRandomNumberGenerator.h"

#include <QAuthenticator>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QUrlQuery>

#include <algorithm>

namespace shared {

namespace {
// how much of a limited transfer Qt may buffer ahead of the limiter
constexpr qint64 kLimitedReadBufferSize = 64 * 1024;
// how much of a transfer Qt may buffer ahead of the pool otherwise
constexpr qint64 kReadAheadBufferSize = 1024 * 1024;
// Announced bodies up to this size get their room before the first byte is copied; a
// larger announcement is not trusted with memory before its bytes arrive.
constexpr qint64 kLargestReservation = qint64(64) << 20;

// Qt 5 reads the status line and headers of an HTTP response one byte at a time, and on a
// direct connection its socket is unbuffered, so every byte is a system call: about 300
// per response, which for small chunks costs more than decoding them. When a proxy entry
// stands in the way, Qt takes a buffered socket instead. An entry of the default type
// gives it one, and the socket then resolves that entry exactly as a direct connection
// would be resolved: to no proxy, or to the one the user's proxy settings name.
class TBufferedSocketProxyFactory final : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& Query) override
    {
        QList<QNetworkProxy> Proxies = QNetworkProxyFactory::proxyForQuery(Query);
        if (Proxies.isEmpty()) {
            Proxies.append(QNetworkProxy(QNetworkProxy::NoProxy));
        }
        for (QNetworkProxy& Proxy : Proxies) {
            if (Proxy.type() == QNetworkProxy::NoProxy) {
                Proxy = QNetworkProxy(QNetworkProxy::DefaultProxy);
            }
        }
        return Proxies;
    }
};
} // namespace

void readResponsesThroughBufferedSockets(QNetworkAccessManager& Manager)
{
    Manager.setProxyFactory(new TBufferedSocketProxyFactory);
}

QNetworkReplyWrapper::QNetworkReplyWrapper(QNetworkReply* pReply)
    : QObject(pReply)
    , m_pReply(pReply)
{
    connect(pReply, &QNetworkReply::errorOccurred, this, &QNetworkReplyWrapper::error);
    connect(pReply, &QNetworkReply::finished, this, &QNetworkReplyWrapper::finished);
    connect(pReply, &QNetworkReply::downloadProgress, this, [this](qint64 Received, qint64 Total) {
        if (Total >= 0) {
            emit bodySizeAnnounced(Total);
        }
        emit progress(Received);
    });
    connect(pReply, &QNetworkReply::readyRead, this, &QNetworkReplyWrapper::readyRead);
}

namespace {

// Qt 5.15 may finish a reply whose connection dropped in the middle of a large body with
// no error and a short body. Where the server announced the length of a body that Qt
// passes on unchanged, a shorter body is reported as the dropped connection it is.
bool bodyIsShort(QNetworkReply* pReply, qint64 AlreadyRead)
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
    return Ok && AlreadyRead + pReply->bytesAvailable() < Announced;
}

} // namespace

QNetworkReply::NetworkError QNetworkReplyWrapper::networkError() const
{
    if (bodyIsShort(m_pReply, m_BytesRead)) {
        return QNetworkReply::RemoteHostClosedError;
    }
    return m_pReply->error();
}

QString QNetworkReplyWrapper::errorString() const
{
    if (bodyIsShort(m_pReply, m_BytesRead)) {
        return QStringLiteral("Connection closed before the whole body of %1 arrived").arg(m_pReply->url().toString());
    }
    return m_pReply->errorString();
}

QByteArray QNetworkReplyWrapper::readAll()
{
    QByteArray Data = m_pReply->readAll();
    m_BytesRead += Data.size();
    return Data;
}

QByteArray QNetworkReplyWrapper::read(qint64 MaxSize)
{
    QByteArray Data = m_pReply->read(MaxSize);
    m_BytesRead += Data.size();
    return Data;
}

qint64 QNetworkReplyWrapper::read(char* pData, qint64 MaxSize)
{
    const qint64 Read = m_pReply->read(pData, MaxSize);
    m_BytesRead += std::max<qint64>(Read, 0);
    return Read;
}

qint64 QNetworkReplyWrapper::bytesAvailable() const
{
    return m_pReply->bytesAvailable();
}

QUrl QNetworkReplyWrapper::url() const
{
    return m_pReply->request().url();
}

void QNetworkReplyWrapper::abort()
{
    m_pReply->abort();
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
    // Running requests are not aborted. Nothing calls back into a dead pool: every
    // connection to a reply has the pool as its context and goes with it. (The active map
    // may hold replies already freed, finished but not yet released, so it is not walked.)
}

void TDownloadPool::download(const QUrl& Url, qint64 MaximumBodySize)
{
    m_MaximumBodySizes.insert(Url, MaximumBodySize);
    download(Url);
}

void TDownloadPool::setTransferTimeout(int Milliseconds)
{
    m_TransferTimeoutMs = std::max(Milliseconds, 0);
}

void TDownloadPool::setDefaultMaximumBodySize(qint64 Bytes)
{
    m_DefaultMaximumBodySize = Bytes;
}

qint64 TDownloadPool::maximumBodySize(const QUrl& Url) const
{
    return m_MaximumBodySizes.value(Url, m_DefaultMaximumBodySize);
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
    if (removeActive(Url)) {
        schedule();
    }
}

bool TDownloadPool::removeActive(const QUrl& Url)
{
    m_BytesOfActive.remove(Url);
    return m_ActiveDownloads.remove(Url) > 0;
}

qint64 TDownloadPool::bytesInFlight() const
{
    qint64 Sum = 0;
    for (const qint64 Bytes : m_BytesOfActive) {
        Sum += Bytes;
    }
    return Sum;
}

void TDownloadPool::setMaximumBytesInFlight(qint64 Bytes)
{
    m_MaximumBytesInFlight = std::max<qint64>(Bytes, 0);
    schedule();
}

void TDownloadPool::setBandwidthLimiter(std::shared_ptr<TBandwidthLimiter> pLimiter)
{
    m_pBandwidthLimiter = std::move(pLimiter);
    if (m_pBandwidthLimiter && !m_pLimiterTimer) {
        m_pLimiterTimer = new QTimer(this);
        m_pLimiterTimer->setSingleShot(true);
        connect(m_pLimiterTimer, &QTimer::timeout, this, &TDownloadPool::readLimitedReplies);
    }
}

void TDownloadPool::readLimited(QNetworkReplyWrapper* pReply)
{
    if (!m_pBandwidthLimiter || !m_Bodies.contains(pReply)) {
        return;
    }
    for (qint64 Available = pReply->bytesAvailable(); Available > 0; Available = pReply->bytesAvailable()) {
        const std::int64_t Allowed = m_pBandwidthLimiter->allowance();
        if (Allowed <= 0) {
            // the reply's buffer stays full, so the network layer pauses this transfer
            if (!m_pLimiterTimer->isActive()) {
                m_pLimiterTimer->start(m_pBandwidthLimiter->millisecondsUntilAllowance());
            }
            return;
        }
        const QByteArray Piece = pReply->read(std::min<qint64>(Available, Allowed));
        if (Piece.isEmpty()) {
            return;
        }
        m_pBandwidthLimiter->consume(Piece.size());
        const auto Body = m_Bodies.find(pReply);
        if (Body == m_Bodies.end()) {
            return;
        }
        Body->append(Piece);
    }
}

void TDownloadPool::readArrived(QNetworkReplyWrapper* pReply)
{
    if (m_pBandwidthLimiter) {
        readLimited(pReply);
        return;
    }
    const auto Body = m_Bodies.find(pReply);
    const qint64 Available = pReply->bytesAvailable();
    if (Body == m_Bodies.end() || Available <= 0) {
        return;
    }
    const qint64 Maximum = maximumBodySize(pReply->url());
    if (Maximum >= 0 && Body->size() + Available > Maximum) {
        checkBodySize(pReply, Body->size() + Available);
        return;
    }
    if (Body->capacity() == 0) {
        // room for the whole body at once, as announced, so it is never copied to grow
        bool Known = false;
        const qint64 Announced = pReply->reply()->header(QNetworkRequest::ContentLengthHeader).toLongLong(&Known);
        if (Known && Announced > Available && (Maximum < 0 || Announced <= Maximum) && Announced < kLargestReservation) {
            Body->reserve(static_cast<int>(Announced));
        }
    }
    // straight into the body: one copy
    const int Before = Body->size();
    Body->resize(Before + static_cast<int>(Available));
    const qint64 Read = pReply->read(Body->data() + Before, Available);
    Body->resize(Before + static_cast<int>(std::max<qint64>(Read, 0)));
}

void TDownloadPool::readLimitedReplies()
{
    // only replies not yet finished are listed (finished ones may already be freed)
    const QList<QNetworkReplyWrapper*> Replies = m_Bodies.keys();
    for (QNetworkReplyWrapper* pReply : Replies) {
        if (m_Bodies.contains(pReply)) {
            readLimited(pReply);
        }
    }
}

void TDownloadPool::schedule()
{
    while (!m_Queue.empty()) {
        if (getNumberOfActiveDownloads() >= getMaxConcurrentDownloads()) {
            return;
        }
        const auto OwnLimit = m_MaximumBodySizes.constFind(m_Queue.front());
        const qint64 Bytes = OwnLimit == m_MaximumBodySizes.constEnd() ? 0 : std::max<qint64>(OwnLimit.value(), 0);
        if (m_MaximumBytesInFlight > 0 && !m_ActiveDownloads.isEmpty() && bytesInFlight() + Bytes > m_MaximumBytesInFlight) {
            return;
        }
        const QUrl Url = m_Queue.front();
        m_Queue.pop_front();
        m_Queued.remove(Url);
        QNetworkRequest Request(Url);
        // Qt's own inactivity timer: restarted by every byte, so a slow but steady
        // transfer goes on while a stalled one (no headers, a body that stops, a dropped
        // connection nobody closed) ends
        Request.setTransferTimeout(m_TransferTimeoutMs);
        QNetworkReplyWrapper* pReply = m_pNetworkAccess->get(Request);
        connect(pReply, &QNetworkReplyWrapper::finished, this, [this, pReply] { onReplyFinished(pReply); });
        connect(pReply, &QNetworkReplyWrapper::error, this,
                [this, pReply](QNetworkReply::NetworkError Code) { onReplyError(pReply, Code); });
        connect(pReply, &QNetworkReplyWrapper::bodySizeAnnounced, this, [this, pReply](qlonglong Bytes) { checkBodySize(pReply, Bytes); });
        connect(pReply, &QNetworkReplyWrapper::progress, this, [this, pReply](qlonglong Bytes) {
            if (!checkBodySize(pReply, Bytes)) {
                emit progress(pReply->url(), Bytes);
            }
        });
        if (QNetworkReply* pNetworkReply = pReply->reply()) {
            // the reply (and the wrapper, its child) is freed once its finish was handled
            connect(pNetworkReply, &QNetworkReply::finished, pNetworkReply, &QObject::deleteLater);
            // The body is taken as it arrives, a piece per event, and Qt reads ahead of it
            // only so far. Read whole when the reply finishes, a burst of large bodies
            // finishing together would copy (and fault in) a hundred megabytes at once;
            // and a network thread filling the event queue faster than it is emptied
            // would keep the event loop from its timers and paint events.
            pNetworkReply->setReadBufferSize(m_pBandwidthLimiter ? kLimitedReadBufferSize : kReadAheadBufferSize);
            m_Bodies.insert(pReply, QByteArray());
            connect(pReply, &QNetworkReplyWrapper::readyRead, this, [this, pReply] { readArrived(pReply); });
        }
        m_ActiveDownloads.insert(Url, pReply);
        m_BytesOfActive.insert(Url, Bytes);
    }
}

bool TDownloadPool::isActiveReply(const QUrl& Url, QNetworkReplyWrapper* pReply) const
{
    // the entry must be this very reply: after a failure the consumer may already have
    // asked for the URL again, and the old reply's late events must not touch the new one
    const auto Found = m_ActiveDownloads.constFind(Url);
    return Found != m_ActiveDownloads.constEnd() && Found.value() == pReply;
}

bool TDownloadPool::checkBodySize(QNetworkReplyWrapper* pReply, qlonglong Bytes)
{
    const QUrl Url = pReply->url();
    const qint64 Maximum = maximumBodySize(Url);
    if (Maximum < 0 || Bytes <= Maximum || !isActiveReply(Url, pReply)) {
        return false;
    }
    if (!m_OversizedReplies.contains(pReply) && !m_ReportedReplies.contains(pReply)) {
        // stopped as soon as the excess shows (announced or arriving), never read whole
        m_OversizedReplies.insert(pReply);
        pReply->abort();
    }
    return true;
}

QNetworkReply::NetworkError TDownloadPool::replyError(QNetworkReplyWrapper* pReply) const
{
    const QNetworkReply::NetworkError Error = pReply->networkError();
    if (m_OversizedReplies.contains(pReply)) {
        return QNetworkReply::UnknownContentError;
    }
    // the pool aborts only oversized bodies: any other cancellation is Qt's transfer
    // time-out
    if (Error == QNetworkReply::OperationCanceledError) {
        return QNetworkReply::TimeoutError;
    }
    return Error;
}

QString TDownloadPool::replyErrorString(QNetworkReplyWrapper* pReply) const
{
    if (m_OversizedReplies.contains(pReply)) {
        return QStringLiteral("Body of %1 larger than %2 bytes").arg(pReply->url().toString()).arg(maximumBodySize(pReply->url()));
    }
    if (pReply->networkError() == QNetworkReply::OperationCanceledError) {
        return QStringLiteral("No data from %1 for %2 ms").arg(pReply->url().toString()).arg(m_TransferTimeoutMs);
    }
    return pReply->errorString();
}

void TDownloadPool::reportFailure(QNetworkReplyWrapper* pReply)
{
    const QUrl Url = pReply->url();
    const QNetworkReply::NetworkError Error = replyError(pReply);
    const QString Text = replyErrorString(pReply);
    m_OversizedReplies.remove(pReply);
    if (Error == QNetworkReply::TimeoutError || Error == QNetworkReply::UnknownContentError) {
        qWarning() << "transfer aborted:" << Url.toString() << Text;
    }
    emit failed(Url, Error, Text);
}

void TDownloadPool::onReplyFinished(QNetworkReplyWrapper* pReply)
{
    // what is left is at most one buffer's worth; it is taken whole (in debt when limited)
    QByteArray ReadBody = m_Bodies.take(pReply);
    const QUrl Url = pReply->url();
    const bool AlreadyReported = m_ReportedReplies.remove(pReply);
    if (AlreadyReported || !isActiveReply(Url, pReply)) {
        m_OversizedReplies.remove(pReply);
        return;
    }
    if (m_ReleaseOnFinish) {
        removeActive(Url);
    }
    if (pReply->networkError() != QNetworkReply::NoError || m_OversizedReplies.contains(pReply)) {
        reportFailure(pReply);
    } else {
        const QByteArray Rest = pReply->readAll();
        if (m_pBandwidthLimiter) {
            m_pBandwidthLimiter->consume(Rest.size());
        }
        QByteArray Body = ReadBody.isEmpty() ? Rest : ReadBody.append(Rest);
        const qint64 Maximum = maximumBodySize(Url);
        if (Maximum >= 0 && Body.size() > Maximum) {
            // a wrapper that reported no progress on the way
            Body.clear();
            m_OversizedReplies.insert(pReply);
            reportFailure(pReply);
        } else {
            emit success(Url, Body);
        }
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
        removeActive(Url);
    }
    reportFailure(pReply);
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
