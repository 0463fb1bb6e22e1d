#pragma once

// A ZPAQ container whose post-processor is the two-byte program "JMP -2": it never
// halts. It declares one byte of output.

#include <QByteArray>

namespace testsupport {

inline QByteArray loopingZpaqContainer(int PaddedSize = 0)
{
    const QByteArray Block = QByteArray::fromHex("700601237a505102010800000000000000380001000000000000060102003ffe4100000000feff");
    return QByteArray(qMax(0, PaddedSize - Block.size()), '\0') + Block;
}

// Offset of the block's hh byte (log2 of the context model's hash table in 32-bit words)
// in loopingZpaqContainer() without padding.
constexpr int kLoopingZpaqHhOffset = 11;

} // namespace testsupport
