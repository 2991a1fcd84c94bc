// The LZSS block decoder alone: the first byte is the code, the rest the
// stream, decoded into one block. A short output of a known code is encoded
// again and must decode back to the same bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzss.h"

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  const u32 kCapacity = 32768, kRoundTripMax = 4096;  // the encoder is slow under the sanitizers
  if (size < 1 || size - 1 > 0xFFFFFFFFu) return 0;
  u8 code = data[0];
  // Exact-size heap copies, so that any access outside them is caught.
  std::vector<u8> stream(data + 1, data + size), out(kCapacity);
  u32 length = kCapacity;
  if (LzssDecode(size > 1 ? stream.data() : nullptr, static_cast<u32>(size - 1), out.data(), &length,
                 code))
    return 0;
  if (length > kCapacity) abort();
  if (length == 0 || length > kRoundTripMax || !LzssCodeIsValid(code)) return 0;
  std::vector<u8> packed(length * 9 / 8 + 2), again(length);
  u32 packedLength = static_cast<u32>(packed.size()), againLength = length;
  if (LzssEncode(out.data(), length, packed.data(), &packedLength, code, nullptr) ||
      LzssDecode(packed.data(), packedLength, again.data(), &againLength, code) ||
      againLength != length || memcmp(again.data(), out.data(), length) != 0)
    abort();
  return 0;
}
