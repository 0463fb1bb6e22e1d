#include "LauncherLogging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace zarvo::launcher {

namespace {

std::shared_ptr<QFile> g_pLogFile;
QMutex g_LogMutex;

// Lines are gathered here and written in batches: an installation logs a dozen lines per
// chunk, and a system call per line cost a twentieth of an installation of small files.
// Nothing that matters waits long: a warning or worse is written at once with all before
// it, a flusher thread writes what is gathered every 100 ms, and a crash writes it from
// the signal handler. The buffer never moves, so that handler can read it.
constexpr std::size_t kBufferSize = 64 * 1024;
constexpr auto kFlushInterval = std::chrono::milliseconds(100);
char g_Buffer[kBufferSize];
std::atomic<std::size_t> g_Buffered{0};
std::atomic<int> g_LogDescriptor{-1};

void writeAll(int Descriptor, const char* pData, std::size_t Size)
{
    while (Size > 0) {
        const ssize_t Written = ::write(Descriptor, pData, Size);
        if (Written < 0 && errno == EINTR) {
            continue;
        }
        if (Written <= 0) {
            return; // a full disk loses log lines, never the launcher
        }
        pData += Written;
        Size -= static_cast<std::size_t>(Written);
    }
}

// Only under g_LogMutex.
void flushBuffer()
{
    const std::size_t Size = g_Buffered.load(std::memory_order_relaxed);
    if (Size > 0) {
        writeAll(g_LogDescriptor.load(std::memory_order_relaxed), g_Buffer, Size);
        g_Buffered.store(0, std::memory_order_relaxed);
    }
}

// Only under g_LogMutex.
void appendLine(const QByteArray& Line)
{
    const auto Size = static_cast<std::size_t>(Line.size());
    if (g_Buffered.load(std::memory_order_relaxed) + Size > kBufferSize) {
        flushBuffer();
    }
    if (Size > kBufferSize) {
        writeAll(g_LogDescriptor.load(std::memory_order_relaxed), Line.constData(), Size);
        return;
    }
    const std::size_t Used = g_Buffered.load(std::memory_order_relaxed);
    std::memcpy(g_Buffer + Used, Line.constData(), Size);
    g_Buffered.store(Used + Size, std::memory_order_release);
}

// Writes what is gathered every kFlushInterval, so that a launcher that hangs (or is
// killed) leaves a log that ends at most that long before.
class TFlusher {
public:
    void start()
    {
        stop();
        m_Stopping = false;
        m_Thread = std::thread([this] {
            std::unique_lock<std::mutex> Lock(m_Mutex);
            while (!m_Stopping) {
                m_Wake.wait_for(Lock, kFlushInterval, [this] { return m_Stopping; });
                QMutexLocker LogLock(&g_LogMutex);
                flushBuffer();
            }
        });
    }
    void stop()
    {
        if (!m_Thread.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_Stopping = true;
        }
        m_Wake.notify_all();
        m_Thread.join();
    }
    // a process that ends through exit() still writes its last lines
    ~TFlusher()
    {
        stop();
        QMutexLocker LogLock(&g_LogMutex);
        if (g_pLogFile) {
            flushBuffer();
        }
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    bool m_Stopping = false;
    std::thread m_Thread;
};

TFlusher g_Flusher;

// A crashing launcher writes the lines it gathered, then the crash takes its course as
// before (the previous handler, or the default: a core dump). The thread that crashed may
// hold the log mutex, so the buffer is read without it.
struct sigaction g_PreviousActions[NSIG];

void onCrashSignal(int Signal, siginfo_t* pInfo, void*)
{
    const int SavedErrno = errno;
    const int Descriptor = g_LogDescriptor.load(std::memory_order_relaxed);
    const std::size_t Size = g_Buffered.load(std::memory_order_acquire);
    if (Descriptor >= 0 && Size <= kBufferSize) {
        writeAll(Descriptor, g_Buffer, Size);
        g_Buffered.store(0, std::memory_order_relaxed);
    }
    sigaction(Signal, &g_PreviousActions[Signal], nullptr);
    if (pInfo == nullptr || pInfo->si_code <= 0) {
        // sent (kill, raise, abort): sent again, delivered once this handler returns
        ::raise(Signal);
    }
    // a fault: the instruction faults again on return, now seen by the previous handler
    errno = SavedErrno;
}

void handleCrashSignals()
{
    struct sigaction Action { };
    Action.sa_sigaction = onCrashSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_SIGINFO;
    for (const int Signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        struct sigaction Current { };
        sigaction(Signal, nullptr, &Current);
        if ((Current.sa_flags & SA_SIGINFO) == 0 || Current.sa_sigaction != onCrashSignal) {
            sigaction(Signal, &Action, &g_PreviousActions[Signal]);
        }
    }
}

// The time stamp of the current second, formatted once per second: an installation logs
// a dozen lines per chunk, from several threads, and a local time costs glibc a look at
// the time zone file each time. Only used under g_LogMutex.
QString currentStamp()
{
    static qint64 s_Second = -1;
    static QString s_Stamp;
    const qint64 Second = QDateTime::currentSecsSinceEpoch();
    if (Second != s_Second) {
        s_Second = Second;
        s_Stamp = QDateTime::fromSecsSinceEpoch(Second).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    return s_Stamp;
}

QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message, const QString& Stamp)
{
    const char* Level = "Debug";
    switch (Type) {
    case QtDebugMsg:
        break;
    case QtWarningMsg:
        Level = "Warning";
        break;
    case QtCriticalMsg:
        Level = "Critical";
        break;
    case QtInfoMsg:
        Level = "Info";
        break;
    case QtFatalMsg:
        Level = "Fatal";
        break;
    }
    QString Line;
    Line.reserve(Stamp.size() + Message.size() + 64);
    Line += Stamp;
    Line += QLatin1String(" (");
    Line += QString::fromUtf8(Context.file ? Context.file : "");
    Line += QLatin1Char(':');
    Line += QString::number(Context.line);
    Line += QLatin1String(") ");
    Line += QLatin1String(Level);
    Line += QLatin1String(": ");
    Line += Message;
    return Line;
}

void messageHandler(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
    {
        QMutexLocker Lock(&g_LogMutex);
        if (g_pLogFile) {
            QByteArray Line = formatLogLine(Type, Context, Message, currentStamp()).toUtf8();
            Line += '\n';
            appendLine(Line);
            if (Type != QtDebugMsg && Type != QtInfoMsg) {
                flushBuffer();
            }
        }
    }
    if (Type == QtFatalMsg) {
        std::abort();
    }
}

} // namespace

QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
    return formatLogLine(Type, Context, Message, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

void setupLoggingToFile(const QString& FilePath)
{
    auto pFile = std::make_shared<QFile>(FilePath);
    pFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
    {
        QMutexLocker Lock(&g_LogMutex);
        if (g_pLogFile) {
            flushBuffer();
        }
        g_pLogFile = pFile;
        g_LogDescriptor.store(pFile->handle(), std::memory_order_relaxed);
    }
    handleCrashSignals();
    g_Flusher.start();
    qInstallMessageHandler(messageHandler);
}

void setupLogging()
{
    const QString Directory = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (!QDir(Directory).exists() && !QDir().mkpath(Directory)) {
        throw std::runtime_error("Failed to create subdirectory.");
    }
    const QString FileName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    setupLoggingToFile(QDir::cleanPath(Directory + QDir::separator() + FileName + QStringLiteral(".log")));
}

void flushLog()
{
    QMutexLocker Lock(&g_LogMutex);
    if (g_pLogFile) {
        flushBuffer();
    }
}

void shutdownLogging()
{
    qInstallMessageHandler(nullptr);
    g_Flusher.stop();
    QMutexLocker Lock(&g_LogMutex);
    if (g_pLogFile) {
        flushBuffer();
    }
    g_LogDescriptor.store(-1, std::memory_order_relaxed);
    g_pLogFile.reset();
}

} // namespace zarvo::launcher
