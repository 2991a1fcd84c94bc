#include "archive/lzss_file.h"

#include "archive/lzss.h"

const char kLzssMagic[4] = {'L', 'Z', 'S', 'S'};

namespace {
// Work buffer ratio: 9 bits per byte at worst, plus a partly used byte.
const u32 kBufferNumerator = 9;
const u32 kBufferDenominator = 8;
const u32 kBufferSlack = 2;
}  // namespace

static const char kCLzssFileName[] = "CLzssFile";
const char *const CLzssFile::sClassName = kCLzssFileName;

const char *CLzssFile::GetClassName() const { return sClassName; }

void *CLzssFile::Cast(const char *name) {
  if (name == sClassName) return this;
  return CCompressedFile::Cast(name);
}

CLzssFile::CLzssFile(CFile *parent_, u32 ownsParent_)
    : CCompressedFile(kLzssMagic, parent_, ownsParent_, kBufferNumerator,
                      kBufferDenominator, kBufferSlack) {}

CLzssFile::~CLzssFile() { Flush(); }

Error CLzssFile::CompressBlock(const void *source, u32 sourceLength,
                               void *destination, u32 *lengthInOut) {
  return LzssEncode(source, sourceLength, destination, lengthInOut,
                    CodecByte(), nullptr);
}

Error CLzssFile::DecompressBlock(const void *source, u32 sourceLength,
                                 void *destination, u32 *lengthInOut) {
  return LzssDecode(source, sourceLength, destination, lengthInOut,
                    CodecByte());
}
