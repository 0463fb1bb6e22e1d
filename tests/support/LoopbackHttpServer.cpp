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

QByteArray TCapturedRequest::header(const QByteArray& LowerCaseName) const
{
    for (const auto& Header : m_Headers) {
        if (Header.first == LowerCaseName)
            return Header.second;
    }
    return QByteArray();
}

bool TCapturedRequest::hasHeader(const QByteArray& LowerCaseName) const
{
    return std::any_of(m_Headers.cbegin(), m_Headers.cend(),
                       [&](const QPair<QByteArray, QByteArray>& Header) { return Header.first == LowerCaseName; });
}

QList<QByteArray> TCapturedRequest::headerNames() const
{
    QList<QByteArray> Names;
    for (const auto& Header : m_Headers)
        Names.append(Header.first);
    return Names;
}

namespace detail {

namespace {

// A request head larger than this is refused: nothing we test sends one.
constexpr int kMaxHeadBytes = 64 * 1024;
// Request bodies above this are refused (413) instead of being buffered.
constexpr qint64 kMaxRequestBodyBytes = qint64(1) << 30;

struct TMemoryBody {
    QByteArray m_Bytes;
    QByteArray m_ContentType;
};

QString normalisedKey(const QString& Path)
{
    QString Key = Path;
    const int Query = Key.indexOf(QLatin1Char('?'));
    if (Query >= 0)
        Key.truncate(Query);
    if (!Key.startsWith(QLatin1Char('/')))
        Key.prepend(QLatin1Char('/'));
    return Key;
}

QByteArray reasonPhrase(int Status)
{
    switch (Status) {
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

QByteArray statusBody(int Status)
{
    return QByteArray::number(Status) + ' ' + reasonPhrase(Status) + '\n';
}

QByteArray contentTypeForFile(const QString& FileName)
{
    const QString Suffix = QFileInfo(FileName).suffix().toLower();
    if (Suffix == QLatin1String("json"))
        return "application/json";
    if (Suffix == QLatin1String("xml"))
        return "application/xml";
    if (Suffix == QLatin1String("txt"))
        return "text/plain";
    if (Suffix == QLatin1String("html") || Suffix == QLatin1String("htm"))
        return "text/html";
    if (Suffix == QLatin1String("png"))
        return "image/png";
    return "application/octet-stream";
}

bool hasDotDotSegment(const QString& DecodedPath)
{
    const QStringList Segments = DecodedPath.split(QLatin1Char('/'));
    return Segments.contains(QStringLiteral(".."));
}

} // namespace

struct TServerState {
    mutable QMutex m_Mutex;

    // Set once by the server thread before the constructor returns.
    bool m_Listening = false;
    quint16 m_Port = 0;
    QString m_ErrorString;

    QString m_RootCanonical;
    QHash<QString, TMemoryBody> m_Bodies;
    QHash<QString, TBehaviour> m_Behaviours;
    QHash<QString, QQueue<TBehaviour>> m_Queued;

    QMap<QString, int> m_Counts;
    QStringList m_Paths;
    QVector<TCapturedRequest> m_Captured;
    int m_Total = 0;
    int m_Finished = 0;
    int m_Accepted = 0;
    int m_Open = 0;
    int m_PeakOpen = 0;
    int m_Active = 0;
    int m_PeakActive = 0;
};

namespace {

struct TPendingResponse {
    QByteArray m_Method;
    QByteArray m_Target;
    QString m_Path; // decoded, without query
    bool m_KeepAlive = true;
    int m_ForcedStatus = 0; // answer with this status whatever the content (bad input)
    TBehaviour m_Behaviour;
};

class TConnection : public QObject {
public:
    TConnection(TServerState& State, QTcpSocket* pSocket, QObject* pParent);
    ~TConnection() override;

private:
    enum class ECut { None, Reset, Truncate };

    void onReadyRead();
    void parseInput();
    bool parseHead(const QByteArray& Head);
    void refuse(int Status);
    void completeRequest();
    void startNext();
    void sendHead();
    void resolveContent(int& Status, QByteArray& ContentType);
    void pump();
    void endResponse();
    void cut();
    void onGone();
    void releaseRequests();

    TServerState& m_State;
    QTcpSocket* m_pSocket;

    // Input side.
    QByteArray m_In;
    bool m_StopReading = false;
    bool m_HaveHead = false;
    qint64 m_BodyNeeded = 0;
    TCapturedRequest m_Request;
    bool m_RequestKeepAlive = true;
    bool m_ExpectContinue = false;

    // Output side.
    QQueue<TPendingResponse> m_Pending;
    bool m_Responding = false;
    bool m_HeadSent = false;
    bool m_PieceDelayRunning = false;
    TPendingResponse m_Current;
    std::unique_ptr<QFile> m_pFile;
    QByteArray m_Memory;
    qint64 m_Sent = 0;
    qint64 m_Limit = 0;
    ECut m_Cut = ECut::None;
    bool m_CloseAfter = false;

    bool m_Gone = false;
};

TConnection::TConnection(TServerState& State, QTcpSocket* pSocket, QObject* pParent)
    : QObject(pParent)
    , m_State(State)
    , m_pSocket(pSocket)
{
    pSocket->setParent(this);
    pSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    {
        QMutexLocker Lock(&m_State.m_Mutex);
        ++m_State.m_Accepted;
        ++m_State.m_Open;
        m_State.m_PeakOpen = std::max(m_State.m_PeakOpen, m_State.m_Open);
    }
    connect(pSocket, &QTcpSocket::readyRead, this, &TConnection::onReadyRead);
    connect(pSocket, &QTcpSocket::bytesWritten, this, &TConnection::pump);
    connect(pSocket, &QTcpSocket::disconnected, this, &TConnection::onGone);
    if (pSocket->bytesAvailable() > 0)
        onReadyRead();
}

TConnection::~TConnection()
{
    if (!m_Gone) {
        // Server shutdown with the client still connected.
        m_Gone = true;
        releaseRequests();
        QMutexLocker Lock(&m_State.m_Mutex);
        --m_State.m_Open;
    }
    m_pSocket->disconnect(this);
    m_pSocket->abort();
}

void TConnection::releaseRequests()
{
    const int Dropped = (m_Responding ? 1 : 0) + m_Pending.size();
    m_Pending.clear();
    m_Responding = false;
    m_pFile.reset();
    QMutexLocker Lock(&m_State.m_Mutex);
    m_State.m_Active -= Dropped;
}

void TConnection::onGone()
{
    if (m_Gone)
        return;
    m_Gone = true;
    m_StopReading = true;
    releaseRequests();
    {
        QMutexLocker Lock(&m_State.m_Mutex);
        --m_State.m_Open;
    }
    deleteLater();
}

void TConnection::onReadyRead()
{
    const QByteArray Data = m_pSocket->readAll();
    if (m_StopReading || m_Gone)
        return;
    m_In.append(Data);
    parseInput();
}

void TConnection::parseInput()
{
    while (!m_StopReading) {
        if (!m_HaveHead) {
            // Empty lines before a request line are allowed.
            int Skip = 0;
            while (Skip < m_In.size() && (m_In.at(Skip) == '\r' || m_In.at(Skip) == '\n'))
                ++Skip;
            if (Skip > 0)
                m_In.remove(0, Skip);
            if (m_In.isEmpty())
                return;

            int End = m_In.indexOf("\r\n\r\n");
            int Separator = 4;
            const int BareEnd = m_In.indexOf("\n\n");
            if (BareEnd >= 0 && (End < 0 || BareEnd < End)) {
                End = BareEnd;
                Separator = 2;
            }
            if (End < 0) {
                if (m_In.size() > kMaxHeadBytes)
                    refuse(431);
                return;
            }
            if (End > kMaxHeadBytes) {
                refuse(431);
                return;
            }
            const QByteArray Head = m_In.left(End);
            m_In.remove(0, End + Separator);
            if (!parseHead(Head))
                return; // refused
            m_HaveHead = true;
            if (m_ExpectContinue && m_BodyNeeded > m_In.size() && !m_Responding && m_Pending.isEmpty())
                m_pSocket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        if (m_In.size() < m_BodyNeeded)
            return;
        m_Request.m_Body = m_In.left(int(m_BodyNeeded));
        m_In.remove(0, int(m_BodyNeeded));
        m_HaveHead = false;
        completeRequest();
    }
}

bool TConnection::parseHead(const QByteArray& Head)
{
    m_Request = TCapturedRequest();
    m_BodyNeeded = 0;
    m_ExpectContinue = false;

    QList<QByteArray> Lines = Head.split('\n');
    for (QByteArray& Line : Lines) {
        if (Line.endsWith('\r'))
            Line.chop(1);
    }
    const QList<QByteArray> RequestLine = Lines.takeFirst().split(' ');
    if (RequestLine.size() != 3 || RequestLine.at(0).isEmpty() || RequestLine.at(1).isEmpty() || !RequestLine.at(2).startsWith("HTTP/1.")) {
        refuse(400);
        return false;
    }
    for (const char Character : RequestLine.at(0)) {
        if (Character < 'A' || Character > 'Z') {
            refuse(400);
            return false;
        }
    }
    m_Request.m_Method = RequestLine.at(0);
    QByteArray Target = RequestLine.at(1);
    if (Target.startsWith("http://")) {
        // Absolute form (a client talking to its proxy): keep the path and query only.
        m_Request.m_AbsoluteTarget = Target;
        const int Slash = Target.indexOf('/', 7);
        Target = Slash < 0 ? QByteArray("/") : Target.mid(Slash);
    }
    if (!Target.startsWith('/')) {
        refuse(400);
        return false;
    }
    m_Request.m_Path = Target;
    const bool Http10 = RequestLine.at(2) == "HTTP/1.0";

    bool HaveLength = false;
    QByteArray ConnectionTokens;
    for (const QByteArray& Line : qAsConst(Lines)) {
        const int Colon = Line.indexOf(':');
        if (Colon <= 0 || Line.startsWith(' ') || Line.startsWith('\t')) {
            refuse(400);
            return false;
        }
        const QByteArray Name = Line.left(Colon).trimmed().toLower();
        const QByteArray Value = Line.mid(Colon + 1).trimmed();
        if (Name.isEmpty() || Name.contains(' ')) {
            refuse(400);
            return false;
        }
        m_Request.m_Headers.append(qMakePair(Name, Value));
        if (Name == "content-length") {
            bool Ok = false;
            const qint64 Length = Value.toLongLong(&Ok);
            if (!Ok || Length < 0 || (HaveLength && Length != m_BodyNeeded)) {
                refuse(400);
                return false;
            }
            HaveLength = true;
            m_BodyNeeded = Length;
        } else if (Name == "transfer-encoding") {
            // Request bodies of unknown length are not needed by any test.
            refuse(501);
            return false;
        } else if (Name == "connection") {
            ConnectionTokens += ',' + Value.toLower();
        } else if (Name == "expect" && Value.toLower() == "100-continue") {
            m_ExpectContinue = true;
        }
    }
    if (m_BodyNeeded > kMaxRequestBodyBytes) {
        refuse(413);
        return false;
    }
    QList<QByteArray> Tokens = ConnectionTokens.split(',');
    for (QByteArray& Token : Tokens)
        Token = Token.trimmed();
    m_RequestKeepAlive = Http10 ? Tokens.contains("keep-alive") : !Tokens.contains("close");
    return true;
}

// Answers bad input with `Status` after the responses already due, then closes.
void TConnection::refuse(int Status)
{
    m_StopReading = true;
    m_In.clear();
    TPendingResponse Response;
    Response.m_Method = m_Request.m_Method.isEmpty() ? QByteArray("GET") : m_Request.m_Method;
    Response.m_KeepAlive = false;
    Response.m_ForcedStatus = Status;
    {
        QMutexLocker Lock(&m_State.m_Mutex);
        ++m_State.m_Active;
        m_State.m_PeakActive = std::max(m_State.m_PeakActive, m_State.m_Active);
    }
    m_Pending.enqueue(Response);
    startNext();
}

void TConnection::completeRequest()
{
    TPendingResponse Response;
    Response.m_Method = m_Request.m_Method;
    Response.m_Target = m_Request.m_Path;
    Response.m_KeepAlive = m_RequestKeepAlive;
    const int Query = m_Request.m_Path.indexOf('?');
    const QByteArray RawPath = Query < 0 ? m_Request.m_Path : m_Request.m_Path.left(Query);
    Response.m_Path = QString::fromUtf8(QByteArray::fromPercentEncoding(RawPath));
    if (Response.m_Method != "GET" && Response.m_Method != "HEAD" && Response.m_Method != "POST")
        Response.m_ForcedStatus = 405;

    {
        QMutexLocker Lock(&m_State.m_Mutex);
        auto Queued = m_State.m_Queued.find(Response.m_Path);
        if (Queued != m_State.m_Queued.end() && !Queued->isEmpty()) {
            Response.m_Behaviour = Queued->dequeue();
            if (Queued->isEmpty())
                m_State.m_Queued.erase(Queued);
        } else {
            Response.m_Behaviour = m_State.m_Behaviours.value(Response.m_Path);
        }
        ++m_State.m_Counts[Response.m_Path];
        m_State.m_Paths.append(QString::fromUtf8(m_Request.m_Path));
        m_State.m_Captured.append(m_Request);
        ++m_State.m_Total;
        ++m_State.m_Active;
        m_State.m_PeakActive = std::max(m_State.m_PeakActive, m_State.m_Active);
    }
    m_Request = TCapturedRequest();

    if (!Response.m_KeepAlive)
        m_StopReading = true; // nothing after a closing request is answered
    m_Pending.enqueue(Response);
    startNext();
}

void TConnection::startNext()
{
    if (m_Responding || m_Gone || m_Pending.isEmpty())
        return;
    m_Current = m_Pending.dequeue();
    m_Responding = true;
    m_HeadSent = false;
    const int Delay = m_Current.m_ForcedStatus == 0 ? m_Current.m_Behaviour.m_DelayBeforeHeadersMs : 0;
    if (Delay > 0) {
        QTimer::singleShot(Delay, this, [this] {
            if (!m_Gone && m_Responding && !m_HeadSent)
                sendHead();
        });
    } else {
        sendHead();
    }
}

// Fills m_Memory or m_pFile for the current request, following the content order.
void TConnection::resolveContent(int& Status, QByteArray& ContentType)
{
    const TBehaviour& Behaviour = m_Current.m_Behaviour;
    if (m_Current.m_ForcedStatus != 0) {
        Status = m_Current.m_ForcedStatus;
        m_Memory = statusBody(Status);
        return;
    }
    if (Behaviour.m_Status != 200) {
        Status = Behaviour.m_Status;
        m_Memory = Behaviour.m_Body.isNull() ? statusBody(Status) : Behaviour.m_Body;
        return;
    }

    QString Root;
    {
        QMutexLocker Lock(&m_State.m_Mutex);
        const auto Memory = m_State.m_Bodies.constFind(m_Current.m_Path);
        if (!Behaviour.m_Body.isNull()) {
            Status = 200;
            m_Memory = Behaviour.m_Body;
            ContentType = Memory != m_State.m_Bodies.cend() ? Memory->m_ContentType : QByteArray("application/octet-stream");
            return;
        }
        if (hasDotDotSegment(m_Current.m_Path)) {
            Status = 403;
            m_Memory = statusBody(Status);
            return;
        }
        if (Memory != m_State.m_Bodies.cend()) {
            Status = 200;
            m_Memory = Memory->m_Bytes;
            ContentType = Memory->m_ContentType;
            return;
        }
        Root = m_State.m_RootCanonical;
    }

    Status = 404;
    m_Memory = statusBody(Status);
    if (Root.isEmpty() || m_Current.m_Path.contains(QChar(0)))
        return;
    const QFileInfo Info(Root + m_Current.m_Path);
    if (!Info.exists() || Info.isDir())
        return;
    const QString Real = Info.canonicalFilePath();
    if (!Real.startsWith(Root + QLatin1Char('/'))) {
        Status = 403;
        m_Memory = statusBody(Status);
        return;
    }
    auto pFile = std::make_unique<QFile>(Real);
    if (!pFile->open(QIODevice::ReadOnly)) {
        Status = 403;
        m_Memory = statusBody(Status);
        return;
    }
    Status = 200;
    ContentType = contentTypeForFile(Real);
    m_Memory.clear();
    m_pFile = std::move(pFile);
}

void TConnection::sendHead()
{
    int Status = 200;
    QByteArray ContentType = "text/plain";
    m_Memory.clear();
    m_pFile.reset();
    resolveContent(Status, ContentType);

    const TBehaviour& Behaviour = m_Current.m_Behaviour;
    qint64 Length = m_pFile ? m_pFile->size() : m_Memory.size();
    if (Status == 204 || Status == 304 || Status < 200) {
        m_Memory.clear();
        m_pFile.reset();
        Length = 0;
    }

    QList<QPair<QByteArray, QByteArray>> Headers;
    Headers.append(qMakePair(QByteArray("Content-Type"), ContentType));
    Headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(Length)));
    Headers.append(qMakePair(QByteArray("Connection"), QByteArray(m_Current.m_KeepAlive ? "keep-alive" : "close")));
    if (Status >= 300 && Status < 400 && !Behaviour.m_Location.isEmpty())
        Headers.append(qMakePair(QByteArray("Location"), Behaviour.m_Location));
    if (m_Current.m_ForcedStatus == 405)
        Headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD, POST")));
    if (m_Current.m_ForcedStatus == 0) {
        for (const auto& Extra : Behaviour.m_ExtraHeaders) {
            const QByteArray Name = Extra.first.toLower();
            Headers.erase(std::remove_if(Headers.begin(), Headers.end(),
                                         [&](const QPair<QByteArray, QByteArray>& Header) { return Header.first.toLower() == Name; }),
                          Headers.end());
        }
        Headers.append(Behaviour.m_ExtraHeaders);
    }

    // A "Connection: close" of our own (from m_ExtraHeaders) is kept as well.
    m_CloseAfter = !m_Current.m_KeepAlive;
    QByteArray Head = "HTTP/1.1 " + QByteArray::number(Status) + ' ' + reasonPhrase(Status) + "\r\n";
    for (const auto& Header : qAsConst(Headers)) {
        Head += Header.first + ": " + Header.second + "\r\n";
        if (Header.first.toLower() == "connection" && Header.second.toLower().contains("close"))
            m_CloseAfter = true;
    }
    if (m_CloseAfter)
        m_StopReading = true;
    Head += "\r\n";
    m_pSocket->write(Head);
    m_HeadSent = true;

    m_Sent = 0;
    m_Limit = m_Current.m_Method == "HEAD" ? 0 : Length;
    m_Cut = ECut::None;
    if (m_Current.m_Method != "HEAD" && m_Current.m_ForcedStatus == 0) {
        qint64 CutAt = -1;
        if (Behaviour.m_ResetAfterBodyBytes >= 0) {
            CutAt = Behaviour.m_ResetAfterBodyBytes;
            m_Cut = ECut::Reset;
        }
        if (Behaviour.m_TruncateAfterBodyBytes >= 0 && (CutAt < 0 || Behaviour.m_TruncateAfterBodyBytes < CutAt)) {
            CutAt = Behaviour.m_TruncateAfterBodyBytes;
            m_Cut = ECut::Truncate;
        }
        if (CutAt >= 0)
            m_Limit = std::min(m_Limit, CutAt);
    }
    pump();
}

// Writes body pieces while the socket's buffer is small; called again on bytesWritten.
void TConnection::pump()
{
    if (!m_Responding || !m_HeadSent || m_Gone || m_PieceDelayRunning)
        return;
    const TBehaviour& Behaviour = m_Current.m_Behaviour;
    const qint64 PieceSize = Behaviour.m_PieceSize > 0 ? Behaviour.m_PieceSize : 64 * 1024;
    const qint64 HighWater = std::max<qint64>(4 * PieceSize, 256 * 1024);

    while (m_Sent < m_Limit && m_pSocket->bytesToWrite() < HighWater) {
        const qint64 Count = std::min(PieceSize, m_Limit - m_Sent);
        QByteArray Piece = m_pFile ? m_pFile->read(Count) : m_Memory.mid(int(m_Sent), int(Count));
        if (Piece.size() != Count) {
            // The file shrank or failed under us: the announced length cannot be kept.
            m_Cut = ECut::Reset;
            m_Limit = m_Sent;
            break;
        }
        if (Behaviour.m_CorruptAll) {
            for (char& Character : Piece)
                Character = char(Character ^ 0xFF);
        } else {
            for (const qint64 Offset : Behaviour.m_CorruptOffsets) {
                if (Offset >= m_Sent && Offset < m_Sent + Count)
                    Piece[int(Offset - m_Sent)] = char(Piece.at(int(Offset - m_Sent)) ^ 0xFF);
            }
        }
        m_pSocket->write(Piece);
        m_Sent += Count;
        if (Behaviour.m_DelayBetweenPiecesMs > 0 && m_Sent < m_Limit) {
            m_PieceDelayRunning = true;
            QTimer::singleShot(Behaviour.m_DelayBetweenPiecesMs, this, [this] {
                m_PieceDelayRunning = false;
                pump();
            });
            return;
        }
    }

    if (m_Sent < m_Limit)
        return; // more when bytesWritten reports progress or the piece delay ends
    if (m_Cut == ECut::None) {
        // Done as soon as the last byte is queued: the client cannot have the whole
        // response before the counters say so.
        endResponse();
    } else if (m_pSocket->bytesToWrite() == 0) {
        cut(); // only once everything before the cut point has left
    }
}

void TConnection::endResponse()
{
    m_Responding = false;
    m_HeadSent = false;
    m_pFile.reset();
    m_Memory.clear();
    {
        QMutexLocker Lock(&m_State.m_Mutex);
        --m_State.m_Active;
        ++m_State.m_Finished;
    }
    if (m_CloseAfter) {
        releaseRequests(); // requests pipelined after this one are dropped with the connection
        m_pSocket->disconnectFromHost();
        return;
    }
    startNext();
}

void TConnection::cut()
{
    const ECut How = m_Cut;
    m_Responding = false;
    m_HeadSent = false;
    m_pFile.reset();
    {
        QMutexLocker Lock(&m_State.m_Mutex);
        --m_State.m_Active;
        ++m_State.m_Finished;
    }
    m_StopReading = true;
    releaseRequests();
    if (How == ECut::Reset) {
#ifdef Q_OS_UNIX
        // Linger 0: close() sends RST instead of FIN.
        struct linger LingerOption;
        LingerOption.l_onoff = 1;
        LingerOption.l_linger = 0;
        ::setsockopt(int(m_pSocket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &LingerOption, sizeof LingerOption);
#endif
        m_pSocket->abort();
        onGone();
    } else {
        m_pSocket->disconnectFromHost();
    }
}

class TServer : public QObject {
public:
    explicit TServer(TServerState& State)
        : m_State(State)
    {
        m_Server.setMaxPendingConnections(1000);
        connect(&m_Server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* pSocket = m_Server.nextPendingConnection())
                new TConnection(m_State, pSocket, this);
        });
    }

    ~TServer() override
    {
        m_Server.close();
        const auto Connections = findChildren<TConnection*>(QString(), Qt::FindDirectChildrenOnly);
        qDeleteAll(Connections);
    }

    bool listen(quint16 Port)
    {
        const bool Ok = m_Server.listen(QHostAddress::LocalHost, Port);
        QMutexLocker Lock(&m_State.m_Mutex);
        m_State.m_Listening = Ok;
        m_State.m_Port = Ok ? m_Server.serverPort() : 0;
        m_State.m_ErrorString = Ok ? QString() : m_Server.errorString();
        return Ok;
    }

private:
    TServerState& m_State;
    QTcpServer m_Server;
};

} // namespace

class TServerThread : public QThread {
public:
    TServerThread(TServerState& State, quint16 Port)
        : m_State(State)
        , m_Port(Port)
    {
    }

    QSemaphore m_Started;

protected:
    void run() override
    {
        TServer Server(m_State);
        const bool Ok = Server.listen(m_Port);
        m_Started.release();
        if (Ok)
            exec();
    }

private:
    TServerState& m_State;
    quint16 m_Port;
};

} // namespace detail

TLoopbackHttpServer::TLoopbackHttpServer(quint16 Port)
    : m_pState(std::make_unique<detail::TServerState>())
    , m_pThread(std::make_unique<detail::TServerThread>(*m_pState, Port))
{
    m_pThread->setObjectName(QStringLiteral("LoopbackHttpServer"));
    m_pThread->start();
    m_pThread->m_Started.acquire();
}

TLoopbackHttpServer::~TLoopbackHttpServer()
{
    m_pThread->quit();
    m_pThread->wait();
}

bool TLoopbackHttpServer::isListening() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Listening;
}

QString TLoopbackHttpServer::errorString() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_ErrorString;
}

quint16 TLoopbackHttpServer::port() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Port;
}

QUrl TLoopbackHttpServer::url(const QString& Path) const
{
    QString Tail = Path;
    if (!Tail.startsWith(QLatin1Char('/')))
        Tail.prepend(QLatin1Char('/'));
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()) + Tail);
}

void TLoopbackHttpServer::serveDirectory(const QString& Dir)
{
    QString Canonical;
    if (!Dir.isEmpty()) {
        Canonical = QFileInfo(Dir).canonicalFilePath();
        if (Canonical.isEmpty())
            qWarning("TLoopbackHttpServer::serveDirectory: '%s' does not exist", qPrintable(Dir));
        while (Canonical.endsWith(QLatin1Char('/')))
            Canonical.chop(1); // "/" itself becomes "", which serves nothing
    }
    QMutexLocker Lock(&m_pState->m_Mutex);
    m_pState->m_RootCanonical = Canonical;
}

void TLoopbackHttpServer::setBody(const QString& Path, const QByteArray& Bytes, const QByteArray& ContentType)
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    m_pState->m_Bodies.insert(detail::normalisedKey(Path), detail::TMemoryBody {Bytes, ContentType});
}

void TLoopbackHttpServer::removeBody(const QString& Path)
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    m_pState->m_Bodies.remove(detail::normalisedKey(Path));
}

void TLoopbackHttpServer::setBehaviour(const QString& Path, const TBehaviour& Behaviour)
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    m_pState->m_Behaviours.insert(detail::normalisedKey(Path), Behaviour);
}

void TLoopbackHttpServer::queueBehaviour(const QString& Path, const TBehaviour& Behaviour)
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    m_pState->m_Queued[detail::normalisedKey(Path)].enqueue(Behaviour);
}

int TLoopbackHttpServer::queuedBehaviourCount(const QString& Path) const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Queued.value(detail::normalisedKey(Path)).size();
}

void TLoopbackHttpServer::clearBehaviour(const QString& Path)
{
    const QString Key = detail::normalisedKey(Path);
    QMutexLocker Lock(&m_pState->m_Mutex);
    m_pState->m_Behaviours.remove(Key);
    m_pState->m_Queued.remove(Key);
}

int TLoopbackHttpServer::requestCount(const QString& Path) const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Counts.value(detail::normalisedKey(Path));
}

QMap<QString, int> TLoopbackHttpServer::requestCounts() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Counts;
}

QStringList TLoopbackHttpServer::requestedPaths() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Paths;
}

int TLoopbackHttpServer::totalRequests() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Total;
}

int TLoopbackHttpServer::finishedResponses() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Finished;
}

int TLoopbackHttpServer::acceptedConnections() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Accepted;
}

int TLoopbackHttpServer::openConnections() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Open;
}

int TLoopbackHttpServer::peakConnections() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_PeakOpen;
}

int TLoopbackHttpServer::activeRequests() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Active;
}

int TLoopbackHttpServer::peakActiveRequests() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_PeakActive;
}

QVector<TCapturedRequest> TLoopbackHttpServer::capturedRequests() const
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    return m_pState->m_Captured;
}

void TLoopbackHttpServer::resetCounters()
{
    QMutexLocker Lock(&m_pState->m_Mutex);
    m_pState->m_Counts.clear();
    m_pState->m_Paths.clear();
    m_pState->m_Captured.clear();
    m_pState->m_Total = 0;
    m_pState->m_Finished = 0;
    m_pState->m_Accepted = 0;
    m_pState->m_PeakOpen = m_pState->m_Open;
    m_pState->m_PeakActive = m_pState->m_Active;
}

bool TLoopbackHttpServer::waitForRequests(int Count, int TimeoutMs) const
{
    return waitUntil([this, Count] { return totalRequests() >= Count; }, TimeoutMs);
}

bool TLoopbackHttpServer::waitForFinishedResponses(int Count, int TimeoutMs) const
{
    return waitUntil([this, Count] { return finishedResponses() >= Count; }, TimeoutMs);
}

bool TLoopbackHttpServer::waitUntil(const std::function<bool()>& Condition, int TimeoutMs) const
{
    if (Condition())
        return true;
    QEventLoop Loop;
    // The tick wakes the loop so Condition, which changes on another thread, is seen.
    QTimer Tick;
    Tick.setInterval(5);
    Tick.start();
    QElapsedTimer Elapsed;
    Elapsed.start();
    while (!Condition()) {
        if (Elapsed.elapsed() >= TimeoutMs)
            return Condition();
        Loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace testsupport
