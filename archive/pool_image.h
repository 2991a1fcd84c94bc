// Pool file system images: creating an empty pool file, building an image
// from a folder, and walking every entry of an image.
#pragma once

#include "core/errors.h"
#include "core/types.h"

class CFile;
class CHPFS;

// Defaults of a new pool: 1 KiB blocks (small files waste little, large
// files still read in long runs of consecutive blocks) and the smallest
// head (dataSize and depth, padded to 4 bytes).
const u32 kPoolDefaultBlockSize = 1024;
const u32 kPoolDefaultHeadSize = 8;
// Longest path the image builder and the walker handle, NUL included.
const u32 kPoolImagePathMax = 1024;

// Writes the header block of an empty pool at the start of `file` (block
// count 1, nothing free, user value 0) and cuts the file after it.
// blockSize: a multiple of 4 in 32..1 MiB; headSize: a multiple of 4, at
// least 8 and below blockSize; maxBlocks 0 means as many as fit in 2 GiB.
// Bad values: BADPARAMS; file errors unchanged.
Error CreatePoolFile(CFile *file, u32 blockSize = kPoolDefaultBlockSize,
                     u32 headSize = kPoolDefaultHeadSize, u32 maxBlocks = 0);

// Opens (creating it) a new pool file system on `file`, which it owns from
// then on also when it fails (the file is destroyed then). Null with the
// code in *errorOut on failure.
CHPFS *CreatePoolFileSystem(CFile *file, u32 blockSize, Error *errorOut);
// Opens the pool file system kept in `file`; ownership as above.
CHPFS *OpenPoolFileSystem(CFile *file, Error *errorOut);

struct PoolImageStats {
  u32 files;
  u32 directories;
  u64 bytes;
};

// Builds the pool file system image `outPath` of every file and folder
// under `sourceDir`, both reached through the file services (FsOpen,
// FsFindFirst...). The image is written through CHPFS itself. On failure
// the code is returned, the partial image is deleted, and the failing path
// (when there is one) is copied to failedPath (kPoolImagePathMax bytes, may
// be null).
Error BuildPoolImage(const char *sourceDir, const char *outPath, u32 blockSize,
                     PoolImageStats *stats, char *failedPath);

// Called for every entry of a pool file system, a directory before what it
// holds, in directory order. `path` uses '\' separators and no leading
// one; `file` is the entry opened for reading (null for a directory) and
// belongs to the walk. A non-null result stops the walk and is returned.
typedef Error (*PoolVisitor)(void *context, const char *path, u32 attributes,
                             u32 size, CFile *file);

// Walks every entry below the root. Damaged directories (entries past the
// end, bad names, a directory reached twice) answer INVALIDFORMAT; paths
// longer than kPoolImagePathMax answer BUFFERTOOSMALL.
Error PoolWalk(CHPFS *fs, PoolVisitor visit, void *context);
