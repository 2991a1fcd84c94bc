// Blocks and streams shared by the LZSS tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "archive/lzss.h"
#include "support/temp_dir.h"

typedef std::vector<u8> Bytes;

const u8 kAllCodes[] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xB1, 0xB2, 0xB3,
                        0xB4, 0xB5, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5};
// Under 0xC4: literal 'Q', an unchanged run of 5, literal 'Z'.
// 1 01010001 | 0 000000000000 0011 | 1 01011010
const u8 kUnchangedRun[] = {0xA8, 0x80, 0x00, 0xEB, 0x40};

inline Bytes Encode(const Bytes &in, u8 code, const Bytes *reference = nullptr) {
  Bytes out(in.size() * 9 / 8 + 2);
  u32 length = static_cast<u32>(out.size());
  EXPECT_EQ(LzssEncode(in.data(), static_cast<u32>(in.size()), out.data(), &length, code,
                       reference ? reference->data() : nullptr),
            nullptr);
  out.resize(length);
  return out;
}

// Words: matches at all distances.
inline Bytes TextLike(size_t n, unsigned seed) {
  static const char *const kWords[] = {"the ", "archive ", "block ", "of ", "file ", "and ",
                                       "data\n", "patch ", "0x1F, ", "game ", "version ", "{\n  "};
  std::mt19937 rng(seed);
  Bytes v;
  while (v.size() < n) {
    const char *w = kWords[rng() % 12];
    v.insert(v.end(), w, w + strlen(w));
  }
  v.resize(n);
  return v;
}

// Long runs of few values.
inline Bytes Repetitive(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes v;
  while (v.size() < n) v.insert(v.end(), 1 + rng() % 300, static_cast<u8>(rng() % 3));
  v.resize(n);
  return v;
}
