#include "PackProgress.h"

#include <cstdio>
#include <unistd.h>

namespace zarvo::pack {

namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(500);
constexpr auto kLogInterval = std::chrono::seconds(15);

QString megabytes(std::uint64_t Bytes)
{
    return QString::number(static_cast<double>(Bytes) / 1e6, 'f', 1);
}

} // namespace

TPackProgress::TPackProgress(bool Quiet)
    : m_Quiet(Quiet)
    , m_Terminal(::isatty(STDERR_FILENO) == 1)
{
}

TPackProgress::~TPackProgress()
{
    if (m_Thread.joinable()) {
        end(false, 0);
    }
}

void TPackProgress::begin(const QString& Label, std::uint64_t TotalFiles, std::uint64_t TotalBytes)
{
    m_Label = Label;
    m_TotalFiles = TotalFiles;
    m_TotalBytes = TotalBytes;
    m_FilesRead = 0;
    m_BytesDone = 0;
    m_BytesPacked = 0;
    m_Start = std::chrono::steady_clock::now();
    if (m_Quiet) {
        return;
    }
    m_Running = true;
    m_Thread = std::thread([this] { run(); });
}

void TPackProgress::end(bool Completed, std::uint64_t DistinctChunks)
{
    if (m_Thread.joinable()) {
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_Running = false;
        }
        m_Wake.notify_all();
        m_Thread.join();
    }
    if (m_Quiet) {
        return;
    }
    if (m_Terminal) {
        std::fprintf(stderr, "\r\033[K");
    }
    if (Completed) {
        const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
        const std::uint64_t Done = m_BytesDone.load();
        const QString Line = QStringLiteral("%1: %2 files, %3 MB in %4 chunks, packed to %5 MB, %6 s, %7 MB/s\n")
                                 .arg(m_Label)
                                 .arg(m_TotalFiles)
                                 .arg(megabytes(Done))
                                 .arg(DistinctChunks)
                                 .arg(megabytes(m_BytesPacked.load()))
                                 .arg(Seconds, 0, 'f', 1)
                                 .arg(Seconds > 0 ? static_cast<double>(Done) / 1e6 / Seconds : 0.0, 0, 'f', 1);
        std::fputs(Line.toLocal8Bit().constData(), stderr);
    }
    std::fflush(stderr);
}

void TPackProgress::run()
{
    std::unique_lock<std::mutex> Lock(m_Mutex);
    while (m_Running) {
        m_Wake.wait_for(Lock,
                        m_Terminal ? std::chrono::duration_cast<std::chrono::milliseconds>(kTerminalInterval)
                                   : std::chrono::duration_cast<std::chrono::milliseconds>(kLogInterval));
        if (m_Running) {
            print();
        }
    }
}

void TPackProgress::print()
{
    const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    const std::uint64_t Done = m_BytesDone.load(std::memory_order_relaxed);
    const double Percent = m_TotalBytes > 0 ? 100.0 * static_cast<double>(Done) / static_cast<double>(m_TotalBytes) : 100.0;
    const QString Line = QStringLiteral("%1: %2/%3 files read, %4/%5 MB done (%6%), %7 MB/s, packed %8 MB")
                             .arg(m_Label)
                             .arg(m_FilesRead.load(std::memory_order_relaxed))
                             .arg(m_TotalFiles)
                             .arg(megabytes(Done))
                             .arg(megabytes(m_TotalBytes))
                             .arg(Percent, 0, 'f', 0)
                             .arg(Seconds > 0 ? static_cast<double>(Done) / 1e6 / Seconds : 0.0, 0, 'f', 1)
                             .arg(megabytes(m_BytesPacked.load(std::memory_order_relaxed)));
    if (m_Terminal) {
        std::fprintf(stderr, "\r\033[K%s", Line.toLocal8Bit().constData());
    } else {
        std::fprintf(stderr, "%s\n", Line.toLocal8Bit().constData());
    }
    std::fflush(stderr);
}

} // namespace zarvo::pack
