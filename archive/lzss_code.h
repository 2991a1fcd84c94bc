// Internal to the LZSS codec: the code byte and big-endian loads shared by
// the decoder and the encoder.
#pragma once

#include <cstring>

#include "core/types.h"

namespace lzss {

const u32 kMinOffsetBits = 10;
const u32 kMaxOffsetBits = 12;
const u32 kMinLengthBits = 1;
const u32 kMaxLengthBits = 5;
const u32 kLiteralBits = 9;  // flag bit + byte

inline u32 OffsetBits(u8 code) { return code >> 4; }
inline u32 LengthBits(u8 code) { return code & 0x0F; }

inline u64 Load64BE(const u8 *p) {
  u64 v;
  memcpy(&v, p, 8);
#if defined(__GNUC__)
  return __builtin_bswap64(v);
#else
  u64 r = 0;
  for (int i = 0; i < 8; i++) r = (r << 8) | p[i];
  return r;
#endif
}

}  // namespace lzss
