#include "archive/pack_writer.h"

#include <algorithm>
#include <cstring>

#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "core/endian.h"
#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/file_service.h"
#include "fs/mount_table.h"

namespace {

const u32 kMaxName = 255;
// Host paths are held to the classic Windows limit, NUL included.
const u32 kFolderPathMax = 260;
// Nesting beyond this is taken for a loop of links rather than a tree.
const u32 kMaxFolderDepth = 64;
// The one buffer through which the directory, the stamps and the member
// data pass on their way out.
const u32 kChunkSize = 64 * 1024;
// The longest directory record: two length bytes, a whole name, payload.
const u32 kMaxRecord = 2 + kMaxName + kPackPayloadSize;
const u32 kReadMode = FOM_READ | FOM_SHAREREAD | FOM_SEQUENTIAL;

u32 SharedLength(const char *a, const char *b) {
  u32 n = 0;
  while (a[n] != 0 && a[n] == b[n]) n++;
  return n;
}

Error WriteAll(CFile *out, const void *buffer, u32 size) {
  if (size == 0) return nullptr;
  u32 count = 0;
  Error e = out->Write(buffer, size, &count);
  if (e) return e;
  return count == size ? nullptr : FERR_WRITEFAIL;
}

}  // namespace

CPackWriter::CPackWriter() { mFailed[0] = 0; }

CPackWriter::~CPackWriter() {
  for (u32 i = 0; i < mCount; i++) gPtrPool->Free(mEntries[i].name);
  if (mEntries) gPtrPool->Free(mEntries);
}

void CPackWriter::SetFailed(const char *text) {
  size_t n = text ? strlen(text) : 0;
  if (n >= sizeof mFailed) n = sizeof mFailed - 1;
  if (n) memcpy(mFailed, text, n);
  mFailed[n] = 0;
}

Error CPackWriter::AddEntry(const char *name, const char *prefix,
                            CFile *source, const char *path, u32 size,
                            u32 time) {
  size_t prefixLength = prefix ? strlen(prefix) : 0;
  size_t nameLength = name ? strlen(name) : 0;
  size_t length = prefixLength + nameLength;
  char joined[kMaxName + 1];
  if (length == 0 || length > kMaxName) {
    SetFailed(name);
    return ERR_BADPARAMS;
  }
  if (prefixLength) memcpy(joined, prefix, prefixLength);
  if (nameLength) memcpy(joined + prefixLength, name, nameLength);
  joined[length] = 0;
  // A name with a '\' at either end could never be opened or listed.
  if (joined[0] == '\\' || joined[length - 1] == '\\') {
    SetFailed(joined);
    return ERR_BADPARAMS;
  }
  size_t pathLength = path ? strlen(path) + 1 : 0;
  if (mCount == mCapacity) {
    u32 capacity = mCapacity ? mCapacity * 2 : 64;
    if (capacity > 0xFFFFFFFFu / sizeof(Entry)) return ERR_ALLOCFAIL;
    void *p = gPtrPool->Reallocate(
        mEntries, static_cast<u32>(capacity * sizeof(Entry)));
    if (!p) return ERR_ALLOCFAIL;
    mEntries = static_cast<Entry *>(p);
    mCapacity = capacity;
  }
  char *block =
      static_cast<char *>(gPtrPool->Allocate(static_cast<u32>(length + 1 + pathLength)));
  if (!block) return ERR_ALLOCFAIL;
  for (size_t i = 0; i <= length; i++) {
    char c = joined[i];
    block[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
  Entry &entry = mEntries[mCount++];
  entry.name = block;
  entry.path = nullptr;
  entry.crc = 0;
  entry.sums = false;
  if (path) {
    memcpy(block + length + 1, path, pathLength);
    entry.path = block + length + 1;
  }
  entry.source = source;
  entry.nameLength = static_cast<u32>(length);
  entry.size = size;
  entry.time = time;
  return nullptr;
}

Error CPackWriter::AddFile(const char *name, CFile *source, u32 size,
                           u32 dosTime) {
  mFailed[0] = 0;
  if (!source) {
    SetFailed(name);
    return ERR_BADPARAMS;
  }
  return AddEntry(name, nullptr, source, nullptr, size, dosTime);
}

Error CPackWriter::AddPath(const char *name, const char *path, u32 dosTime) {
  mFailed[0] = 0;
  if (!path) {
    SetFailed(name);
    return ERR_BADPARAMS;
  }
  Error e = nullptr;
  CFile *file = FsOpen(path, kReadMode, &e);
  if (!file) {
    SetFailed(path);
    return e ? e : ERR_ALLOCFAIL;
  }
  u32 size = file->GetSize();
  delete file;
  return AddEntry(name, nullptr, nullptr, path, size, dosTime);
}

Error CPackWriter::AddFolder(const char *folder, const char *prefix) {
  mFailed[0] = 0;
  char hostPath[kFolderPathMax];
  char member[kMaxName + 2];
  size_t hostLength = folder ? strlen(folder) : 0;
  size_t memberLength = prefix ? strlen(prefix) : 0;
  if (!folder || hostLength >= kFolderPathMax || memberLength > kMaxName) {
    SetFailed(folder);
    return ERR_BADPARAMS;
  }
  memcpy(hostPath, folder, hostLength + 1);
  memcpy(member, prefix ? prefix : "", memberLength + 1);
  return AddFolderLevel(hostPath, static_cast<u32>(hostLength), member,
                        static_cast<u32>(memberLength), 0);
}

// hostPath and member are extended in place for each entry and cut back
// afterwards; member holds the prefix of the folder's members, ending in '\'
// below the top.
Error CPackWriter::AddFolderLevel(char *hostPath, u32 hostLength,
                                  char *member, u32 memberLength, u32 depth) {
  FindRecord record;
  memset(&record, 0, sizeof record);
  Error e = FsFindFirst(&record, hostPath);
  if (e) {
    if (record.service && record.buffer) FsFindClose(&record);
    if (e == FERR_NOMOREFILES) return nullptr;
    SetFailed(hostPath);
    return e;
  }
  bool sep = hostLength > 0 && hostPath[hostLength - 1] != '\\' &&
             hostPath[hostLength - 1] != '/';
  while (!e) {
    const char *name = record.name;
    if (name && strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
      u32 nameLength = static_cast<u32>(strlen(name));
      bool isDir = (record.attributes & FATTR_DIRECTORY) != 0;
      u32 childLength = hostLength + (sep ? 1 : 0) + nameLength;
      u32 childMember = memberLength + nameLength + (isDir ? 1 : 0);
      if (childLength >= kFolderPathMax || childMember > kMaxName ||
          (isDir && depth + 1 >= kMaxFolderDepth)) {
        SetFailed(hostPath);
        e = ERR_BADPARAMS;
        break;
      }
      if (sep) hostPath[hostLength] = '\\';
      memcpy(hostPath + hostLength + (sep ? 1 : 0), name, nameLength + 1);
      memcpy(member + memberLength, name, nameLength);
      member[memberLength + nameLength] = 0;
      if (isDir) {
        member[childMember - 1] = '\\';
        member[childMember] = 0;
        e = AddFolderLevel(hostPath, childLength, member, childMember,
                           depth + 1);
      } else {
        e = AddPath(member, hostPath, mFolderTime);
      }
      hostPath[hostLength] = 0;
      member[memberLength] = 0;
      if (e) break;
    }
    e = FsFindNext(&record);
    if (e == FERR_NOMOREFILES || e == FERR_FILENOTFOUND) {
      e = nullptr;
      break;
    }
    if (e) SetFailed(hostPath);
  }
  FsFindClose(&record);
  return e;
}

Error CPackWriter::AddChecksums(u32 dosTime) {
  Error e = AddEntry(kPatchSumsName, nullptr, nullptr, nullptr, 0, dosTime);
  if (!e) mEntries[mCount - 1].sums = true;
  return e;
}

Error CPackWriter::WriteSums(CFile *out, u32 count, u8 *buffer,
                             u32 bufferSize) {
  // Whole entries go out through the buffer; the last word sums them all.
  PutPatchSumsHeader(buffer, count);
  u32 used = kPatchSumsHeaderSize;
  u32 crc = 0;
  Error e = nullptr;
  for (u32 i = 0; i < count && !e; i++) {
    const Entry &entry = mEntries[i];
    if (bufferSize - used <
        kPatchSumsEntryFixed + entry.nameLength + kPatchSumsTrailerSize) {
      crc = Crc32(crc, buffer, used);
      e = WriteAll(out, buffer, used);
      used = 0;
    }
    used += PutPatchSumsEntry(buffer + used, entry.size, entry.crc, entry.name,
                              entry.nameLength);
  }
  if (e) return e;
  crc = Crc32(crc, buffer, used);
  PutU32LE(buffer + used, crc);
  return WriteAll(out, buffer, used + kPatchSumsTrailerSize);
}

Error CPackWriter::WriteEntryData(CFile *out, Entry &entry, u8 *buffer,
                                  u32 bufferSize) {
  entry.crc = 0;
  if (entry.size == 0) return nullptr;
  CFile *source = entry.source;
  CFile *opened = nullptr;
  Error e = nullptr;
  if (!source) {
    opened = FsOpen(entry.path, kReadMode, &e);
    if (!opened) {
      SetFailed(entry.path);
      return e ? e : ERR_ALLOCFAIL;
    }
    source = opened;
  }
  for (u32 done = 0; done < entry.size && !e;) {
    u32 n = entry.size - done;
    if (n > bufferSize) n = bufferSize;
    e = source->ReadAt(buffer, done, n, nullptr);
    if (e) {
      SetFailed(entry.path ? entry.path : entry.name);
      break;
    }
    entry.crc = Crc32(entry.crc, buffer, n);
    e = WriteAll(out, buffer, n);
    done += n;
  }
  delete opened;
  return e;
}

Error CPackWriter::Layout(u32 *directoryOut, u32 *dataStartOut,
                          u32 *sizeOut) {
  mFailed[0] = 0;
  if (mCount == 0) return ERR_WHATAMESS;
  std::sort(mEntries, mEntries + mCount, [](const Entry &a, const Entry &b) {
    return strcmp(a.name, b.name) < 0;  // strcmp compares unsigned bytes
  });
  for (u32 i = 0; i < mCount; i++) {
    if (!mEntries[i].sums) continue;
    bool twice = (i > 0 && !strcmp(mEntries[i - 1].name, mEntries[i].name)) ||
                 (i + 1 < mCount && !strcmp(mEntries[i + 1].name, mEntries[i].name));
    if (twice) {
      SetFailed(mEntries[i].name);
      return FERR_FILEEXIST;
    }
    // The record sums the members before it, so it must come last.
    u64 names = 0;
    for (u32 k = 0; k < i; k++) names += mEntries[k].nameLength;
    mEntries[i].size = PatchSumsSize(i, names);
    if (i + 1 != mCount || mEntries[i].size == 0) {
      SetFailed(mEntries[i].name);
      return i + 1 != mCount ? ERR_BADPARAMS : ERR_OUTOFRANGE;
    }
  }
  u64 directory = 0;
  u64 data = 0;
  for (u32 i = 0; i < mCount; i++) {
    u32 shared = i ? SharedLength(mEntries[i - 1].name, mEntries[i].name) : 0;
    if (i && shared == mEntries[i].nameLength &&
        shared == mEntries[i - 1].nameLength) {
      SetFailed(mEntries[i].name);
      return FERR_FILEEXIST;
    }
    directory += 2 + (mEntries[i].nameLength - shared) + kPackPayloadSize;
    data += mEntries[i].size;
  }
  u64 dataStart = kPackHeaderSize + directory + 4ull * mCount;
  if (dataStart + data > 0xFFFFFFFFull) return ERR_OUTOFRANGE;
  *directoryOut = static_cast<u32>(directory);
  *dataStartOut = static_cast<u32>(dataStart);
  *sizeOut = static_cast<u32>(dataStart + data);
  return nullptr;
}

Error CPackWriter::GetPackSize(u32 *sizeOut) {
  u32 directory, dataStart;
  return Layout(&directory, &dataStart, sizeOut);
}

Error CPackWriter::WritePack(CFile *out) {
  if (!out) {
    mFailed[0] = 0;
    return ERR_BADPARAMS;
  }
  u32 directory, dataStart, size;
  Error e = Layout(&directory, &dataStart, &size);
  if (e) return e;

  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunkSize));
  if (!buffer) return ERR_ALLOCFAIL;
  memset(buffer, 0, kPackHeaderSize);
  memcpy(buffer, kPackMagic, sizeof kPackMagic);
  PutU32LE(buffer + kPackCountOffset, mCount);
  PutU32LE(buffer + kPackDirLengthOffset, directory);
  u32 used = kPackHeaderSize;

  u32 offset = dataStart;
  for (u32 i = 0; i < mCount && !e; i++) {
    if (kChunkSize - used < kMaxRecord) {
      e = WriteAll(out, buffer, used);
      used = 0;
      if (e) break;
    }
    const Entry &entry = mEntries[i];
    u32 shared = i ? SharedLength(mEntries[i - 1].name, entry.name) : 0;
    u8 *p = buffer + used;
    p[0] = static_cast<u8>(entry.nameLength);
    p[1] = static_cast<u8>(shared);
    memcpy(p + 2, entry.name + shared, entry.nameLength - shared);
    p += 2 + entry.nameLength - shared;
    PutU32LE(p, offset);
    PutU32LE(p + 4, entry.size);
    used += 2 + (entry.nameLength - shared) + kPackPayloadSize;
    offset += entry.size;
  }
  for (u32 i = 0; i < mCount && !e; i++) {
    if (kChunkSize - used < 4) {
      e = WriteAll(out, buffer, used);
      used = 0;
      if (e) break;
    }
    PutU32LE(buffer + used, mEntries[i].time);
    used += 4;
  }
  if (!e) e = WriteAll(out, buffer, used);
  for (u32 i = 0; i < mCount && !e; i++)
    e = mEntries[i].sums ? WriteSums(out, i, buffer, kChunkSize)
                         : WriteEntryData(out, mEntries[i], buffer, kChunkSize);
  gPtrPool->Free(buffer);
  return e;
}

Error PackFolder(const char *folder, CFile *out, char *failedOut,
                 u32 failedSize) {
  CPackWriter writer;
  Error e = writer.AddFolder(folder, "");
  if (!e) e = writer.WritePack(out);
  if (e && failedOut && failedSize) {
    const char *failed = writer.GetFailedName();
    size_t n = strlen(failed);
    if (n >= failedSize) n = failedSize - 1;
    memcpy(failedOut, failed, n);
    failedOut[n] = 0;
  }
  return e;
}
