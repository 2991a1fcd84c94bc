#include "archive/pack_fs.h"

#include <cstring>

#include "core/endian.h"
#include "core/global_handle.h"
#include "core/ptr_pool.h"
#include "fs/mount_table.h"

const char kPackMagic[18] = "KORVAX PackFile\n\x1A";

namespace {

const u32 kMaxPath = 255;

// A listing's buffer: the current full name, the last subdirectory reported
// and scratch room for the name that follows, 256 bytes each, then the
// number of steps taken (u32).
const u32 kFindArea = 256;
const u32 kFindName = 0;
const u32 kFindDir = kFindArea;
const u32 kFindScratch = 2 * kFindArea;
const u32 kFindSteps = 3 * kFindArea;
const u32 kFindBufferSize = 3 * kFindArea + 4;

// Copies at most 255 bytes of `path` into `out` (256 bytes) with ASCII
// letters upper-cased; returns the length.
u32 NormalisePath(const char *path, char *out) {
  u32 n = 0;
  if (path) {
    for (; n < kMaxPath && path[n] != 0; n++) {
      char c = path[n];
      out[n] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
  }
  out[n] = 0;
  return n;
}

char *FindArea(FindRecord *record, u32 area) {
  return static_cast<char *>(record->buffer) + area;
}

}  // namespace

// ---------------------------------------------------------------------------
// CPackFile

void *CPackFile::operator new(size_t size) noexcept {
  return gPtrPool->Allocate(static_cast<u32>(size));
}

void CPackFile::operator delete(void *p) noexcept {
  if (p) gPtrPool->Free(p);
}

CPackFile::CPackFile(CFile *parent_, u32 offset, u32 size)
    : CFile(parent_, 0), mOffset(offset), mSize(size) {
  valid = 1;
}

CPackFile::~CPackFile() {}

Error CPackFile::Read(void *buffer, u32 size, u32 *countOut) {
  if (countOut) *countOut = 0;
  if (mPosition >= mSize) return FERR_EOF;
  u32 n = size;
  if (n > mSize - mPosition) {
    if (!countOut) return FERR_EOF;
    n = mSize - mPosition;
  }
  if (!parent) return ERR_UNKNOWN;
  // Data past 4 GiB cannot exist; never let the position wrap to the front.
  u64 at = static_cast<u64>(mOffset) + mPosition;
  if (at + n > 0xFFFFFFFFull + 1) return FERR_EOF;
  Error e = parent->ReadAt(buffer, static_cast<u32>(at), n, nullptr);
  if (e) return e;
  mPosition += n;
  if (countOut) *countOut = n;
  return nullptr;
}

Error CPackFile::Write(const void *, u32, u32 *) { return ERR_NOTIMPL; }

Error CPackFile::Seek(i32 offset, i16 origin) {
  i64 base = 0;
  if (origin == SEEK_FROM_CURRENT)
    base = mPosition;
  else if (origin == SEEK_FROM_END)
    base = mSize;
  i64 target = base + offset;
  if (target < 0 || target > 0xFFFFFFFFll) return ERR_UNKNOWN;
  mPosition = static_cast<u32>(target);
  return nullptr;
}

u32 CPackFile::GetSize() { return mSize; }

u32 CPackFile::Tell() { return mPosition; }

Error CPackFile::Flush() { return parent ? parent->Flush() : nullptr; }

Error CPackFile::Truncate() { return ERR_NOTIMPL; }

// ---------------------------------------------------------------------------
// CPackFS

static const char kCPackFSName[] = "CPackFS";
const char *const CPackFS::sClassName = kCPackFSName;

void *CPackFS::operator new(size_t size) noexcept {
  return gPtrPool->Allocate(static_cast<u32>(size));
}

void CPackFS::operator delete(void *p) noexcept {
  if (p) gPtrPool->Free(p);
}

const char *CPackFS::GetClassName() const { return sClassName; }

void *CPackFS::Cast(const char *name) {
  if (name == sClassName) return this;
  return CFileService::Cast(name);
}

CPackFS::CPackFS() {}

CPackFS::~CPackFS() {
  delete mIndex;
  delete mFile;
}

Error CPackFS::OpenPack(CFile *file) {
  delete mIndex;
  mIndex = nullptr;
  if (mFile != file) delete mFile;
  mFile = file;
  if (!mFile) return ERR_UNKNOWN;

  u8 header[kPackHeaderSize];
  Error e = mFile->ReadAt(header, 0, kPackHeaderSize, nullptr);
  if (e) return e;
  if (strcmp(reinterpret_cast<const char *>(header), kPackMagic) != 0)
    return ERR_UNKNOWN;
  u32 count = GetU32LE(header + kPackCountOffset);
  u32 length = GetU32LE(header + kPackDirLengthOffset);
  // A damaged length must not make us ask for gigabytes before the read
  // would fail anyway.
  if (static_cast<u64>(kPackHeaderSize) + length > mFile->GetSize())
    return length == 0 ? ERR_ALLOCFAIL : FERR_EOF;

  u32 block = GlobalHandleAlloc(length);
  if (!block) return ERR_ALLOCFAIL;
  void *p = GlobalHandleLock(block);
  if (!p) {
    GlobalHandleFree(block);
    return ERR_LOCKFAIL;
  }
  e = mFile->ReadAt(p, kPackHeaderSize, length, nullptr);
  GlobalHandleUnlock(block);
  if (e) {
    GlobalHandleFree(block);
    return e;
  }
  mIndex = new CPackIndex(kPackPayloadSize, block, length, count,
                          kPackSkipStep);
  if (!mIndex) {
    GlobalHandleFree(block);
    return ERR_ALLOCFAIL;
  }
  return nullptr;
}

CFile *CPackFS::Open(const char *path, u32 mode, Error *errorOut) {
  Error e = FERR_FILENOTFOUND;
  CFile *file = nullptr;
  char name[kMaxPath + 1];
  u8 payload[kPackPayloadSize];
  if (mode & FOM_WRITE) {
    e = FERR_ACCESSDENIED;
  } else if (mIndex && mFile) {
    NormalisePath(path, name);
    if (mIndex->Lookup(name, payload)) {
      u32 offset = GetU32LE(payload);
      u32 size = GetU32LE(payload + 4);
      if (static_cast<u64>(offset) + size > mFile->GetSize()) {
        e = ERR_INVALIDFORMAT;
      } else {
        e = nullptr;
        file = new CPackFile(mFile, offset, size);
      }
    }
  }
  if (errorOut) *errorOut = e;
  return file;
}

u32 CPackFS::Exists(const char *path) {
  if (!mIndex) return 0;
  char name[kMaxPath + 1];
  NormalisePath(path, name);
  if (!mIndex->FindFirstWithPrefix(name, name)) return 0;
  size_t n = strlen(name);
  return n > 0 && name[n - 1] != '\\' ? 1 : 0;
}

// The current full name is a member of the listed directory, or lies in a
// subdirectory of it; a subdirectory is reported once and its whole contents
// are passed over, leaving the current name at its last member.
static void ClassifyEntry(CPackIndex *index, FindRecord *record) {
  char *current = FindArea(record, kFindName);
  u32 prefixLen = static_cast<u32>(record->word);
  char *sep = strchr(current + prefixLen, '\\');
  if (!sep) {
    record->attributes = FATTR_READONLY;
    record->name = current + prefixLen;
    return;
  }
  u32 k = static_cast<u32>(sep - current);
  char *dir = FindArea(record, kFindDir);
  memcpy(dir, current + prefixLen, k - prefixLen);
  dir[k - prefixLen] = 0;
  record->attributes = FATTR_READONLY | FATTR_DIRECTORY;
  record->name = dir;
  char *scratch = FindArea(record, kFindScratch);
  memcpy(scratch, current, k + 1);
  scratch[k + 1] = 0;
  // The current name only moves forward, even over a damaged directory.
  if (index->FindLastWithPrefix(scratch, scratch) &&
      strcmp(scratch, current) > 0)
    memcpy(current, scratch, strlen(scratch) + 1);
}

// True when `name` lies in the subdirectory `dir` of the listed folder.
static bool InSubdirectory(const char *name, u32 prefixLen, const char *dir) {
  size_t n = strlen(dir);
  return strncmp(name + prefixLen, dir, n) == 0 && name[prefixLen + n] == '\\';
}

Error CPackFS::FindFirst(FindRecord *record, const char *dirPath) {
  if (!record) return ERR_BADPARAMS;
  record->service = this;
  record->buffer = nullptr;
  record->attributes = 0;
  record->name = nullptr;
  // Room for 255 bytes, the '\' added and the NUL.
  char prefix[kMaxPath + 2];
  u32 prefixLen = NormalisePath(dirPath, prefix);
  if (prefixLen > 0 && prefix[prefixLen - 1] != '\\') {
    prefix[prefixLen++] = '\\';
    prefix[prefixLen] = 0;
  }
  record->word = prefixLen;
  if (!mIndex) return FERR_FILENOTFOUND;
  void *buffer = gPtrPool->Allocate(kFindBufferSize);
  if (!buffer) return ERR_ALLOCFAIL;
  record->buffer = buffer;
  // A 256-byte prefix cannot begin any name, and would not fit the area.
  if (prefixLen > kMaxPath ||
      !mIndex->FindFirstWithPrefix(prefix, FindArea(record, kFindName))) {
    gPtrPool->Free(buffer);
    record->buffer = nullptr;
    return FERR_FILENOTFOUND;
  }
  PutU32LE(FindArea(record, kFindSteps), 0);
  ClassifyEntry(mIndex, record);
  return nullptr;
}

Error CPackFS::FindNext(FindRecord *record) {
  if (!record || !record->buffer) return ERR_ALLOCFAIL;
  if (!mIndex) return FERR_FILENOTFOUND;
  char *current = FindArea(record, kFindName);
  char *next = FindArea(record, kFindScratch);
  u32 prefixLen = static_cast<u32>(record->word);
  // A damaged directory must not make a listing go round for ever: names
  // only ever grow, and no listing takes more steps than records fit in the
  // directory.
  // A subdirectory is reported once per listing, even when a damaged
  // directory brings its members back after it was passed over.
  bool afterDir = (record->attributes & FATTR_DIRECTORY) != 0;
  const char *lastDir = FindArea(record, kFindDir);
  for (;;) {
    u32 steps = GetU32LE(FindArea(record, kFindSteps));
    if (steps >= mIndex->GetLength() / 3) return FERR_FILENOTFOUND;
    PutU32LE(FindArea(record, kFindSteps), steps + 1);
    if (!mIndex->NextName(current, next)) return FERR_FILENOTFOUND;
    if (memcmp(next, current, prefixLen) != 0 || strcmp(next, current) <= 0)
      return FERR_FILENOTFOUND;
    memcpy(current, next, strlen(next) + 1);
    if (afterDir && InSubdirectory(current, prefixLen, lastDir)) continue;
    ClassifyEntry(mIndex, record);
    return nullptr;
  }
}

Error CPackFS::FindClose(FindRecord *record) {
  if (!record) return nullptr;
  if (record->buffer) gPtrPool->Free(record->buffer);
  record->buffer = nullptr;
  return nullptr;
}

u32 CPackFS::GetDataOffset(const char *path, Error *errorOut) {
  char name[kMaxPath + 1];
  u8 payload[kPackPayloadSize];
  if (mIndex) {
    NormalisePath(path, name);
    if (mIndex->Lookup(name, payload)) {
      if (errorOut) *errorOut = nullptr;
      return GetU32LE(payload);
    }
  }
  if (errorOut) *errorOut = FERR_FILENOTFOUND;
  return 0;
}

// ---------------------------------------------------------------------------

Error MountPack(CFile *file, const char *name) {
  CPackFS *fs = new CPackFS();
  if (!fs) return ERR_ALLOCFAIL;
  if (!file) {
    delete fs;
    return ERR_UNKNOWN;
  }
  if (!file->valid) {
    delete file;
    delete fs;
    return ERR_UNKNOWN;
  }
  Error e = fs->OpenPack(file);
  if (e) {
    delete fs;
    return e;
  }
  if (!name) {
    delete fs;
    return ERR_BADPARAMS;
  }
  size_t n = strlen(name);
  if (n > 0xFFFFu) {
    delete fs;
    return ERR_BADPARAMS;
  }
  char *copy = static_cast<char *>(gPtrPool->Allocate(static_cast<u32>(n + 2)));
  if (!copy) {
    delete fs;
    return ERR_ALLOCFAIL;
  }
  memcpy(copy, name, n + 1);
  if (n == 0 || copy[n - 1] != '\\') {
    copy[n] = '\\';
    copy[n + 1] = 0;
  }
  e = RegisterService(copy, fs, 1);
  if (e) {
    gPtrPool->Free(copy);
    delete fs;
    return e;
  }
  return nullptr;
}
