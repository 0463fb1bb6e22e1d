#pragma once

// LZMA containers made in the test, as the publisher's tool writes them (an .lzma stream
// behind the container header), for data larger than any codec vector.

#include "ContainerBytes.h"

#include <QByteArray>

#include <lzma.h>

#include <stdexcept>

namespace testsupport {

inline QByteArray lzmaPayload(const QByteArray& Data)
{
    lzma_options_lzma Options;
    lzma_lzma_preset(&Options, 1);
    lzma_stream Stream = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&Stream, &Options) != LZMA_OK) {
        throw std::runtime_error("no LZMA encoder");
    }
    QByteArray Payload(Data.size() + Data.size() / 2 + 4096, Qt::Uninitialized);
    Stream.next_in = reinterpret_cast<const uint8_t*>(Data.constData());
    Stream.avail_in = static_cast<size_t>(Data.size());
    Stream.next_out = reinterpret_cast<uint8_t*>(Payload.data());
    Stream.avail_out = static_cast<size_t>(Payload.size());
    const lzma_ret Result = lzma_code(&Stream, LZMA_FINISH);
    Payload.resize(static_cast<int>(Stream.total_out));
    lzma_end(&Stream);
    if (Result != LZMA_STREAM_END) {
        throw std::runtime_error("LZMA encoding failed");
    }
    return Payload;
}

inline QByteArray lzmaContainer(const QByteArray& Data)
{
    return containerBytes(5, quint64(Data.size()), lzmaPayload(Data), 16);
}

// Text-like bytes LZMA packs well: lines of words drawn by a fixed generator.
inline QByteArray wordyBytes(int Size, quint32 Seed)
{
    static const char* const kWords[] = {"torvane", "chunk", "halvern", "patch", "client", "launcher", "offset", "\n"};
    QByteArray Data;
    Data.reserve(Size + 16);
    quint32 State = Seed * 2654435761u + 7;
    while (Data.size() < Size) {
        State = State * 1664525u + 1013904223u;
        Data += kWords[State >> 29];
        Data += char('0' + (State >> 8) % 10);
        Data += ' ';
    }
    Data.truncate(Size);
    return Data;
}

} // namespace testsupport
