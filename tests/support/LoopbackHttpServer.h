#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for network tests.
//
// The server runs its sockets on a thread of its own, so a test may block its
// main thread (waiting for a child process, a worker thread, a blocking
// socket) while requests are still answered. Every public method may be
// called from any thread.
//
// Content is taken, in this order, from a scripted behaviour's body, from an
// in-memory body (setBody) or from a file below the served directory
// (serveDirectory); anything else is 404. Paths are matched after
// percent-decoding and without the query string; a path with a ".." segment is
// refused with 403, and so is a file whose real location lies outside the
// served directory (symbolic links). Files are streamed in pieces, never read
// whole. GET, HEAD and POST are answered (POST like GET), other methods get
// 405. Every response carries Content-Length; keep-alive and pipelining are
// supported, "Connection: close" (and HTTP/1.0 without keep-alive) closes the
// connection after the response.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>

#include <functional>
#include <memory>

namespace testsupport {

// Scripted behaviour for one URL path.
struct TBehaviour {
    // HTTP status. Anything other than 200 is answered with `m_Body` if set,
    // otherwise with a short text body naming the status.
    int m_Status = 200;
    // Location header sent with a 3xx status (relative or absolute URL).
    QByteArray m_Location;
    // Wait this long after the request is complete before sending the headers.
    int m_DelayBeforeHeadersMs = 0;
    // The body is written in pieces of this size (values <= 0 mean 64 KiB).
    int m_PieceSize = 64 * 1024;
    // Pause between two body pieces.
    int m_DelayBetweenPiecesMs = 0;
    // After this many body bytes, reset the connection (RST, unsent data is lost).
    qint64 m_ResetAfterBodyBytes = -1;
    // After this many body bytes, close the connection normally although the
    // Content-Length header announced the full body.
    qint64 m_TruncateAfterBodyBytes = -1;
    // Body offsets whose byte is sent XOR 0xFF.
    QVector<qint64> m_CorruptOffsets;
    // Send every body byte XOR 0xFF.
    bool m_CorruptAll = false;
    // Replaces the content when not null (QByteArray("") is an empty body,
    // QByteArray() means "no override").
    QByteArray m_Body;
    // Added to the response; a header named like one of the server's own
    // (Content-Type, Content-Length, Connection, Location) replaces it.
    // "Connection: close" here closes the connection after the response, and
    // requests pipelined behind it on that connection are dropped.
    QList<QPair<QByteArray, QByteArray>> m_ExtraHeaders;
};

// One request as the server received it.
struct TCapturedRequest {
    QByteArray m_Method;
    QByteArray m_Path; // request target as sent, with query
    QByteArray m_AbsoluteTarget; // the target when sent in absolute form (to a proxy), else empty
    QList<QPair<QByteArray, QByteArray>> m_Headers; // in arrival order, names lower-case, values trimmed
    QByteArray m_Body;

    // Value of the first header of that (lower-case) name; null if absent.
    QByteArray header(const QByteArray& LowerCaseName) const;
    bool hasHeader(const QByteArray& LowerCaseName) const;
    QList<QByteArray> headerNames() const;
};

namespace detail {
struct TServerState;
class TServerThread;
} // namespace detail

class TLoopbackHttpServer {
public:
    // Listens on 127.0.0.1:Port (0: a free port chosen by the system).
    // Check isListening() when a fixed port is asked for.
    explicit TLoopbackHttpServer(quint16 Port = 0);
    // Stops the server thread; connected clients see their connection closed.
    ~TLoopbackHttpServer();

    TLoopbackHttpServer(const TLoopbackHttpServer&) = delete;
    TLoopbackHttpServer& operator=(const TLoopbackHttpServer&) = delete;

    bool isListening() const;
    QString errorString() const;
    quint16 port() const;
    // "http://127.0.0.1:PORT" + Path (a missing leading '/' is added; a query
    // in Path is kept).
    QUrl url(const QString& Path = QStringLiteral("/")) const;

    // --- content -----------------------------------------------------------
    // Serve files below Dir (an empty string stops serving files).
    void serveDirectory(const QString& Dir);
    void setBody(const QString& Path, const QByteArray& Bytes,
                 const QByteArray& ContentType = QByteArrayLiteral("application/octet-stream"));
    void removeBody(const QString& Path);

    // --- behaviour ---------------------------------------------------------
    // Applies to every request of Path for which no queued behaviour is left.
    void setBehaviour(const QString& Path, const TBehaviour& Behaviour);
    // Applies to the next request of Path only; several are used in FIFO order.
    void queueBehaviour(const QString& Path, const TBehaviour& Behaviour);
    // Queued behaviours of Path not yet used.
    int queuedBehaviourCount(const QString& Path) const;
    // Drops the persistent and all queued behaviours of Path.
    void clearBehaviour(const QString& Path);

    // --- counting (all since construction or the last resetCounters) --------
    // A request is counted (and captured) once it is completely received,
    // before its response starts; a response counts as finished once its last
    // byte is handed to the socket. So when a client has a whole response, the
    // numbers already include it. Connections are counted when the server
    // thread sees them open or close: wait for those (waitUntil).
    // Requests of Path (decoded, without query), whatever their method.
    int requestCount(const QString& Path) const;
    QMap<QString, int> requestCounts() const;
    // Request targets in arrival order, as sent (with query).
    QStringList requestedPaths() const;
    int totalRequests() const;
    // Responses the server is done with: sent completely, or cut off as a
    // behaviour asked (reset / truncate). Not those lost to a client closing.
    int finishedResponses() const;
    // TCP connections accepted.
    int acceptedConnections() const;
    // TCP connections open now, and the most open at the same time.
    int openConnections() const;
    int peakConnections() const;
    // Requests received whose response is not finished (pipelined ones
    // included), now and at most at the same time.
    int activeRequests() const;
    int peakActiveRequests() const;
    // Every request received, in arrival order.
    QVector<TCapturedRequest> capturedRequests() const;
    // Clears counts, paths and captured requests; the peaks restart from the
    // current numbers. Content and behaviours stay.
    void resetCounters();

    // Run the calling thread's event loop until the condition holds or the
    // time is up. Return whether the condition holds.
    bool waitForRequests(int Count, int TimeoutMs = 10000) const;
    bool waitForFinishedResponses(int Count, int TimeoutMs = 10000) const;
    bool waitUntil(const std::function<bool()>& Condition, int TimeoutMs = 10000) const;

private:
    std::unique_ptr<detail::TServerState> m_pState;
    std::unique_ptr<detail::TServerThread> m_pThread;
};

} // namespace testsupport
