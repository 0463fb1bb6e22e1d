#pragma once

#include <cstddef>

namespace shared {

// Decodes a CRUSH bit stream (bundle container algorithm 21).
//
// Payload/PayloadSize is the bit stream exactly as delimited by the container's
// packed size. The stream has no end marker, so OutputSize must be the
// container's declared unpacked size: decoding stops once that many bytes are
// in Output, which is also the only buffer the decoder writes (it doubles as
// the match window).
//
// Returns true only if exactly OutputSize bytes were decoded and the stream
// ends there: the last token ends in the last payload byte and the fill bits
// after it are zero (the encoder always writes it that way; this also rejects
// an understated unpacked size). Returns false on a match reaching before the
// start of the output or running past OutputSize, on a payload that runs out
// early, on trailing payload bytes or non-zero fill bits, and on null buffers.
// Produced is set to the number of bytes written to Output, never more than
// OutputSize (on failure: the bytes decoded before the error was found; the
// rest of Output is unspecified). OutputSize 0 succeeds only for an empty
// payload.
// Never throws; never reads or writes outside the given buffers.
bool decodeCrush(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
                 std::size_t& Produced) noexcept;

} // namespace shared
