#pragma once

#include <cstddef>

namespace shared {

// Decodes a CSC payload (bundle container algorithm 14): the 10 properties bytes
// followed by the interleaved range-coder / direct-bit chunks, up to and
// including the end-of-stream block.
//
// Output must have room for OutputSize bytes, the unpacked size the container
// declares; the output buffer doubles as the LZ history, so no window of the
// declared dictionary size is allocated. Returns true only for a well-formed
// stream that ends with its end-of-stream block after exactly OutputSize bytes.
// Produced receives the number of bytes written to Output; after a failure it
// only tells how far decoding got, and those bytes must not be used.
//
// Hostile input is safe: no read outside the payload, no write outside
// Output, no allocation beyond the fixed models (about 260 KiB), one scratch
// block (at most the properties' raw block size and never more than
// OutputSize) and a list of blocks whose filter is still pending, capped by
// the declared dictionary size. Never throws.
bool decodeCsc(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
               std::size_t& Produced) noexcept;

} // namespace shared
