// The LZSS block decoder alone: the first input byte is the code, the rest
// the stream, decoded into a destination of one block. A short output is
// encoded again with the same code and must decode back to the same bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzss.h"

namespace {
const u32 kCapacity = 32768;
// The encoder is slow under the sanitizers: only short outputs go round.
const u32 kRoundTripMax = 4096;
}

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size < 1 || size - 1 > 0xFFFFFFFFu) return 0;
  u8 code = data[0];
  u32 streamLength = static_cast<u32>(size - 1);
  // Exact-size heap copies, so that any access outside them is caught.
  std::vector<u8> stream(data + 1, data + size);
  std::vector<u8> out(kCapacity);
  u32 length = kCapacity;
  Error e = LzssDecode(streamLength ? stream.data() : nullptr, streamLength,
                       out.data(), &length, code);
  if (e != nullptr) return 0;
  if (length > kCapacity) abort();
  if (length == 0 || length > kRoundTripMax || !LzssCodeIsValid(code)) return 0;

  // Round trip of what came out (unchanged runs leave zeros here).
  std::vector<u8> packed(length * 9 / 8 + 2);
  u32 packedLength = static_cast<u32>(packed.size());
  if (LzssEncode(out.data(), length, packed.data(), &packedLength, code,
                 nullptr) != nullptr)
    abort();
  std::vector<u8> again(length);
  u32 againLength = length;
  if (LzssDecode(packed.data(), packedLength, again.data(), &againLength,
                 code) != nullptr ||
      againLength != length || memcmp(again.data(), out.data(), length) != 0)
    abort();
  return 0;
}
