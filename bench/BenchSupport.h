#pragma once

// Shared pieces of the hand-run benchmarks: generated game-like data, the process's
// memory figures, a quiet log handler that still counts the lines a benchmark cares
// about, and package documents turned into download lists.

#include "TPackageConfigurationReader.h"
#include "TPackageDifference.h"

#include <QAtomicInt>
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace benchsupport {

// --- memory -----------------------------------------------------------------------

// A "VmXXX:" figure of /proc/self/status in KiB (0 when missing).
inline long long procStatusKiB(const char* Key)
{
    QFile Status(QStringLiteral("/proc/self/status"));
    if (!Status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray Prefix = QByteArray(Key) + ':';
    for (const QByteArray& Line : Status.readAll().split('\n')) {
        if (Line.startsWith(Prefix)) {
            return Line.mid(Prefix.size()).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return 0;
}
inline double peakRssMiB()
{
    return procStatusKiB("VmHWM") / 1024.0;
}
inline double currentRssMiB()
{
    return procStatusKiB("VmRSS") / 1024.0;
}

// --- logging ----------------------------------------------------------------------

// The engine logs every chunk step; the benchmarks drop those lines (a real launcher
// writes them to its log file) but count the ones that tell where chunks went.
struct TLogCounters {
    QAtomicInt m_ParkedInTemporaryFile; // "parked chunk in <temporary file>"
    QAtomicInt m_WrittenFromCache; // slot written from a chunk parked in memory
    QAtomicInt m_WrittenFromTemporary; // slot written from a temporary file
    QAtomicInt m_Warnings;
    QAtomicInt m_Retries;
};

inline TLogCounters& logCounters()
{
    static TLogCounters Counters;
    return Counters;
}

inline void quietMessageHandler(QtMsgType Type, const QMessageLogContext&, const QString& Message)
{
    TLogCounters& Counters = logCounters();
    if (Type == QtWarningMsg || Type == QtCriticalMsg || Type == QtFatalMsg) {
        Counters.m_Warnings.ref();
        std::fprintf(stderr, "engine: %s\n", qPrintable(Message));
        return;
    }
    if (Type != QtInfoMsg) {
        return;
    }
    if (Message.startsWith(QLatin1String("parked chunk in"))) {
        Counters.m_ParkedInTemporaryFile.ref();
    } else if (Message.startsWith(QLatin1String("saveDownloadedData chunk"))) {
        if (Message.contains(QLatin1String("from cache to"))) {
            Counters.m_WrittenFromCache.ref();
        } else if (Message.contains(QLatin1String("from temp file to"))) {
            Counters.m_WrittenFromTemporary.ref();
        }
    } else if (Message.startsWith(QLatin1String("Retry "))) {
        Counters.m_Retries.ref();
    }
}

// --- generated data -----------------------------------------------------------------

// Fast deterministic random numbers (xoshiro256**).
class TRandom {
public:
    explicit TRandom(std::uint64_t Seed)
    {
        for (std::uint64_t& Word : m_State) {
            Seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t Z = Seed;
            Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
            Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
            Word = Z ^ (Z >> 31);
        }
    }
    std::uint64_t next()
    {
        const std::uint64_t Result = rotl(m_State[1] * 5, 7) * 9;
        const std::uint64_t T = m_State[1] << 17;
        m_State[2] ^= m_State[0];
        m_State[3] ^= m_State[1];
        m_State[1] ^= m_State[2];
        m_State[0] ^= m_State[3];
        m_State[2] ^= T;
        m_State[3] = rotl(m_State[3], 45);
        return Result;
    }

private:
    static std::uint64_t rotl(std::uint64_t X, int K) { return (X << K) | (X >> (64 - K)); }
    std::uint64_t m_State[4];
};

// Fills Data with bytes like those of packed game assets: mostly noise that a compressor
// can squeeze only a little (bytes below 0xC0 in 7 of 8 blocks of 4 KiB, so LZMA keeps
// its chunks instead of storing them), with now and then a short repeat of earlier
// bytes and a run of table-like records. The same seed gives the same bytes.
inline void fillGameData(unsigned char* Data, std::size_t Size, std::uint64_t Seed)
{
    TRandom Random(Seed);
    std::size_t Position = 0;
    while (Position < Size) {
        const std::size_t Block = std::min<std::size_t>(4096, Size - Position);
        const std::uint64_t Kind = Random.next() % 16;
        unsigned char* Out = Data + Position;
        if (Kind < 13 || Position < 65536) {
            // noise with a skewed byte distribution
            std::size_t Index = 0;
            while (Index < Block) {
                std::uint64_t Word = Random.next();
                for (int Byte = 0; Byte < 8 && Index < Block; ++Byte, ++Index) {
                    const unsigned Value = static_cast<unsigned>(Word & 0xFF);
                    Word >>= 8;
                    Out[Index] = static_cast<unsigned char>(Kind < 2 ? Value : (Value * 3) / 4);
                }
            }
        } else if (Kind < 15) {
            // a copy of some earlier bytes, as assets repeat headers and palettes
            const std::size_t Back = 4096 + Random.next() % std::min<std::size_t>(Position - 4096, 1 << 20);
            std::memcpy(Out, Out - Back, Block);
            Out[Random.next() % Block] ^= 0x5A;
        } else {
            // records: small integers and a few names
            static const char kNames[] = "meshtexturesoundanimationmaterialshader";
            std::size_t Index = 0;
            while (Index < Block) {
                const std::uint64_t Word = Random.next();
                const unsigned char Record[16] = {static_cast<unsigned char>(Word & 0x3F),
                                                  0,
                                                  0,
                                                  0,
                                                  static_cast<unsigned char>((Word >> 8) & 0xFF),
                                                  static_cast<unsigned char>((Word >> 16) & 0x0F),
                                                  0,
                                                  0,
                                                  static_cast<unsigned char>(kNames[(Word >> 24) % 32]),
                                                  static_cast<unsigned char>(kNames[(Word >> 32) % 32]),
                                                  static_cast<unsigned char>(kNames[(Word >> 40) % 32]),
                                                  0,
                                                  0x3F,
                                                  0x80,
                                                  0,
                                                  0};
                const std::size_t Take = std::min<std::size_t>(16, Block - Index);
                std::memcpy(Out + Index, Record, Take);
                Index += Take;
            }
        }
        Position += Block;
    }
}

// --- documents ----------------------------------------------------------------------

inline QByteArray readWholeFile(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

// Every file of the document with all its chunks still to fetch, as for a first
// installation into an empty directory.
inline std::vector<zarvo::launcher::TFileToDownload> everythingToDownload(const zarvo::launcher::TPackageConfigurationReader& Document)
{
    std::vector<zarvo::launcher::TFileToDownload> Files;
    for (const zarvo::launcher::TFileInPackage& File : Document.m_Files) {
        zarvo::launcher::TFileToDownload Entry;
        Entry.m_LocalFile = File.m_LocalFile;
        Entry.m_UnpackedSize = File.m_UnpackedSize;
        Entry.m_UnpackedHash = File.m_UnpackedHash;
        Entry.m_Executable = File.m_Executable;
        for (std::int32_t Position : File.m_Chunks) {
            Entry.m_Chunks.push_back(Document.m_Chunks.at(static_cast<std::size_t>(Position)));
        }
        for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
            Entry.m_ChunksToDownload.push_back(static_cast<std::int32_t>(Index));
        }
        Files.push_back(Entry);
    }
    return Files;
}

// Runs the event loop until Done() holds or Seconds pass; false on time-out. Sleeps
// between events (processEvents with a time limit would poll without sleeping and eat a
// core); a 50 ms tick makes sure Done() is looked at now and then.
inline bool runUntil(const std::function<bool()>& Done, int Seconds)
{
    QElapsedTimer Timer;
    Timer.start();
    QTimer Tick;
    Tick.start(50);
    while (!Done()) {
        if (Timer.elapsed() > Seconds * 1000LL) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Largest gap between the ticks of a 10 ms timer on the thread that runs the event loop:
// how long a window on that thread could not have repainted or answered a click.
class TStallProbe {
public:
    TStallProbe()
    {
        m_Timer.setTimerType(Qt::PreciseTimer);
        m_Timer.setInterval(10);
        QObject::connect(&m_Timer, &QTimer::timeout, [this] {
            const qint64 Now = m_Clock.nsecsElapsed();
            if (Now - m_PreviousTick > m_LargestGapNs) {
                m_LargestGapNs = Now - m_PreviousTick;
                m_LargestGapEndNs = Now;
            }
            m_PreviousTick = Now;
        });
    }
    void start()
    {
        m_LargestGapNs = 0;
        m_Clock.start();
        m_PreviousTick = 0;
        m_Timer.start();
    }
    // the gap so far; the probe keeps running
    double largestGapMs() const { return m_LargestGapNs / 1e6; }
    // when the largest gap ended, in seconds since start()
    double largestGapEnd() const { return m_LargestGapEndNs / 1e9; }
    void restartPhase() { m_LargestGapNs = 0; }

private:
    QTimer m_Timer;
    QElapsedTimer m_Clock;
    qint64 m_PreviousTick = 0;
    qint64 m_LargestGapNs = 0;
    qint64 m_LargestGapEndNs = 0;
};

} // namespace benchsupport
