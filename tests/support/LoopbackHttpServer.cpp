#include "LoopbackHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QQueue>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace testsupport {

QByteArray TCapturedRequest::header(const QByteArray& lowerCaseName) const
{
    for (const auto& h : headers) {
        if (h.first == lowerCaseName)
            return h.second;
    }
    return QByteArray();
}

bool TCapturedRequest::hasHeader(const QByteArray& lowerCaseName) const
{
    return std::any_of(headers.cbegin(), headers.cend(), [&](const QPair<QByteArray, QByteArray>& h) { return h.first == lowerCaseName; });
}

QList<QByteArray> TCapturedRequest::headerNames() const
{
    QList<QByteArray> names;
    for (const auto& h : headers)
        names.append(h.first);
    return names;
}

namespace detail {

namespace {

// A request head larger than this is refused: nothing we test sends one.
constexpr int kMaxHeadBytes = 64 * 1024;
// Request bodies above this are refused (413) instead of being buffered.
constexpr qint64 kMaxRequestBodyBytes = qint64(1) << 30;

struct TMemoryBody {
    QByteArray bytes;
    QByteArray contentType;
};

QString normalisedKey(const QString& path)
{
    QString key = path;
    const int query = key.indexOf(QLatin1Char('?'));
    if (query >= 0)
        key.truncate(query);
    if (!key.startsWith(QLatin1Char('/')))
        key.prepend(QLatin1Char('/'));
    return key;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

QByteArray statusBody(int status)
{
    return QByteArray::number(status) + ' ' + reasonPhrase(status) + '\n';
}

QByteArray contentTypeForFile(const QString& fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("json"))
        return "application/json";
    if (suffix == QLatin1String("xml"))
        return "application/xml";
    if (suffix == QLatin1String("txt"))
        return "text/plain";
    if (suffix == QLatin1String("html") || suffix == QLatin1String("htm"))
        return "text/html";
    if (suffix == QLatin1String("png"))
        return "image/png";
    return "application/octet-stream";
}

bool hasDotDotSegment(const QString& decodedPath)
{
    const QStringList segments = decodedPath.split(QLatin1Char('/'));
    return segments.contains(QStringLiteral(".."));
}

} // namespace

struct TServerState {
    mutable QMutex mutex;

    // Set once by the server thread before the constructor returns.
    bool listening = false;
    quint16 port = 0;
    QString errorString;

    QString rootCanonical;
    QHash<QString, TMemoryBody> bodies;
    QHash<QString, TBehaviour> behaviours;
    QHash<QString, QQueue<TBehaviour>> queued;

    QMap<QString, int> counts;
    QStringList paths;
    QVector<TCapturedRequest> captured;
    int total = 0;
    int finished = 0;
    int accepted = 0;
    int open = 0;
    int peakOpen = 0;
    int active = 0;
    int peakActive = 0;
};

namespace {

struct TPendingResponse {
    QByteArray method;
    QByteArray target;
    QString path; // decoded, without query
    bool keepAlive = true;
    int forcedStatus = 0; // answer with this status whatever the content (bad input)
    TBehaviour behaviour;
};

class TConnection : public QObject {
public:
    TConnection(TServerState& state, QTcpSocket* socket, QObject* parent);
    ~TConnection() override;

private:
    enum class ECut { None, Reset, Truncate };

    void onReadyRead();
    void parseInput();
    bool parseHead(const QByteArray& head);
    void refuse(int status);
    void completeRequest();
    void startNext();
    void sendHead();
    void resolveContent(int& status, QByteArray& contentType);
    void pump();
    void endResponse();
    void cut();
    void onGone();
    void releaseRequests();

    TServerState& m_state;
    QTcpSocket* m_socket;

    // Input side.
    QByteArray m_in;
    bool m_stopReading = false;
    bool m_haveHead = false;
    qint64 m_bodyNeeded = 0;
    TCapturedRequest m_request;
    bool m_requestKeepAlive = true;
    bool m_expectContinue = false;

    // Output side.
    QQueue<TPendingResponse> m_pending;
    bool m_responding = false;
    bool m_headSent = false;
    bool m_pieceDelayRunning = false;
    TPendingResponse m_current;
    std::unique_ptr<QFile> m_file;
    QByteArray m_memory;
    qint64 m_sent = 0;
    qint64 m_limit = 0;
    ECut m_cut = ECut::None;
    bool m_closeAfter = false;

    bool m_gone = false;
};

TConnection::TConnection(TServerState& state, QTcpSocket* socket, QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_socket(socket)
{
    socket->setParent(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    {
        QMutexLocker lock(&m_state.mutex);
        ++m_state.accepted;
        ++m_state.open;
        m_state.peakOpen = std::max(m_state.peakOpen, m_state.open);
    }
    connect(socket, &QTcpSocket::readyRead, this, &TConnection::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &TConnection::pump);
    connect(socket, &QTcpSocket::disconnected, this, &TConnection::onGone);
    if (socket->bytesAvailable() > 0)
        onReadyRead();
}

TConnection::~TConnection()
{
    if (!m_gone) {
        // Server shutdown with the client still connected.
        m_gone = true;
        releaseRequests();
        QMutexLocker lock(&m_state.mutex);
        --m_state.open;
    }
    m_socket->disconnect(this);
    m_socket->abort();
}

void TConnection::releaseRequests()
{
    const int dropped = (m_responding ? 1 : 0) + m_pending.size();
    m_pending.clear();
    m_responding = false;
    m_file.reset();
    QMutexLocker lock(&m_state.mutex);
    m_state.active -= dropped;
}

void TConnection::onGone()
{
    if (m_gone)
        return;
    m_gone = true;
    m_stopReading = true;
    releaseRequests();
    {
        QMutexLocker lock(&m_state.mutex);
        --m_state.open;
    }
    deleteLater();
}

void TConnection::onReadyRead()
{
    const QByteArray data = m_socket->readAll();
    if (m_stopReading || m_gone)
        return;
    m_in.append(data);
    parseInput();
}

void TConnection::parseInput()
{
    while (!m_stopReading) {
        if (!m_haveHead) {
            // Empty lines before a request line are allowed.
            int skip = 0;
            while (skip < m_in.size() && (m_in.at(skip) == '\r' || m_in.at(skip) == '\n'))
                ++skip;
            if (skip > 0)
                m_in.remove(0, skip);
            if (m_in.isEmpty())
                return;

            int end = m_in.indexOf("\r\n\r\n");
            int separator = 4;
            const int bareEnd = m_in.indexOf("\n\n");
            if (bareEnd >= 0 && (end < 0 || bareEnd < end)) {
                end = bareEnd;
                separator = 2;
            }
            if (end < 0) {
                if (m_in.size() > kMaxHeadBytes)
                    refuse(431);
                return;
            }
            if (end > kMaxHeadBytes) {
                refuse(431);
                return;
            }
            const QByteArray head = m_in.left(end);
            m_in.remove(0, end + separator);
            if (!parseHead(head))
                return; // refused
            m_haveHead = true;
            if (m_expectContinue && m_bodyNeeded > m_in.size() && !m_responding && m_pending.isEmpty())
                m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        if (m_in.size() < m_bodyNeeded)
            return;
        m_request.body = m_in.left(int(m_bodyNeeded));
        m_in.remove(0, int(m_bodyNeeded));
        m_haveHead = false;
        completeRequest();
    }
}

bool TConnection::parseHead(const QByteArray& head)
{
    m_request = TCapturedRequest();
    m_bodyNeeded = 0;
    m_expectContinue = false;

    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QList<QByteArray> requestLine = lines.takeFirst().split(' ');
    if (requestLine.size() != 3 || requestLine.at(0).isEmpty() || requestLine.at(1).isEmpty() || !requestLine.at(2).startsWith("HTTP/1.")) {
        refuse(400);
        return false;
    }
    for (const char c : requestLine.at(0)) {
        if (c < 'A' || c > 'Z') {
            refuse(400);
            return false;
        }
    }
    m_request.method = requestLine.at(0);
    QByteArray target = requestLine.at(1);
    if (target.startsWith("http://")) {
        // Absolute form (a client talking to its proxy): keep the path and query only.
        m_request.absoluteTarget = target;
        const int slash = target.indexOf('/', 7);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    if (!target.startsWith('/')) {
        refuse(400);
        return false;
    }
    m_request.path = target;
    const bool http10 = requestLine.at(2) == "HTTP/1.0";

    bool haveLength = false;
    QByteArray connectionTokens;
    for (const QByteArray& line : qAsConst(lines)) {
        const int colon = line.indexOf(':');
        if (colon <= 0 || line.startsWith(' ') || line.startsWith('\t')) {
            refuse(400);
            return false;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name.isEmpty() || name.contains(' ')) {
            refuse(400);
            return false;
        }
        m_request.headers.append(qMakePair(name, value));
        if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (!ok || length < 0 || (haveLength && length != m_bodyNeeded)) {
                refuse(400);
                return false;
            }
            haveLength = true;
            m_bodyNeeded = length;
        } else if (name == "transfer-encoding") {
            // Request bodies of unknown length are not needed by any test.
            refuse(501);
            return false;
        } else if (name == "connection") {
            connectionTokens += ',' + value.toLower();
        } else if (name == "expect" && value.toLower() == "100-continue") {
            m_expectContinue = true;
        }
    }
    if (m_bodyNeeded > kMaxRequestBodyBytes) {
        refuse(413);
        return false;
    }
    QList<QByteArray> tokens = connectionTokens.split(',');
    for (QByteArray& t : tokens)
        t = t.trimmed();
    m_requestKeepAlive = http10 ? tokens.contains("keep-alive") : !tokens.contains("close");
    return true;
}

// Answers bad input with `status` after the responses already due, then closes.
void TConnection::refuse(int status)
{
    m_stopReading = true;
    m_in.clear();
    TPendingResponse response;
    response.method = m_request.method.isEmpty() ? QByteArray("GET") : m_request.method;
    response.keepAlive = false;
    response.forcedStatus = status;
    {
        QMutexLocker lock(&m_state.mutex);
        ++m_state.active;
        m_state.peakActive = std::max(m_state.peakActive, m_state.active);
    }
    m_pending.enqueue(response);
    startNext();
}

void TConnection::completeRequest()
{
    TPendingResponse response;
    response.method = m_request.method;
    response.target = m_request.path;
    response.keepAlive = m_requestKeepAlive;
    const int query = m_request.path.indexOf('?');
    const QByteArray rawPath = query < 0 ? m_request.path : m_request.path.left(query);
    response.path = QString::fromUtf8(QByteArray::fromPercentEncoding(rawPath));
    if (response.method != "GET" && response.method != "HEAD" && response.method != "POST")
        response.forcedStatus = 405;

    {
        QMutexLocker lock(&m_state.mutex);
        auto queued = m_state.queued.find(response.path);
        if (queued != m_state.queued.end() && !queued->isEmpty()) {
            response.behaviour = queued->dequeue();
            if (queued->isEmpty())
                m_state.queued.erase(queued);
        } else {
            response.behaviour = m_state.behaviours.value(response.path);
        }
        ++m_state.counts[response.path];
        m_state.paths.append(QString::fromUtf8(m_request.path));
        m_state.captured.append(m_request);
        ++m_state.total;
        ++m_state.active;
        m_state.peakActive = std::max(m_state.peakActive, m_state.active);
    }
    m_request = TCapturedRequest();

    if (!response.keepAlive)
        m_stopReading = true; // nothing after a closing request is answered
    m_pending.enqueue(response);
    startNext();
}

void TConnection::startNext()
{
    if (m_responding || m_gone || m_pending.isEmpty())
        return;
    m_current = m_pending.dequeue();
    m_responding = true;
    m_headSent = false;
    const int delay = m_current.forcedStatus == 0 ? m_current.behaviour.delayBeforeHeadersMs : 0;
    if (delay > 0) {
        QTimer::singleShot(delay, this, [this] {
            if (!m_gone && m_responding && !m_headSent)
                sendHead();
        });
    } else {
        sendHead();
    }
}

// Fills m_memory or m_file for the current request, following the content order.
void TConnection::resolveContent(int& status, QByteArray& contentType)
{
    const TBehaviour& behaviour = m_current.behaviour;
    if (m_current.forcedStatus != 0) {
        status = m_current.forcedStatus;
        m_memory = statusBody(status);
        return;
    }
    if (behaviour.status != 200) {
        status = behaviour.status;
        m_memory = behaviour.body.isNull() ? statusBody(status) : behaviour.body;
        return;
    }

    QString root;
    {
        QMutexLocker lock(&m_state.mutex);
        const auto memory = m_state.bodies.constFind(m_current.path);
        if (!behaviour.body.isNull()) {
            status = 200;
            m_memory = behaviour.body;
            contentType = memory != m_state.bodies.cend() ? memory->contentType : QByteArray("application/octet-stream");
            return;
        }
        if (hasDotDotSegment(m_current.path)) {
            status = 403;
            m_memory = statusBody(status);
            return;
        }
        if (memory != m_state.bodies.cend()) {
            status = 200;
            m_memory = memory->bytes;
            contentType = memory->contentType;
            return;
        }
        root = m_state.rootCanonical;
    }

    status = 404;
    m_memory = statusBody(status);
    if (root.isEmpty() || m_current.path.contains(QChar(0)))
        return;
    const QFileInfo info(root + m_current.path);
    if (!info.exists() || info.isDir())
        return;
    const QString real = info.canonicalFilePath();
    if (!real.startsWith(root + QLatin1Char('/'))) {
        status = 403;
        m_memory = statusBody(status);
        return;
    }
    auto file = std::make_unique<QFile>(real);
    if (!file->open(QIODevice::ReadOnly)) {
        status = 403;
        m_memory = statusBody(status);
        return;
    }
    status = 200;
    contentType = contentTypeForFile(real);
    m_memory.clear();
    m_file = std::move(file);
}

void TConnection::sendHead()
{
    int status = 200;
    QByteArray contentType = "text/plain";
    m_memory.clear();
    m_file.reset();
    resolveContent(status, contentType);

    const TBehaviour& behaviour = m_current.behaviour;
    qint64 length = m_file ? m_file->size() : m_memory.size();
    if (status == 204 || status == 304 || status < 200) {
        m_memory.clear();
        m_file.reset();
        length = 0;
    }

    QList<QPair<QByteArray, QByteArray>> headers;
    headers.append(qMakePair(QByteArray("Content-Type"), contentType));
    headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(length)));
    headers.append(qMakePair(QByteArray("Connection"), QByteArray(m_current.keepAlive ? "keep-alive" : "close")));
    if (status >= 300 && status < 400 && !behaviour.location.isEmpty())
        headers.append(qMakePair(QByteArray("Location"), behaviour.location));
    if (m_current.forcedStatus == 405)
        headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD, POST")));
    if (m_current.forcedStatus == 0) {
        for (const auto& extra : behaviour.extraHeaders) {
            const QByteArray name = extra.first.toLower();
            headers.erase(std::remove_if(headers.begin(), headers.end(),
                                         [&](const QPair<QByteArray, QByteArray>& h) { return h.first.toLower() == name; }),
                          headers.end());
        }
        headers.append(behaviour.extraHeaders);
    }

    // A "Connection: close" of our own (from extraHeaders) is kept as well.
    m_closeAfter = !m_current.keepAlive;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto& h : qAsConst(headers)) {
        head += h.first + ": " + h.second + "\r\n";
        if (h.first.toLower() == "connection" && h.second.toLower().contains("close"))
            m_closeAfter = true;
    }
    if (m_closeAfter)
        m_stopReading = true;
    head += "\r\n";
    m_socket->write(head);
    m_headSent = true;

    m_sent = 0;
    m_limit = m_current.method == "HEAD" ? 0 : length;
    m_cut = ECut::None;
    if (m_current.method != "HEAD" && m_current.forcedStatus == 0) {
        qint64 cutAt = -1;
        if (behaviour.resetAfterBodyBytes >= 0) {
            cutAt = behaviour.resetAfterBodyBytes;
            m_cut = ECut::Reset;
        }
        if (behaviour.truncateAfterBodyBytes >= 0 && (cutAt < 0 || behaviour.truncateAfterBodyBytes < cutAt)) {
            cutAt = behaviour.truncateAfterBodyBytes;
            m_cut = ECut::Truncate;
        }
        if (cutAt >= 0)
            m_limit = std::min(m_limit, cutAt);
    }
    pump();
}

// Writes body pieces while the socket's buffer is small; called again on bytesWritten.
void TConnection::pump()
{
    if (!m_responding || !m_headSent || m_gone || m_pieceDelayRunning)
        return;
    const TBehaviour& behaviour = m_current.behaviour;
    const qint64 pieceSize = behaviour.pieceSize > 0 ? behaviour.pieceSize : 64 * 1024;
    const qint64 highWater = std::max<qint64>(4 * pieceSize, 256 * 1024);

    while (m_sent < m_limit && m_socket->bytesToWrite() < highWater) {
        const qint64 n = std::min(pieceSize, m_limit - m_sent);
        QByteArray piece = m_file ? m_file->read(n) : m_memory.mid(int(m_sent), int(n));
        if (piece.size() != n) {
            // The file shrank or failed under us: the announced length cannot be kept.
            m_cut = ECut::Reset;
            m_limit = m_sent;
            break;
        }
        if (behaviour.corruptAll) {
            for (char& c : piece)
                c = char(c ^ 0xFF);
        } else {
            for (const qint64 offset : behaviour.corruptOffsets) {
                if (offset >= m_sent && offset < m_sent + n)
                    piece[int(offset - m_sent)] = char(piece.at(int(offset - m_sent)) ^ 0xFF);
            }
        }
        m_socket->write(piece);
        m_sent += n;
        if (behaviour.delayBetweenPiecesMs > 0 && m_sent < m_limit) {
            m_pieceDelayRunning = true;
            QTimer::singleShot(behaviour.delayBetweenPiecesMs, this, [this] {
                m_pieceDelayRunning = false;
                pump();
            });
            return;
        }
    }

    if (m_sent < m_limit)
        return; // more when bytesWritten reports progress or the piece delay ends
    if (m_cut == ECut::None) {
        // Done as soon as the last byte is queued: the client cannot have the whole
        // response before the counters say so.
        endResponse();
    } else if (m_socket->bytesToWrite() == 0) {
        cut(); // only once everything before the cut point has left
    }
}

void TConnection::endResponse()
{
    m_responding = false;
    m_headSent = false;
    m_file.reset();
    m_memory.clear();
    {
        QMutexLocker lock(&m_state.mutex);
        --m_state.active;
        ++m_state.finished;
    }
    if (m_closeAfter) {
        releaseRequests(); // requests pipelined after this one are dropped with the connection
        m_socket->disconnectFromHost();
        return;
    }
    startNext();
}

void TConnection::cut()
{
    const ECut how = m_cut;
    m_responding = false;
    m_headSent = false;
    m_file.reset();
    {
        QMutexLocker lock(&m_state.mutex);
        --m_state.active;
        ++m_state.finished;
    }
    m_stopReading = true;
    releaseRequests();
    if (how == ECut::Reset) {
#ifdef Q_OS_UNIX
        // Linger 0: close() sends RST instead of FIN.
        struct linger lingerOption;
        lingerOption.l_onoff = 1;
        lingerOption.l_linger = 0;
        ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
#endif
        m_socket->abort();
        onGone();
    } else {
        m_socket->disconnectFromHost();
    }
}

class TServer : public QObject {
public:
    explicit TServer(TServerState& state)
        : m_state(state)
    {
        m_server.setMaxPendingConnections(1000);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                new TConnection(m_state, socket, this);
        });
    }

    ~TServer() override
    {
        m_server.close();
        const auto connections = findChildren<TConnection*>(QString(), Qt::FindDirectChildrenOnly);
        qDeleteAll(connections);
    }

    bool listen(quint16 port)
    {
        const bool ok = m_server.listen(QHostAddress::LocalHost, port);
        QMutexLocker lock(&m_state.mutex);
        m_state.listening = ok;
        m_state.port = ok ? m_server.serverPort() : 0;
        m_state.errorString = ok ? QString() : m_server.errorString();
        return ok;
    }

private:
    TServerState& m_state;
    QTcpServer m_server;
};

} // namespace

class TServerThread : public QThread {
public:
    TServerThread(TServerState& state, quint16 port)
        : m_state(state)
        , m_port(port)
    {
    }

    QSemaphore started;

protected:
    void run() override
    {
        TServer server(m_state);
        const bool ok = server.listen(m_port);
        started.release();
        if (ok)
            exec();
    }

private:
    TServerState& m_state;
    quint16 m_port;
};

} // namespace detail

TLoopbackHttpServer::TLoopbackHttpServer(quint16 port)
    : m_state(std::make_unique<detail::TServerState>())
    , m_thread(std::make_unique<detail::TServerThread>(*m_state, port))
{
    m_thread->setObjectName(QStringLiteral("LoopbackHttpServer"));
    m_thread->start();
    m_thread->started.acquire();
}

TLoopbackHttpServer::~TLoopbackHttpServer()
{
    m_thread->quit();
    m_thread->wait();
}

bool TLoopbackHttpServer::isListening() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->listening;
}

QString TLoopbackHttpServer::errorString() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->errorString;
}

quint16 TLoopbackHttpServer::port() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->port;
}

QUrl TLoopbackHttpServer::url(const QString& path) const
{
    QString tail = path;
    if (!tail.startsWith(QLatin1Char('/')))
        tail.prepend(QLatin1Char('/'));
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()) + tail);
}

void TLoopbackHttpServer::serveDirectory(const QString& dir)
{
    QString canonical;
    if (!dir.isEmpty()) {
        canonical = QFileInfo(dir).canonicalFilePath();
        if (canonical.isEmpty())
            qWarning("TLoopbackHttpServer::serveDirectory: '%s' does not exist", qPrintable(dir));
        while (canonical.endsWith(QLatin1Char('/')))
            canonical.chop(1); // "/" itself becomes "", which serves nothing
    }
    QMutexLocker lock(&m_state->mutex);
    m_state->rootCanonical = canonical;
}

void TLoopbackHttpServer::setBody(const QString& path, const QByteArray& bytes, const QByteArray& contentType)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->bodies.insert(detail::normalisedKey(path), detail::TMemoryBody {bytes, contentType});
}

void TLoopbackHttpServer::removeBody(const QString& path)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->bodies.remove(detail::normalisedKey(path));
}

void TLoopbackHttpServer::setBehaviour(const QString& path, const TBehaviour& behaviour)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->behaviours.insert(detail::normalisedKey(path), behaviour);
}

void TLoopbackHttpServer::queueBehaviour(const QString& path, const TBehaviour& behaviour)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->queued[detail::normalisedKey(path)].enqueue(behaviour);
}

int TLoopbackHttpServer::queuedBehaviourCount(const QString& path) const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->queued.value(detail::normalisedKey(path)).size();
}

void TLoopbackHttpServer::clearBehaviour(const QString& path)
{
    const QString key = detail::normalisedKey(path);
    QMutexLocker lock(&m_state->mutex);
    m_state->behaviours.remove(key);
    m_state->queued.remove(key);
}

int TLoopbackHttpServer::requestCount(const QString& path) const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->counts.value(detail::normalisedKey(path));
}

QMap<QString, int> TLoopbackHttpServer::requestCounts() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->counts;
}

QStringList TLoopbackHttpServer::requestedPaths() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->paths;
}

int TLoopbackHttpServer::totalRequests() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->total;
}

int TLoopbackHttpServer::finishedResponses() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->finished;
}

int TLoopbackHttpServer::acceptedConnections() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->accepted;
}

int TLoopbackHttpServer::openConnections() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->open;
}

int TLoopbackHttpServer::peakConnections() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->peakOpen;
}

int TLoopbackHttpServer::activeRequests() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->active;
}

int TLoopbackHttpServer::peakActiveRequests() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->peakActive;
}

QVector<TCapturedRequest> TLoopbackHttpServer::capturedRequests() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->captured;
}

void TLoopbackHttpServer::resetCounters()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->counts.clear();
    m_state->paths.clear();
    m_state->captured.clear();
    m_state->total = 0;
    m_state->finished = 0;
    m_state->accepted = 0;
    m_state->peakOpen = m_state->open;
    m_state->peakActive = m_state->active;
}

bool TLoopbackHttpServer::waitForRequests(int count, int timeoutMs) const
{
    return waitUntil([this, count] { return totalRequests() >= count; }, timeoutMs);
}

bool TLoopbackHttpServer::waitForFinishedResponses(int count, int timeoutMs) const
{
    return waitUntil([this, count] { return finishedResponses() >= count; }, timeoutMs);
}

bool TLoopbackHttpServer::waitUntil(const std::function<bool()>& condition, int timeoutMs) const
{
    if (condition())
        return true;
    QEventLoop loop;
    // The tick wakes the loop so the condition, which changes on another thread, is seen.
    QTimer tick;
    tick.setInterval(5);
    tick.start();
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() >= timeoutMs)
            return condition();
        loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace testsupport
