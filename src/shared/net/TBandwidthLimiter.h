#pragma once

#include <QElapsedTimer>
#include <QMutex>

#include <cstdint>

namespace shared {

// A token bucket: bytes may be taken at the configured rate, with a burst of a tenth of a
// second. Takers may overdraw (a reply's last bytes must be taken whole); the debt delays
// the next taker. A rate of 0 means unlimited.
class TBandwidthLimiter {
public:
    explicit TBandwidthLimiter(std::int64_t BytesPerSecond = 0);

    void setRate(std::int64_t BytesPerSecond);
    std::int64_t rate() const;

    // Bytes that may be taken now; 0 while the bucket is empty or in debt.
    std::int64_t allowance();
    void consume(std::int64_t Bytes);
    // How long until allowance() is positive again, at least 1 ms.
    int millisecondsUntilAllowance();

private:
    void refill();

    mutable QMutex m_Mutex;
    QElapsedTimer m_Clock;
    std::int64_t m_Rate = 0;
    double m_Tokens = 0;
    std::int64_t m_LastRefillNs = 0;
};

} // namespace shared
