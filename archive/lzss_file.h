// CLzssFile: the block-compressed file with the signature "LZSS" and the
// LZSS codec, whose field widths come from the header's codec byte (high
// nibble offset bits, low nibble length bits; 0xC4 is the usual one). Its
// work buffer is block size * 9 / 8 + 2 bytes: no stream is longer than
// that, and a stream read to the buffer's tail is never overtaken by its
// output growing from the head.
#pragma once

#include "archive/compressed_file.h"

// The container's signature bytes.
extern const char kLzssMagic[4];

class CLzssFile : public CCompressedFile {
 public:
  static const char *const sClassName;  // "CLzssFile"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  // Opens the container in `parent`; `valid` tells whether it was accepted.
  CLzssFile(CFile *parent, u32 ownsParent);
  // Flushes (result ignored), then frees; an owned parent goes too.
  ~CLzssFile() override;

  // LzssEncode with the header's code and no reference.
  Error CompressBlock(const void *source, u32 sourceLength, void *destination,
                      u32 *lengthInOut) override;
  // LzssDecode with the header's code.
  Error DecompressBlock(const void *source, u32 sourceLength,
                        void *destination, u32 *lengthInOut) override;
};
