// The checksum record of a patch, and the proof that a patch's archive is
// whole.
//
// The builder puts a member "PATCH.SUM" into the root of the patch's pack. A
// patcher copies nothing but FILES\ and reads nothing but PATCH.INI, so one
// that knows nothing of the record runs a patch that has it unchanged, and a
// patch without it (an older builder's, another tool's) is still proven as
// far as it can be: every block decodes and the directory reads.
//
// The record, all integers little-endian:
//   0    8 bytes  signature: "VPSUM\r\n" and 0x1A
//   8    u32      version, 1
//   12   u32      entry count N
//   16   N entries, one per other member of the pack, in directory order:
//          u32        the member's size
//          u32        CRC-32 of the member's bytes
//          u8         name length L, 1..255
//          L bytes    the member's name as the directory stores it
//   end  u32      CRC-32 of every byte of the record before it
// A record of a later version is intact when its last word matches, and is
// then passed over: the patch is proven as one without a record.
// CRC-32 is the common one (reflected polynomial 0xEDB88320, initial value
// and final mask 0xFFFFFFFF); zlib's implementation computes it.
#pragma once

#include "core/errors.h"
#include "core/progress.h"
#include "core/types.h"

class CFile;
class CPackFS;

extern const char kPatchSumsName[];  // "PATCH.SUM"
const u32 kPatchSumsVersion = 1;
const u32 kPatchSumsHeaderSize = 16;
const u32 kPatchSumsEntryFixed = 9;  // size, CRC-32, name length
const u32 kPatchSumsTrailerSize = 4;

// The running CRC-32 of `data` after `crc` (0 to start).
u32 Crc32(u32 crc, const void *data, u32 size);

// The record's bytes for `count` members whose names take `nameBytes` in
// all; 0 when that passes 4 GiB.
u32 PatchSumsSize(u32 count, u64 nameBytes);
// The header of a record of `count` entries into p (kPatchSumsHeaderSize
// bytes), and one entry into p (kPatchSumsEntryFixed + length bytes).
void PutPatchSumsHeader(u8 *p, u32 count);
u32 PutPatchSumsEntry(u8 *p, u32 size, u32 crc, const char *name, u32 length);

// What a proof found.
struct PatchProof {
  bool hasSums;      // the pack holds a checksum record
  u32 members;       // members of the pack, the record included
  u64 filesBytes;    // bytes of the members under FILES\ (what a run copies)
  char failed[256];  // the member at fault, "" when none or not a member
};

// Called as the proof reads the pack: `done` of `total` bytes. Always on
// the thread that called ProvePatchPack, at least every 50 ms while it reads.
typedef ProgressFn ProofProgress;

// Proves the pack of `pack` whole before anything is taken from it: its
// file (for a patch, the LZSS container) is read front to back so that
// every block decodes; the directory must read to its end with the count
// the header gives, in strictly ascending order, with every member inside
// the file; and when the record is there it must be intact, list exactly
// the other members with their sizes, and every member's bytes must match
// its CRC-32. `second`, when given, is another reader of the same bytes as
// the pack's file, with a position and cache of its own (for a patch: the
// container opened once more); the two halves of the file are then read at
// once, the second on a thread of its own. It stays the caller's. `out->
// members` and `out->filesBytes` are set before the first call of
// `progress`. Null when the pack is whole. Otherwise: a read's own error (a
// block that does not decode, a file cut short), INVALIDFORMAT for a
// damaged directory or record, BADCHECKSUM for a member whose bytes differ;
// out->failed names the member when one is at fault. `progress` may be
// null.
Error ProvePatchPack(CPackFS *pack, CFile *second, ProofProgress progress,
                     void *context, PatchProof *out);
