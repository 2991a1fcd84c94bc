// Building a patch executable: the patcher program followed by an LZSS
// container (block size 32768) of a pack that holds PATCH.INI, the patch's
// files under FILES\ and the checksum record PATCH.SUM of them all.
#pragma once

#include "core/errors.h"
#include "core/progress.h"
#include "core/types.h"

struct PatchBuildInfo {
  u32 stubSize;        // bytes of the patcher program
  u32 packSize;        // bytes of the pack, padding included
  u32 containerSize;   // bytes of the container
  u32 members;         // members of the pack, PATCH.INI and PATCH.SUM included
  u32 padding;         // bytes added after the last member
  u32 gap;             // zero bytes between the patcher and the container
  u32 proofFailed;     // 1 when the patch did not read back as built
};

// How a patch is built; the patch is the same whatever is chosen.
struct PatchBuildOptions {
  u32 workers;  // threads coding the container (LzssWriteOptions)
  // Reads the finished patch back as the patcher finds and opens it (the
  // scan, a window from the header, the LZSS container, the pack) and
  // compares the patcher program and every member with its source.
  bool prove;
  // Bytes coded, then bytes compared: twice the pack's size in all when
  // proving, once otherwise.
  ProgressSink progress;
};

// Writes the patch to `outPath` (replacing it). `stubPath` must be a patcher
// program without an archive of its own (INVALIDFORMAT otherwise). Every
// file below `filesFolder` becomes FILES\<relative path>, upper-cased. A
// small patch is padded after the pack's last member so that the patcher's
// scan, which cannot find a container that starts too close to the end of
// its file, finds it; the result is checked with that scan. A gap of zero
// bytes before the container makes the file's size a multiple of 8, so that
// signing appends its certificate table right at the container's end. Temporary
// files live beside `outPath` and are removed. On failure `failedOut` (may
// be null) names the file concerned. Null options: one thread, proved, no
// progress. A patch that does not read back as built (a member that
// differs from its source, or cannot be read) is removed: INVALIDFORMAT,
// or the read's own error, with proofFailed set and the member named (the
// checksum record, which the builder makes, is not compared).
Error BuildPatch(const char *stubPath, const char *iniPath,
                 const char *filesFolder, u8 code, const char *outPath,
                 PatchBuildInfo *infoOut, char *failedOut, u32 failedSize,
                 const PatchBuildOptions *options = nullptr);
// As BuildPatch with only the `count` files `files` of `filesFolder`, given
// by their paths relative to it ('\' or '/' between components, as its
// listing names them); the same bytes as BuildPatch of a folder that holds
// exactly those files.
Error BuildPatchFiles(const char *stubPath, const char *iniPath,
                      const char *filesFolder, const char *const *files,
                      u32 count, u8 code, const char *outPath,
                      PatchBuildInfo *infoOut, char *failedOut,
                      u32 failedSize,
                      const PatchBuildOptions *options = nullptr);
