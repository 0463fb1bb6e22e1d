#pragma once

// Bundle containers written by hand for tests.

#include <QByteArray>

namespace testsupport {

// An unsigned size as the container writes it: 7 bits per byte, low group first.
inline QByteArray containerVarint(quint64 Value)
{
    QByteArray Bytes;
    do {
        unsigned char Byte = Value & 0x7F;
        Value >>= 7;
        if (Value) {
            Byte |= 0x80;
        }
        Bytes.append(char(Byte));
    } while (Value);
    return Bytes;
}

// A container of the given algorithm around Payload, after Padding zero bytes.
inline QByteArray containerBytes(int Algorithm, quint64 Unpacked, const QByteArray& Payload, int Padding = 0)
{
    return QByteArray(Padding, '\0') + char(0x70) + char(Algorithm) + containerVarint(Unpacked) + containerVarint(quint64(Payload.size())) +
        Payload;
}

} // namespace testsupport
