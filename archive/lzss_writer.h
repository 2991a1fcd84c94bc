// Whole-file conversion between plain files and LZSS containers, one block
// at a time: neither file is ever held in memory whole.
#pragma once

#include "fs/file.h"

// The container's usual parameters.
const u8 kLzssDefaultCode = 0xC4;
const u32 kLzssDefaultBlockSize = 0x8000;

// Writes a new LZSS container of all of `input` (its bytes 0 .. GetSize) to
// `output` from position 0 and cuts `output` after it. Each block is
// compressed with `code`; one that does not shrink is stored raw, as
// CLzssFile stores it, so the result equals what CLzssFile would write for
// the same contents. Unknown code: NOSUCHBITLENGTHS; block size 0 or too
// large for the work buffer: BADPARAMS; file errors pass up.
Error LzssCompressFile(CFile *input, CFile *output, u8 code, u32 blockSize);

// Writes the plain contents of the LZSS container in `input` to `output`
// from position 0 and cuts `output` after them. A container that is not
// accepted gives the reason CLzssFile found (INVALIDFORMAT for a wrong
// signature or layout); a damaged block gives the decoder's error.
Error LzssDecompressFile(CFile *input, CFile *output);
