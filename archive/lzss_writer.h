// Whole-file conversion between plain files and LZSS containers, one block
// at a time: neither file is ever held in memory whole.
#pragma once

#include "core/progress.h"
#include "fs/file.h"

// The container's usual parameters.
const u8 kLzssDefaultCode = 0xC4;
const u32 kLzssDefaultBlockSize = 0x8000;

// How LzssCompressFile goes about it; the bytes written are the same
// whatever is chosen here.
struct LzssWriteOptions {
  // Threads that encode blocks; 0 or 1: the calling thread alone. Files are
  // only ever touched by the calling thread, and so are the pools: each
  // thread's work memory is taken from gPtrPool before any starts.
  u32 workers;
  // Bytes of `input` written out so far, after each block.
  ProgressSink progress;
};

// Writes a new LZSS container of all of `input` (its bytes 0 .. GetSize) to
// `output` from position 0 and cuts `output` after it. Each block is
// compressed with `code`; one that does not shrink is stored raw, as
// CLzssFile stores it, so the result equals what CLzssFile would write for
// the same contents. Blocks are read, coded and written in a stream: a few
// blocks per worker are in memory at a time. `options` may be null (one
// thread, no progress). Unknown code: NOSUCHBITLENGTHS; block size 0 or too
// large for the work buffer: BADPARAMS; file errors pass up, and the first
// error in block order is the one returned.
Error LzssCompressFile(CFile *input, CFile *output, u8 code, u32 blockSize,
                       const LzssWriteOptions *options = nullptr);

// Makes what `produce` writes to the file it is given, in order, into the
// container LzssCompressFile would make of a file holding those `size`
// bytes, without such a file: bytes go on to the coder as they come. The
// file given takes Write (and Tell and GetSize) only. The producer's error
// is returned first; more bytes than `size`: OUTOFRANGE, fewer: EOF. Other
// errors as LzssCompressFile's.
typedef Error (*LzssProducer)(CFile *sink, void *context);
Error LzssCompressStream(u32 size, LzssProducer produce, void *context,
                         CFile *output, u8 code, u32 blockSize,
                         const LzssWriteOptions *options = nullptr);

// Writes the plain contents of the LZSS container in `input` to `output`
// from position 0 and cuts `output` after them. A container that is not
// accepted gives the reason CLzssFile found (INVALIDFORMAT for a wrong
// signature or layout); a damaged block gives the decoder's error.
// `progress` (may be null) hears of the plain bytes written.
Error LzssDecompressFile(CFile *input, CFile *output,
                         const ProgressSink *progress = nullptr);
