// The LZSS block codec. A block is coded alone, with no history from other
// blocks, as one bit string written most significant bit first. The code
// byte chooses the field widths: high nibble W (offset bits, 10..12), low
// nibble L (length bits, 1..5). Tokens:
//   literal: 1, then the byte (8 bits)
//   match:   0, x (W bits), f (L bits); length f + 2. x != 0 copies from
//            2^W - x bytes back, one byte at a time (so short distances
//            repeat); x == 0 skips over `length` bytes and leaves them as
//            they are (an unchanged run).
// The stream is padded with zero bits to a whole byte.
//
// Safety: the decoder never reads outside [source, source + sourceLength)
// and never writes outside [destination, destination + capacity), whatever
// the stream holds. A stream whose copy would reach before the start of the
// block, or whose output would pass the capacity, is rejected with
// INVALIDFORMAT. Decoding in place is allowed when the stream sits at the
// tail of the destination buffer (the compressed file does this).
#pragma once

#include "core/errors.h"
#include "core/types.h"

// True for the 15 codes the codec knows (W in 10..12, L in 1..5).
bool LzssCodeIsValid(u8 code);

// Decodes one block stream. *lengthInOut holds the destination's capacity
// on entry and the bytes produced on success. An empty stream gives 0 bytes
// under any code; an unknown code on a non-empty stream: NOSUCHBITLENGTHS;
// a damaged stream: INVALIDFORMAT.
Error LzssDecode(const void *source, u32 sourceLength, void *destination,
                 u32 *lengthInOut, u8 code);

// Encodes one block greedily with a longest-match search tree. The whole
// capacity (*lengthInOut on entry) is zeroed first; on success
// *lengthInOut is the stream length. `reference`, when not null, holds the
// block's prior contents (sourceLength bytes): stretches that still agree
// with it become unchanged runs. Stream longer than the capacity:
// BUFFERTOOSMALL; unknown code: NOSUCHBITLENGTHS; no work memory:
// NOTENOUGHMEM.
Error LzssEncode(const void *source, u32 sourceLength, void *destination,
                 u32 *lengthInOut, u8 code, const void *reference);
