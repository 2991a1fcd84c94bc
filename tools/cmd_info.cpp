// patchkit info FILE: what a maker asks of a patch or an archive.
#include <cstdio>
#include <cstring>

#include "archive/archive_open.h"
#include "archive/lzss_file.h"
#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "archive/pool_fs.h"
#include "fs/file.h"
#include "fs/file_service.h"
#include "fs/file_window.h"
#include "fs/mount_table.h"
#include "tools/commands.h"
#include "tools/fs_session.h"

namespace {

const u32 kReadMode = FOM_READ | FOM_SHAREREAD;

// The container's header and how its blocks are stored, by stored length
// against the length each block holds.
void PrintContainer(CLzssFile *lzss, u32 start, u32 storedBytes) {
  u8 code = lzss->CodecByte();
  u32 n = lzss->BlockCount(), blockSize = lzss->BlockSize();
  u32 size = lzss->GetSize();
  u32 compressed = 0, raw = 0, empty = 0;
  for (u32 i = 0; i < n; i++) {
    u32 stored = lzss->BlockOffset(i + 1) - lzss->BlockOffset(i);
    u32 length = i + 1 < n ? blockSize : size - blockSize * (n - 1);
    if (stored == 0)
      empty++;
    else if (stored < length)
      compressed++;
    else
      raw++;
  }
  printf("container: at byte %u\n", start);
  printf("code: 0x%02X (offset %u bits, length %u bits)\n", code, code >> 4,
         code & 15u);
  printf("block size: %u\n", blockSize);
  printf("blocks: %u (compressed %u, raw %u, empty %u)\n", n, compressed, raw,
         empty);
  printf("stored: %u bytes, plain: %u bytes", storedBytes, size);
  if (size) printf(" (%.1f%%)", 100.0 * storedBytes / size);
  printf("\n");
}

struct Members {
  u32 count;
  u64 bytes;
  u32 largest;
  char largestName[512];
};

int CountMember(const char *path, CFile *file, Error, void *context) {
  Members *m = static_cast<Members *>(context);
  m->count++;
  u32 size = file ? file->GetSize() : 0;
  m->bytes += size;
  if (m->count == 1 || size > m->largest) {
    m->largest = size;
    snprintf(m->largestName, sizeof m->largestName, "%s", path);
  }
  return 0;
}

const char *KindOf(CFileService *service) {
  if (service->Cast(CHPFS::sClassName)) return "pool file";
  return "pack";
}

}  // namespace

int CmdInfo(int argc, char **argv) {
  if (argc != 2) return UsageError("usage: patchkit info FILE");
  const char *path = argv[1];
  FsSession session;
  Error e = nullptr;
  CFile *file = FsOpen(path, kReadMode, &e);
  if (!file) return Fail(path, e ? e : FERR_OPENFAIL);
  u8 magic[4] = {0, 0, 0, 0};
  bool atStart = file->ReadAt(magic, 0, 4, nullptr) == nullptr &&
                 memcmp(magic, kLzssMagic, 4) == 0;
  u32 start = 0;
  bool embedded = !atStart && FindEmbeddedArchive(file, &start);
  u32 fileSize = file->GetSize();
  printf("file: %s, %u bytes\n", path, fileSize);
  if (atStart || embedded) {
    CLzssFile *lzss =
        new CLzssFile(new CFileWindow(file, start, 0xFFFFFFFFu, 0), 1);
    e = lzss->valid ? nullptr : lzss->ConstructionError();
    if (!e) {
      printf("kind: %s\n", embedded ? "patch executable" : "LZSS container");
      // The patcher, and the zeros that may align the container after it.
    if (embedded) printf("before the container: %u bytes (the patcher)\n", start);
      PrintContainer(lzss, start, fileSize - start);
    }
    delete lzss;
    if (e) {
      delete file;
      return Fail(path, e);
    }
  }
  file->Seek(0, SEEK_FROM_START);
  CFileService *archive = OpenArchive(file, true, &e);
  if (!archive) return Fail(path, e ? e : ERR_INVALIDFORMAT);
  Members members = {0, 0, 0, ""};
  e = WalkArchive(archive, "", CountMember, &members);
  printf("%s: %s\n", atStart || embedded ? "archive" : "kind",
         KindOf(archive));
  printf("members: %u, %llu bytes", members.count,
         static_cast<unsigned long long>(members.bytes));
  if (members.count)
    printf(", largest %u bytes (%s)", members.largest, members.largestName);
  printf("\n");
  Error openError = nullptr;
  CFile *sums = archive->Open(kPatchSumsName, FOM_READ, &openError);
  printf("checksum record: %s\n", sums ? "present" : "absent");
  delete sums;
  delete archive;
  if (e) return Fail(std::string(path) + ": listing", e);
  return kExitOk;
}
