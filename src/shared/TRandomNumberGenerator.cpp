#include "TRandomNumberGenerator.h"

#include <QtGlobal>

#include <random>

namespace shared {

namespace {

constexpr std::uint64_t kDrawCount = TRandomNumberGenerator::kModulus - 1; // distinct draws: 1 ... 2^31-2
constexpr std::uint64_t kLargestSingleDrawRange = kDrawCount - 1; // 2147483645

std::uint32_t normaliseSeed(std::uint64_t Seed)
{
    const auto State = static_cast<std::uint32_t>(Seed % TRandomNumberGenerator::kModulus);
    return State == 0 ? 1u : State;
}

} // namespace

TRandomNumberGenerator::TRandomNumberGenerator()
    : m_State(normaliseSeed(std::random_device("default")()))
{
}

TRandomNumberGenerator::TRandomNumberGenerator(std::uint32_t Seed)
    : m_State(normaliseSeed(Seed))
{
}

TRandomNumberGenerator& TRandomNumberGenerator::instance()
{
    static TRandomNumberGenerator Generator;
    return Generator;
}

std::uint32_t TRandomNumberGenerator::nextDraw()
{
    m_State = static_cast<std::uint32_t>((static_cast<std::uint64_t>(m_State) * kMultiplier) % kModulus);
    return m_State;
}

std::uint64_t TRandomNumberGenerator::uniformOffset(std::uint64_t Range)
{
    if (Range < kLargestSingleDrawRange) {
        const std::uint64_t Scale = kLargestSingleDrawRange / (Range + 1);
        std::uint64_t Draw = 0;
        do {
            Draw = nextDraw();
        } while (Draw - 1 >= (Range + 1) * Scale);
        return (Draw - 1) / Scale;
    }
    if (Range == kLargestSingleDrawRange) {
        return nextDraw() - 1;
    }
    // wider than one draw: a uniform high part times the draw count plus one more draw
    std::uint64_t Value = 0;
    for (;;) {
        const std::uint64_t High = uniformOffset(Range / kDrawCount);
        const std::uint64_t Low = nextDraw() - 1;
        const std::uint64_t Scaled = High * kDrawCount;
        if (High != 0 && Scaled / High != kDrawCount) {
            continue; // wrapped
        }
        Value = Scaled + Low;
        if (Value >= Scaled && Value <= Range) {
            return Value;
        }
    }
}

std::uint64_t TRandomNumberGenerator::uniformUnsigned(std::uint64_t Min, std::uint64_t Max)
{
    return uniformUnsignedInRange(Min, Max);
}

std::uint64_t TRandomNumberGenerator::uniformUnsignedInRange(std::uint64_t Min, std::uint64_t Max)
{
    Q_ASSERT_X(Min <= Max, "TRandomNumberGenerator", "Min <= Max");
    return Min + uniformOffset(Max - Min);
}

std::int64_t TRandomNumberGenerator::uniformSigned(std::int64_t Min, std::int64_t Max)
{
    Q_ASSERT_X(Min <= Max, "TRandomNumberGenerator", "Min <= Max");
    const std::uint64_t Range = static_cast<std::uint64_t>(Max) - static_cast<std::uint64_t>(Min);
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(Min) + uniformOffset(Range));
}

} // namespace shared
