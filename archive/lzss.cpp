#include "archive/lzss.h"

#include <cstring>

#include "archive/lzss_code.h"

using namespace lzss;

namespace {

// ---------------------------------------------------------------------------
// Decoder

// The 64 bits from byte i on when fewer than 8 bytes are left: bytes past
// the end of the stream read as zero.
inline u64 LoadTailBE(const u8 *src, size_t srcLen, size_t i) {
  u64 v = 0;
  for (int k = 0; k < 8; k++) {
    v <<= 8;
    if (i + k < srcLen) v |= src[i + k];
  }
  return v;
}

// 2 to 8 bytes from mp to op with two loads before any store (the two halves
// may overlap each other, the source and the destination must not).
inline void CopyTwoToEight(u8 *op, const u8 *mp, u32 n) {
  if (n >= 4) {
    u32 a, b;
    memcpy(&a, mp, 4);
    memcpy(&b, mp + n - 4, 4);
    memcpy(op, &a, 4);
    memcpy(op + n - 4, &b, 4);
  } else {
    u16 a, b;
    memcpy(&a, mp, 2);
    memcpy(&b, mp + n - 2, 2);
    memcpy(op, &a, 2);
    memcpy(op + n - 2, &b, 2);
  }
}

// Copies n bytes from `distance` back, with the format's byte-at-a-time
// meaning, writing exactly [op, op + n). The caller has checked the range.
inline void CopyMatch(u8 *op, u32 distance, u32 n) {
  const u8 *mp = op - distance;
  if (distance >= 8) {
    // Each 8-byte step reads only bytes already final, so the overlapping
    // case repeats correctly as well.
    if (n <= 8) {
      CopyTwoToEight(op, mp, n);
      return;
    }
    u32 k = 0;
    for (; k + 8 <= n; k += 8) {
      u64 v;
      memcpy(&v, mp + k, 8);
      memcpy(op + k, &v, 8);
    }
    if (k < n) {
      u64 v;
      memcpy(&v, mp + n - 8, 8);
      memcpy(op + n - 8, &v, 8);
    }
    return;
  }
  if (distance >= n) {
    // Short match without overlap: two loads before any store.
    CopyTwoToEight(op, mp, n);
    return;
  }
  if (distance == 1) {
    memset(op, *mp, n);
    return;
  }
  for (u32 k = 0; k < n; k++) op[k] = mp[k];
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
const bool kLittleEndian = true;
#else
const bool kLittleEndian = false;
#endif

// For a copy of n bytes (n <= 16) done as sixteen: which bytes of the two
// little-endian words come from the match.
struct KeepMasks {
  u64 m[17][2];
  KeepMasks() {
    for (u32 n = 0; n <= 16; n++) {
      m[n][0] = n >= 8 ? ~0ull : (1ull << (8 * n)) - 1;
      m[n][1] = n >= 16 ? ~0ull : n <= 8 ? 0 : (1ull << (8 * (n - 8))) - 1;
    }
  }
};
const KeepMasks kKeepMaskTable;
const u64 (&kKeepMask)[17][2] = kKeepMaskTable.m;

// Copies a match of n bytes from `distance` back when the destination has
// at least 16 bytes of room at op.
inline void CopyMatchWithRoom(u8 *op, u32 distance, u32 n) {
  if (kLittleEndian && distance >= n && n <= 16) {
    // Sixteen bytes are read and written back, the first n taken from the
    // match and the rest as they were: no branch on the length, and the
    // bytes after the match (which an unchanged run may keep) stay.
    const u8 *mp = op - distance;
    u64 m0 = kKeepMask[n][0], m1 = kKeepMask[n][1];
    u64 a0, a1, b0, b1;
    memcpy(&a0, mp, 8);
    memcpy(&a1, mp + 8, 8);
    memcpy(&b0, op, 8);
    memcpy(&b1, op + 8, 8);
    a0 = (a0 & m0) | (b0 & ~m0);
    a1 = (a1 & m1) | (b1 & ~m1);
    memcpy(op, &a0, 8);
    memcpy(op + 8, &a1, 8);
  } else {
    CopyMatch(op, distance, n);
  }
}

// Decodes the token at the top of v (at least 57 valid bits). False when
// the token would write outside the destination or copy from before it.
template <u32 W, u32 L>
inline bool DecodeToken(u64 v, u8 *dst, u32 capacity, u32 &o, size_t &b) {
  const u32 kWindow = 1u << W;
  if (v >> 63) {
    if (o >= capacity) return false;
    dst[o++] = static_cast<u8>(v >> 55);
    b += kLiteralBits;
    return true;
  }
  u32 x = static_cast<u32>(v >> (63 - W)) & (kWindow - 1);
  u32 n = (static_cast<u32>(v >> (63 - W - L)) & ((1u << L) - 1)) + 2;
  b += 1 + W + L;
  if (n > capacity - o) return false;
  if (x != 0) {
    u32 distance = kWindow - x;
    if (distance > o) return false;
    if (capacity - o >= 16)
      CopyMatchWithRoom(dst + o, distance, n);
    else
      CopyMatch(dst + o, distance, n);
  }
  o += n;
  return true;
}

// One loop per code: the field widths are constants here.
template <u32 W, u32 L>
Error DecodeStream(const u8 *src, size_t srcLen, u8 *dst, u32 capacity,
                   u32 *lengthOut) {
  const u32 kWindow = 1u << W;
  const u32 kMatchBits = 1 + W + L;  // the longest token
  const u32 kMaxLength = (1u << L) + 1;
  // A load at the token's byte holds at least 57 valid bits, so this many
  // tokens whole; with eight bytes left at the loaded byte they all begin
  // before the stream's last byte, so the stop rule cannot end the stream
  // among them (it may hold after the last).
  const u32 kPerLoad = 57 / kMatchBits;
  // Output room in which the tokens of one load need no checks: all of
  // them maximal matches, the last written as sixteen bytes.
  const u32 kRoom = kPerLoad * kMaxLength + 16;
  // Flags of six literals in a row at the top of a 64-bit window.
  const u64 kSixLiterals = (1ull << 63) | (1ull << 54) | (1ull << 45) |
                           (1ull << 36) | (1ull << 27) | (1ull << 18);
  size_t b = 0;  // bit position in the stream
  u32 o = 0;     // output position
  while ((b >> 3) + 8 <= srcLen) {
    u64 v = Load64BE(src + (b >> 3)) << (b & 7);
    if (o >= kWindow - 1 && capacity - o >= kRoom) {
      // Far enough from both ends of the destination that no token of this
      // load can copy from before it or write past it: one test for all.
      if ((v & kSixLiterals) == kSixLiterals) {
        // Six literals in a row (data that does not compress): 54 bits.
        u8 *op = dst + o;
        u32 first = (static_cast<u32>(v >> 55) & 0xFF) |
                    (static_cast<u32>(v >> 38) & 0xFF00) |
                    (static_cast<u32>(v >> 21) & 0xFF0000) |
                    (static_cast<u32>(v >> 4) & 0xFF000000u);
        u16 last = static_cast<u16>((static_cast<u32>(v >> 19) & 0xFF) |
                                    (static_cast<u32>(v >> 2) & 0xFF00));
        if (kLittleEndian) {
          memcpy(op, &first, 4);
          memcpy(op + 4, &last, 2);
        } else {
          for (u32 k = 0; k < 4; k++) op[k] = static_cast<u8>(first >> (8 * k));
          op[4] = static_cast<u8>(last);
          op[5] = static_cast<u8>(last >> 8);
        }
        o += 6;
        b += 6 * kLiteralBits;
        continue;
      }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC unroll 8
#endif
      for (u32 k = 0; k < kPerLoad; k++) {
        if (v >> 63) {
          dst[o++] = static_cast<u8>(v >> 55);
          v <<= kLiteralBits;
          b += kLiteralBits;
        } else {
          u32 x = static_cast<u32>(v >> (63 - W)) & (kWindow - 1);
          u32 n = (static_cast<u32>(v >> (63 - W - L)) & ((1u << L) - 1)) + 2;
          if (x != 0) CopyMatchWithRoom(dst + o, kWindow - x, n);
          o += n;
          v <<= kMatchBits;
          b += kMatchBits;
        }
      }
    } else {
      for (u32 k = 0; k < kPerLoad; k++) {
        size_t before = b;
        if (!DecodeToken<W, L>(v, dst, capacity, o, b))
          return ERR_INVALIDFORMAT;
        v <<= b - before;
      }
    }
  }
  // The tail, with bytes past the end reading as zero. The stop rule holds
  // after every token, including the last one of the loop above; a stream
  // gets at least one token (a one-byte stream holds one).
  const size_t lastByte = srcLen - 1;
  if (b == 0 || (b >> 3) < lastByte) {
    do {
      u64 v = LoadTailBE(src, srcLen, b >> 3) << (b & 7);
      if (!DecodeToken<W, L>(v, dst, capacity, o, b))
        return ERR_INVALIDFORMAT;
    } while ((b >> 3) < lastByte);
  }
  *lengthOut = o;
  return nullptr;
}

typedef Error (*DecodeFn)(const u8 *, size_t, u8 *, u32, u32 *);

template <u32 W>
DecodeFn DecoderForLength(u32 l) {
  switch (l) {
    case 1: return DecodeStream<W, 1>;
    case 2: return DecodeStream<W, 2>;
    case 3: return DecodeStream<W, 3>;
    case 4: return DecodeStream<W, 4>;
    case 5: return DecodeStream<W, 5>;
  }
  return nullptr;
}

DecodeFn DecoderFor(u8 code) {
  if (!LzssCodeIsValid(code)) return nullptr;
  switch (OffsetBits(code)) {
    case 10: return DecoderForLength<10>(LengthBits(code));
    case 11: return DecoderForLength<11>(LengthBits(code));
    case 12: return DecoderForLength<12>(LengthBits(code));
  }
  return nullptr;
}

}  // namespace

bool LzssCodeIsValid(u8 code) {
  u32 w = OffsetBits(code), l = LengthBits(code);
  return w >= kMinOffsetBits && w <= kMaxOffsetBits && l >= kMinLengthBits &&
         l <= kMaxLengthBits;
}

Error LzssDecode(const void *source, u32 sourceLength, void *destination,
                 u32 *lengthInOut, u8 code) {
  if (sourceLength == 0) {
    *lengthInOut = 0;
    return nullptr;
  }
  DecodeFn fn = DecoderFor(code);
  if (!fn) return LERR_NOSUCHBITLENGTHS;
  return fn(static_cast<const u8 *>(source), sourceLength,
            static_cast<u8 *>(destination), *lengthInOut, lengthInOut);
}
