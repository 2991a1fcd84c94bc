#include "archive/patch_builder.h"

#include <cstring>

#include "archive/archive_open.h"
#include "archive/lzss_file.h"
#include "archive/lzss_writer.h"
#include "archive/pack_fs.h"
#include "archive/pack_writer.h"
#include "archive/patch_sums.h"
#include "core/ptr_pool.h"
#include "core/text.h"
#include "fs/file.h"
#include "fs/file_service.h"
#include "fs/file_window.h"
#include "fs/mount_table.h"

namespace {

const u32 kPatchBlockSize = 0x8000;
const u32 kScanStep = 8192;
const u32 kChunk = 1u << 20;
const u32 kCreate = FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE;
const u32 kReadMode = FOM_READ | FOM_SHAREREAD | FOM_SEQUENTIAL;
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

// Writes `count` bytes that do not compress (a fixed pseudo-random
// sequence), so that padding costs the container about as much as it adds.
Error WritePadding(CFile *out, u32 count) {
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunk));
  if (!buffer) return ERR_ALLOCFAIL;
  u32 state = 0x9E3779B9u;
  Error e = nullptr;
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

// A part of the build's progress: reports of work of its own are placed
// after `offset` bytes of the whole.
struct Stage {
  const ProgressSink *outer;  // may be null
  u64 offset;
  u64 total;
  static void Report(u64 done, u64, void *context) {
    const Stage *s = static_cast<const Stage *>(context);
    if (s->outer) s->outer->Report(s->offset + done, s->total);
  }
  ProgressSink Sink() { return ProgressSink{Report, this}; }
  void Advance(u32 n) {
    offset += n;
    Report(0, 0, this);
  }
};

// Compares the first `size` bytes of `built` and `source` in chunks of
// kChunk (`buffers` holds two). INVALIDFORMAT at the first difference;
// read errors pass up (a file that ends early gives EOF).
Error CompareFiles(CFile *built, CFile *source, u32 size, u8 *buffers,
                   Stage *stage) {
  for (u32 done = 0; done < size;) {
    u32 n = size - done < kChunk ? size - done : kChunk;
    Error e = built->ReadAt(buffers, done, n, nullptr);
    if (!e) e = source->ReadAt(buffers + kChunk, done, n, nullptr);
    if (e) return e;
    if (memcmp(buffers, buffers + kChunk, n) != 0) return ERR_INVALIDFORMAT;
    done += n;
    stage->Advance(n);
  }
  return nullptr;
}

// The pack and its padding, as they go into the container.
struct PackSource {
  CPackWriter *writer;
  u32 padding;
  bool failed;  // the error came from the pack's side
  static Error Produce(CFile *sink, void *context) {
    PackSource *p = static_cast<PackSource *>(context);
    Error e = p->writer->WritePack(sink);
    if (!e) e = WritePadding(sink, p->padding);
    // A member's own failure is named by the writer; the sink's are the
    // container's.
    p->failed = e && p->writer->GetFailedName()[0];
    return e;
  }
};

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

// Counts the members other than a checksum record in the pack's root.
int CountMember(const char *path, CFile *, Error, void *context) {
  if (strcmp(path, kPatchSumsName) != 0) ++*static_cast<u32 *>(context);
  return 0;
}

// One member of the pack against its source: same size, same bytes.
Error ProveMember(CPackFS *pack, const char *name, const char *path,
                  CFile *source, u8 *buffers, Stage *stage) {
  Error e = nullptr;
  CFile *member = pack->Open(name, FOM_READ, &e);
  if (!member) return e ? e : FERR_FILENOTFOUND;
  CFile *opened = path ? FsOpen(path, kReadMode, &e) : nullptr;
  if (path && !opened) {
    delete member;
    return e ? e : FERR_OPENFAIL;
  }
  if (opened) source = opened;
  u32 size = member->GetSize();
  e = size == source->GetSize()
          ? CompareFiles(member, source, size, buffers, stage)
          : ERR_INVALIDFORMAT;
  delete opened;
  delete member;
  return e;
}

// Reads the finished patch back as the patcher will: the scan finds the
// header at `start` (the program and the gap), a window from there holds the LZSS
// container, and the pack inside it must hold every member the writer was
// given (and nothing else but the builder's own checksum record), each
// with its source's bytes. The program itself is compared too.
Error ProvePatch(const char *outPath, const char *stubPath, u32 stubSize,
                 u32 start, const CPackWriter &writer, Failure *failure,
                 Stage *stage) {
  Error e = nullptr;
  failure->Set(outPath);
  CFile *exe = FsOpen(outPath, kReadMode, &e);
  if (!exe) return e ? e : FERR_OPENFAIL;
  u8 *buffers = static_cast<u8 *>(gPtrPool->Allocate(2 * kChunk));
  u32 position = 0;
  if (!buffers) {
    e = ERR_ALLOCFAIL;
  } else if (!FindEmbeddedArchive(exe, &position) || position != start) {
    e = ERR_INVALIDFORMAT;
  } else {
    CFile *stub = FsOpen(stubPath, kReadMode, &e);
    if (!stub) e = e ? e : FERR_OPENFAIL;
    Stage quiet = {nullptr, 0, 0};
    if (stub) e = CompareFiles(exe, stub, stubSize, buffers, &quiet);
    if (e) failure->Set(stubPath);
    delete stub;
  }
  if (!e) {
    CLzssFile *lzss =
        new CLzssFile(new CFileWindow(exe, position, 0xFFFFFFFFu, 0), 1);
    CPackFS pack;
    e = lzss->valid ? pack.OpenPack(lzss) : ERR_INVALIDFORMAT;
    if (!lzss->valid) delete lzss;
    u32 compared = 0;
    for (u32 i = 0; !e && i < writer.GetCount(); i++) {
      const char *name, *path;
      CFile *source;
      writer.GetMember(i, &name, &path, &source);
      if (strcmp(name, kPatchSumsName) == 0) continue;  // made, not copied
      e = ProveMember(&pack, name, path, source, buffers, stage);
      if (e) failure->Set(name);
      compared++;
    }
    u32 members = 0;
    if (!e) e = WalkArchive(&pack, "", CountMember, &members);
    if (!e && members != compared) e = ERR_INVALIDFORMAT;  // one too many
  }
  if (buffers) gPtrPool->Free(buffers);
  delete exe;
  return e;
}

}  // namespace

Error BuildPatch(const char *stubPath, const char *iniPath,
                 const char *filesFolder, u8 code, const char *outPath,
                 PatchBuildInfo *infoOut, char *failedOut, u32 failedSize,
                 const PatchBuildOptions *options) {
  return BuildPatchFiles(stubPath, iniPath, filesFolder, nullptr, 0, code,
                         outPath, infoOut, failedOut, failedSize, options);
}

Error BuildPatchFiles(const char *stubPath, const char *iniPath,
                      const char *filesFolder, const char *const *files,
                      u32 count, u8 code, const char *outPath,
                      PatchBuildInfo *infoOut, char *failedOut,
                      u32 failedSize, const PatchBuildOptions *options) {
  PatchBuildOptions defaults = {1, true, {nullptr, nullptr}};
  if (!options) options = &defaults;
  Failure failure = {failedOut, failedSize};
  failure.Set("");
  PatchBuildInfo info;
  memset(&info, 0, sizeof info);
  if (infoOut) *infoOut = info;  // also on the early ways out
  if (!stubPath || !iniPath || !filesFolder || !outPath) return ERR_BADPARAMS;

  char containerPath[512];
  if (!WithSuffix(containerPath, sizeof containerPath, outPath, ".lzss.tmp")) {
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

  // The writer's members are what the proof compares the patch with.
  CPackWriter writer;
  e = writer.AddPath("PATCH.INI", iniPath);
  if (!e) e = AddMembers(&writer, filesFolder, files, count);
  if (!e) e = writer.AddChecksums();
  u32 packSize = 0;
  if (!e) e = writer.GetPackSize(&packSize);
  info.members = writer.GetCount();
  if (e) {
    failure.Set(writer.GetFailedName());
    delete stub;
    return e;
  }
  CFile *container = FsOpen(containerPath, kCreate, &e);
  if (!container) {
    delete stub;
    failure.Set(containerPath);
    return e ? e : FERR_OPENFAIL;
  }

  // The container, coded as the pack is written (no copy of the pack is
  // kept), and padded after the last member until the scan finds it.
  Stage stage = {&options->progress, 0, 0};
  PackSource source = {&writer, 0, false};
  for (int round = 0; !e && round < 8; round++) {
    u32 plain = packSize + source.padding;
    if (plain < packSize) e = ERR_OUTOFRANGE;
    stage.total = static_cast<u64>(plain) * (options->prove ? 2 : 1);
    // A padded pack is coded again; its progress starts over.
    LzssWriteOptions coding = {options->workers, stage.Sink()};
    if (!e)
      e = LzssCompressStream(plain, PackSource::Produce, &source, container,
                             code, kPatchBlockSize, &coding);
    if (e) {
      failure.Set(source.failed ? writer.GetFailedName() : containerPath);
      break;
    }
    u32 total = info.stubSize + container->GetSize();
    u32 needed = SizeNeededToFind(info.stubSize + kSignedAlignment - 1);
    if (total >= needed) break;
    u32 more = needed - total + 64;
    info.padding += more;
    source.padding += more;
  }
  info.packSize = packSize + source.padding;
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
      if (!e && options->prove) {
        stage.offset = stage.total / 2;
        e = ProvePatch(outPath, stubPath, info.stubSize,
                       info.stubSize + info.gap, writer, &failure, &stage);
        info.proofFailed = e ? 1 : 0;
      }
      if (e) FsDelete(outPath);
    }
  }
  delete stub;
  delete container;
  FsDelete(containerPath);
  if (infoOut) *infoOut = info;
  return e;
}
