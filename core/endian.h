// Explicit byte-order helpers: every on-disk field goes through these, never
// through a cast of a buffer to a struct.
#pragma once

#include "core/types.h"

inline u16 GetU16LE(const void *p) {
  const u8 *b = static_cast<const u8 *>(p);
  return static_cast<u16>(b[0] | (b[1] << 8));
}

inline u32 GetU32LE(const void *p) {
  const u8 *b = static_cast<const u8 *>(p);
  return static_cast<u32>(b[0]) | (static_cast<u32>(b[1]) << 8) |
         (static_cast<u32>(b[2]) << 16) | (static_cast<u32>(b[3]) << 24);
}

inline u32 GetU32BE(const void *p) {
  const u8 *b = static_cast<const u8 *>(p);
  return (static_cast<u32>(b[0]) << 24) | (static_cast<u32>(b[1]) << 16) |
         (static_cast<u32>(b[2]) << 8) | static_cast<u32>(b[3]);
}

inline void PutU16LE(void *p, u16 v) {
  u8 *b = static_cast<u8 *>(p);
  b[0] = static_cast<u8>(v);
  b[1] = static_cast<u8>(v >> 8);
}

inline void PutU32LE(void *p, u32 v) {
  u8 *b = static_cast<u8 *>(p);
  b[0] = static_cast<u8>(v);
  b[1] = static_cast<u8>(v >> 8);
  b[2] = static_cast<u8>(v >> 16);
  b[3] = static_cast<u8>(v >> 24);
}
