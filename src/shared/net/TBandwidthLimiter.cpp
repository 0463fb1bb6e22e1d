#include "TBandwidthLimiter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace shared {

namespace {
// the bucket holds at most this share of a second's bytes: a short burst, no long catch-up
constexpr double kBurstSeconds = 0.1;
constexpr double kSmallestBurst = 4096;

double capacity(std::int64_t Rate)
{
    return std::max(static_cast<double>(Rate) * kBurstSeconds, kSmallestBurst);
}
} // namespace

TBandwidthLimiter::TBandwidthLimiter(std::int64_t BytesPerSecond)
{
    m_Clock.start();
    setRate(BytesPerSecond);
}

void TBandwidthLimiter::setRate(std::int64_t BytesPerSecond)
{
    QMutexLocker Lock(&m_Mutex);
    m_Rate = std::max<std::int64_t>(BytesPerSecond, 0);
    m_Tokens = std::min(m_Tokens, capacity(m_Rate));
    m_LastRefillNs = m_Clock.nsecsElapsed();
}

std::int64_t TBandwidthLimiter::rate() const
{
    QMutexLocker Lock(&m_Mutex);
    return m_Rate;
}

void TBandwidthLimiter::refill()
{
    const std::int64_t Now = m_Clock.nsecsElapsed();
    const double Seconds = static_cast<double>(Now - m_LastRefillNs) / 1e9;
    m_LastRefillNs = Now;
    m_Tokens = std::min(m_Tokens + Seconds * static_cast<double>(m_Rate), capacity(m_Rate));
}

std::int64_t TBandwidthLimiter::allowance()
{
    QMutexLocker Lock(&m_Mutex);
    if (m_Rate == 0) {
        return std::numeric_limits<std::int64_t>::max();
    }
    refill();
    return m_Tokens >= 1 ? static_cast<std::int64_t>(m_Tokens) : 0;
}

void TBandwidthLimiter::consume(std::int64_t Bytes)
{
    QMutexLocker Lock(&m_Mutex);
    if (m_Rate == 0) {
        return;
    }
    refill();
    m_Tokens -= static_cast<double>(Bytes);
}

int TBandwidthLimiter::millisecondsUntilAllowance()
{
    QMutexLocker Lock(&m_Mutex);
    if (m_Rate == 0) {
        return 1;
    }
    refill();
    const double Missing = 1 - m_Tokens;
    if (Missing <= 0) {
        return 1;
    }
    const double Milliseconds = std::ceil(Missing / static_cast<double>(m_Rate) * 1000.0);
    return static_cast<int>(std::clamp(Milliseconds, 1.0, 1000.0));
}

} // namespace shared
