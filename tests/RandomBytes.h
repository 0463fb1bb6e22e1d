#pragma once

// Reproducible incompressible test data: the same seed gives the same bytes.

#include <QByteArray>

#include <random>

namespace testsupport {

inline QByteArray randomBytes(int Size, quint64 Seed)
{
    QByteArray Data(Size, Qt::Uninitialized);
    std::mt19937_64 Generator(Seed);
    auto* pWords = reinterpret_cast<quint64*>(Data.data());
    for (int Index = 0; Index < Size / 8; ++Index) {
        pWords[Index] = Generator();
    }
    for (int Index = Size / 8 * 8; Index < Size; ++Index) {
        Data[Index] = char(Generator());
    }
    return Data;
}

} // namespace testsupport
