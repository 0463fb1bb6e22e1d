#pragma once

// Progress of a packing run on standard error: files read, bytes done, throughput.
// On a terminal one line is redrawn twice a second; otherwise (a log, a pipe) a line is
// written every 15 seconds. Quiet mode prints nothing.

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zarvo::pack {

class TPackProgress {
public:
    explicit TPackProgress(bool Quiet);
    ~TPackProgress();
    TPackProgress(const TPackProgress&) = delete;
    TPackProgress& operator=(const TPackProgress&) = delete;

    // Starts reporting one document (Label: "package" or "assets").
    void begin(const QString& Label, std::uint64_t TotalFiles, std::uint64_t TotalBytes);
    void fileRead() { m_FilesRead.fetch_add(1, std::memory_order_relaxed); }
    // Input bytes whose chunk is compressed (or was already stored), and what they took.
    void bytesDone(std::uint64_t Unpacked, std::uint64_t Packed)
    {
        m_BytesDone.fetch_add(Unpacked, std::memory_order_relaxed);
        m_BytesPacked.fetch_add(Packed, std::memory_order_relaxed);
    }
    // Stops reporting; when Completed, prints the document's summary line.
    void end(bool Completed, std::uint64_t DistinctChunks);

private:
    void run();
    void print();

    const bool m_Quiet;
    const bool m_Terminal;
    QString m_Label;
    std::uint64_t m_TotalFiles = 0;
    std::uint64_t m_TotalBytes = 0;
    std::atomic<std::uint64_t> m_FilesRead {0};
    std::atomic<std::uint64_t> m_BytesDone {0};
    std::atomic<std::uint64_t> m_BytesPacked {0};
    std::chrono::steady_clock::time_point m_Start;
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    bool m_Running = false;
    std::thread m_Thread;
};

} // namespace zarvo::pack
