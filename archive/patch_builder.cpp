#include "archive/patch_builder.h"

#include <cstring>

#include "archive/archive_open.h"
#include "archive/lzss_writer.h"
#include "archive/pack_writer.h"
#include "core/ptr_pool.h"
#include "core/text.h"
#include "fs/file.h"
#include "fs/mount_table.h"

namespace {

const u32 kPatchBlockSize = 0x8000;
const u32 kScanStep = 8192;
const u32 kChunk = 32768;
const u32 kCreate = FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE;
// Signing pads a file to this multiple before its certificate table.
const u32 kSignedAlignment = 8;

struct Failure {
  char *out;
  u32 size;
  void Set(const char *what) {
    if (out && size) {
      out[0] = 0;
      AppendText(out, size, what);
    }
  }
};

// Appends `file` (from its start) to `out` at out's current position.
Error AppendFile(CFile *out, CFile *file) {
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunk));
  if (!buffer) return ERR_ALLOCFAIL;
  u32 size = file->GetSize(), done = 0;
  Error e = file->Seek(0, SEEK_FROM_START);
  while (!e && done < size) {
    u32 n = size - done < kChunk ? size - done : kChunk;
    e = file->Read(buffer, n, nullptr);
    if (!e) e = out->Write(buffer, n, nullptr);
    done += n;
  }
  gPtrPool->Free(buffer);
  return e;
}

// Appends `count` bytes that do not compress (a fixed pseudo-random
// sequence), so that padding costs the container about as much as it adds.
Error AppendPadding(CFile *out, u32 count) {
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunk));
  if (!buffer) return ERR_ALLOCFAIL;
  u32 state = 0x9E3779B9u;
  Error e = out->Seek(0, SEEK_FROM_END);
  while (!e && count > 0) {
    u32 n = count < kChunk ? count : kChunk;
    for (u32 i = 0; i < n; i++) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      buffer[i] = static_cast<u8>(state >> 24);
    }
    e = out->Write(buffer, n, nullptr);
    count -= n;
  }
  gPtrPool->Free(buffer);
  return e;
}

// Smallest file size at which the scan still finds a container that starts
// at `start`: the scan looks at positions below (size rounded down to 8192)
// minus 8192.
u32 SizeNeededToFind(u32 start) {
  return ((start + kScanStep + 1 + kScanStep - 1) / kScanStep) * kScanStep;
}

bool WithSuffix(char *out, u32 size, const char *path, const char *suffix) {
  return CopyText(out, size, path) && AppendText(out, size, suffix);
}

// FILES\ plus the file's path, and its host path below the folder.
Error AddMembers(CPackWriter *writer, const char *folder,
                 const char *const *files, u32 count) {
  if (!files) return writer->AddFolder(folder, "FILES\\");
  for (u32 i = 0; i < count; i++) {
    char name[512], path[512];
    if (!CopyText(name, sizeof name, "FILES\\") ||
        !AppendText(name, sizeof name, files[i]) ||
        !CopyText(path, sizeof path, folder) ||
        !AppendSeparator(path, sizeof path) ||
        !AppendText(path, sizeof path, files[i]))
      return ERR_BADPARAMS;
    for (char *p = name; *p; p++)
      if (*p == '/') *p = '\\';
    Error e = writer->AddPath(name, path);
    if (e) return e;
  }
  return nullptr;
}

}  // namespace

Error BuildPatch(const char *stubPath, const char *iniPath,
                 const char *filesFolder, u8 code, const char *outPath,
                 PatchBuildInfo *infoOut, char *failedOut, u32 failedSize) {
  return BuildPatchFiles(stubPath, iniPath, filesFolder, nullptr, 0, code,
                         outPath, infoOut, failedOut, failedSize);
}

Error BuildPatchFiles(const char *stubPath, const char *iniPath,
                      const char *filesFolder, const char *const *files,
                      u32 count, u8 code, const char *outPath,
                      PatchBuildInfo *infoOut, char *failedOut,
                      u32 failedSize) {
  Failure failure = {failedOut, failedSize};
  failure.Set("");
  PatchBuildInfo info;
  memset(&info, 0, sizeof info);
  if (!stubPath || !iniPath || !filesFolder || !outPath) return ERR_BADPARAMS;

  char packPath[512], containerPath[512];
  if (!WithSuffix(packPath, sizeof packPath, outPath, ".pack.tmp") ||
      !WithSuffix(containerPath, sizeof containerPath, outPath, ".lzss.tmp")) {
    failure.Set(outPath);
    return ERR_BADPARAMS;
  }

  Error e = nullptr;
  CFile *stub = FsOpen(stubPath, FOM_READ | FOM_SHAREREAD, &e);
  if (!stub) {
    failure.Set(stubPath);
    return e ? e : FERR_OPENFAIL;
  }
  u32 position;
  if (FindEmbeddedArchive(stub, &position)) {
    delete stub;
    failure.Set(stubPath);
    return ERR_INVALIDFORMAT;  // it already carries an archive
  }
  info.stubSize = stub->GetSize();

  // The pack.
  CFile *pack = FsOpen(packPath, kCreate, &e);
  CFile *container = pack ? FsOpen(containerPath, kCreate, &e) : nullptr;
  if (!pack || !container) {
    delete pack;
    delete stub;
    failure.Set(pack ? containerPath : packPath);
    FsDelete(packPath);
    return e ? e : FERR_OPENFAIL;
  }
  {
    CPackWriter writer;
    e = writer.AddPath("PATCH.INI", iniPath);
    if (!e) e = AddMembers(&writer, filesFolder, files, count);
    if (!e) e = writer.AddChecksums();
    if (!e) e = writer.WritePack(pack);
    if (e) failure.Set(writer.GetFailedName());
    info.members = writer.GetCount();
  }

  // The container; padded after the last member until the scan finds it.
  for (int round = 0; !e && round < 8; round++) {
    e = LzssCompressFile(pack, container, code, kPatchBlockSize);
    if (e) {
      failure.Set(containerPath);
      break;
    }
    u32 total = info.stubSize + container->GetSize();
    u32 needed = SizeNeededToFind(info.stubSize + kSignedAlignment - 1);
    if (total >= needed) break;
    u32 more = needed - total + 64;
    info.padding += more;
    e = AppendPadding(pack, more);
    if (e) failure.Set(packPath);
  }
  info.packSize = pack->GetSize();
  info.containerSize = container->GetSize();
  info.gap = (kSignedAlignment -
              (info.stubSize + info.containerSize) % kSignedAlignment) %
             kSignedAlignment;

  // The executable: the stub, then the container.
  if (!e) {
    CFile *out = FsOpen(outPath, kCreate, &e);
    if (!out) {
      failure.Set(outPath);
      if (!e) e = FERR_OPENFAIL;
    } else {
      e = AppendFile(out, stub);
      static const u8 kZeros[kSignedAlignment] = {0};
      if (!e && info.gap) e = out->Write(kZeros, info.gap, nullptr);
      if (!e) e = AppendFile(out, container);
      if (!e && (!FindEmbeddedArchive(out, &position) ||
                 position != info.stubSize + info.gap))
        e = ERR_INVALIDFORMAT;  // the stub's end mimics a header
      if (e) failure.Set(outPath);
      delete out;
      if (e) FsDelete(outPath);
    }
  }
  delete stub;
  delete pack;
  delete container;
  FsDelete(packPath);
  FsDelete(containerPath);
  if (infoOut) *infoOut = info;
  return e;
}
