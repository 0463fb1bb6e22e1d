#pragma once

#include <cstdint>

namespace shared {

// The process's source of uniform random integers: the minimal standard multiplicative
// generator (state * 16807 mod 2^31-1), seeded from the system's random device.
class TRandomNumberGenerator {
public:
    static constexpr std::uint32_t kModulus = 2147483647u; // 2^31 - 1
    static constexpr std::uint32_t kMultiplier = 16807u;

    TRandomNumberGenerator();
    explicit TRandomNumberGenerator(std::uint32_t Seed);
    virtual ~TRandomNumberGenerator() = default;

    virtual std::uint64_t uniformUnsigned(std::uint64_t Min, std::uint64_t Max);
    virtual std::uint64_t uniformUnsignedInRange(std::uint64_t Min, std::uint64_t Max);
    virtual std::int64_t uniformSigned(std::int64_t Min, std::int64_t Max);

    // The process-wide generator, made on first use.
    static TRandomNumberGenerator& instance();

private:
    std::uint32_t nextDraw(); // 1 ... 2147483646
    std::uint64_t uniformOffset(std::uint64_t Range);

    std::uint32_t m_State;
};

} // namespace shared
