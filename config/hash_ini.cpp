#include "config/hash_ini.h"

#include <cstring>

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/mount_table.h"

namespace {

const u32 kOpenForReading = FOM_READ | FOM_SHAREREAD | FOM_SHAREWRITE;  // 193

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsHeader(const char *name) {
  size_t n = strlen(name);
  return n >= 2 && name[0] == '[' && name[n - 1] == ']';
}

// Skips leading spaces and tabs and cuts trailing ones in place.
char *Trim(char *s) {
  while (*s == ' ' || *s == '\t') ++s;
  char *end = s + strlen(s);
  while (end > s && (end[-1] == ' ' || end[-1] == '\t')) --end;
  *end = 0;
  return s;
}

u32 SectionHash(const void *key, u32 count) {
  return IniHash(static_cast<const IniSection *>(key)->name) % count;
}

i16 SectionCompare(const void *probe, const void *node) {
  return IniNamesEqual(static_cast<const IniSection *>(probe)->name,
                    static_cast<const IniSection *>(node)->name)
             ? 0
             : 1;
}

u32 KeyHash(const void *key, u32 count) {
  const IniEntry *e = static_cast<const IniEntry *>(key);
  return (IniHash(e->section->name) + IniHash(e->name)) % count;
}

// A key is found only under the very section node it was read under.
i16 KeyCompare(const void *probe, const void *node) {
  const IniEntry *p = static_cast<const IniEntry *>(probe);
  const IniEntry *n = static_cast<const IniEntry *>(node);
  return (p->section == n->section && IniNamesEqual(p->name, n->name)) ? 0 : 1;
}

void FreeNode(void *node, void *pool) {
  static_cast<CPtrPool *>(pool)->Free(node);
}

}  // namespace

u32 IniHash(const char *name) {
  u32 sum = 0;
  u32 acc = 0;
  for (const char *p = name; *p; ++p) {
    // Signed bytes: a byte above 127 subtracts from the accumulator.
    i32 byte = static_cast<i8>(UpperAscii(*p));
    acc = acc * 256 + static_cast<u32>(byte);
    sum += acc;
  }
  // Shift the accumulator out; at most four rounds.
  while (acc != 0) {
    acc *= 256;
    sum += acc;
  }
  return sum;
}

bool IniNamesEqual(const char *a, const char *b) {
  for (;; ++a, ++b) {
    if (UpperAscii(*a) != UpperAscii(*b)) return false;
    if (*a == 0) return true;
  }
}

const char *IniSection::Comment() const { return name + strlen(name) + 1; }

const char *IniEntry::Value() const { return name + strlen(name) + 1; }

const char *IniEntry::Comment() const {
  const char *value = Value();
  return value + strlen(value) + 1;
}

CHashIni::CHashIni(u32 sectionBuckets, u32 keyBuckets, CPtrPool *pool,
                   u32 ownsPool)
    : mSectionIndex(sectionBuckets, SectionHash, SectionCompare, FreeNode, 0,
                    0),
      mKeyIndex(keyBuckets, KeyHash, KeyCompare, FreeNode, 0, 0),
      mPool(pool),
      mOwnsPool(ownsPool) {
  mSectionIndex.SetUserValue(pool);
  mKeyIndex.SetUserValue(pool);
}

CHashIni::~CHashIni() {
  ClearIni();
  // Both indexes are empty now, so their own destruction never reaches the
  // pool and it may go first.
  if (mOwnsPool) delete mPool;
}

void CHashIni::ClearIni() {
  // Comment-only entries are in no index: free them from the lists.
  for (IniSection *s = mFirstSection; s; s = s->next) {
    IniEntry *e = s->firstEntry;
    while (e) {
      IniEntry *next = e->next;
      if (e->name[0] == 0) mPool->Free(e);
      e = next;
    }
  }
  mSectionIndex.ClearTable();
  mKeyIndex.ClearTable();
  mFirstSection = mLastSection = nullptr;
}

int CHashIni::NextByte() {
  if (mReadPos >= mBytesInBuffer) {
    u32 count = 0;
    // A failing read that delivers nothing ends the input; its code is
    // of no further use.
    mSource->Read(mReadBuffer, kChunkSize, &count);
    mBytesInBuffer = count < kChunkSize ? count : kChunkSize;
    mReadPos = 0;
    if (mBytesInBuffer == 0) return -1;
  }
  return mReadBuffer[mReadPos++];
}

void CHashIni::CountLineBreak(int c) {
  if (c == '\n' && !mAfterCr) mLineBreaks++;
  if (c == '\r') mLineBreaks++;
  mAfterCr = c == '\r';
}

u32 CHashIni::ReadLine(char *line, char **name, char **value,
                       char **comment) {
  int c;
  do {
    c = NextByte();
    CountLineBreak(c);
  } while (c == '\r' || c == '\n');
  if (c < 0) {
    line[0] = 0;
    *name = *value = *comment = line;
    return 0;
  }
  mLineNumber = mLineBreaks + 1;
  // The byte that ends the line (line break, end of input, or the 1024th
  // character) is overwritten by the terminating zero.
  u32 n = 0;
  for (;;) {
    if (c < 0 || c == '\r' || c == '\n' || n == kLineSize - 1) {
      line[n] = 0;
      CountLineBreak(c);
      break;
    }
    line[n++] = static_cast<char>(c);
    c = NextByte();
  }

  char *end = line + strlen(line);  // an empty text for whatever is missing
  char *semicolon = strchr(line, ';');
  if (semicolon) {
    *semicolon = 0;
    *comment = semicolon + 1;
  } else {
    *comment = end;
  }
  char *equals = strchr(line, '=');
  if (equals) {
    *equals = 0;
    *name = Trim(line);
    *value = Trim(equals + 1);
  } else {
    *name = Trim(line);
    *value = end;
  }
  return InputLeft() ? 1 : 0;
}

Error CHashIni::AddSection(const char *header, const char *comment) {
  size_t nameLen = strlen(header) - 2;
  size_t commentLen = strlen(comment);
  u32 size = static_cast<u32>(sizeof(IniSection) + nameLen + 1 +
                              commentLen + 1);
  IniSection *s = static_cast<IniSection *>(mPool->Allocate(size));
  if (!s) return ERR_ALLOCFAIL;
  s->link = nullptr;
  s->next = nullptr;
  s->prev = mLastSection;
  s->firstEntry = s->lastEntry = nullptr;
  s->name = reinterpret_cast<char *>(s + 1);
  memcpy(s->name, header + 1, nameLen);
  s->name[nameLen] = 0;
  memcpy(s->name + nameLen + 1, comment, commentLen + 1);
  if (mLastSection)
    mLastSection->next = s;
  else
    mFirstSection = s;
  mLastSection = s;
  mSectionIndex.Insert(s);
  return nullptr;
}

Error CHashIni::AddEntry(const char *name, const char *value,
                         const char *comment) {
  size_t nameLen = strlen(name);
  size_t valueLen = strlen(value);
  size_t commentLen = strlen(comment);
  u32 size = static_cast<u32>(sizeof(IniEntry) + nameLen + 1 + valueLen + 1 +
                              commentLen + 1);
  IniEntry *e = static_cast<IniEntry *>(mPool->Allocate(size));
  if (!e) return ERR_ALLOCFAIL;
  IniSection *s = mLastSection;
  e->link = nullptr;
  e->next = nullptr;
  e->prev = s->lastEntry;
  e->section = s;
  e->name = reinterpret_cast<char *>(e + 1);
  char *p = e->name;
  memcpy(p, name, nameLen + 1);
  p += nameLen + 1;
  memcpy(p, value, valueLen + 1);
  p += valueLen + 1;
  memcpy(p, comment, commentLen + 1);
  if (s->lastEntry)
    s->lastEntry->next = e;
  else
    s->firstEntry = e;
  s->lastEntry = e;
  if (nameLen != 0) mKeyIndex.Insert(e);
  return nullptr;
}

Error CHashIni::LoadIni(CFile *file) {
  ClearIni();
  if (!file) return ERR_BADPARAMS;
  mReadBuffer = static_cast<u8 *>(gPtrPool->Allocate(kChunkSize));
  if (!mReadBuffer) return ERR_ALLOCFAIL;
  mSource = file;
  mBytesInBuffer = mReadPos = 0;
  mLineBreaks = mLineNumber = 0;
  mAfterCr = false;

  char line[kLineSize];
  char *name, *value, *comment;
  // Up to the first section header everything is dropped, and so is a last
  // line that comes with the end of the input.
  bool inSection = false;
  while (!inSection && ReadLine(line, &name, &value, &comment) != 0)
    inSection = IsHeader(name);
  Error result = inSection ? AddSection(name, comment) : nullptr;
  if (inSection && !result) {
    u32 more;
    do {
      more = ReadLine(line, &name, &value, &comment);
      if (name[0] == 0 && comment[0] == 0) continue;
      result = IsHeader(name) ? AddSection(name, comment)
                              : AddEntry(name, value, comment);
    } while (more && !result);
  }
  gPtrPool->Free(mReadBuffer);
  mReadBuffer = nullptr;
  mSource = nullptr;
  mBytesInBuffer = mReadPos = 0;
  return result;
}

Error CHashIni::LoadIniFile(const char *path) {
  Error openError = nullptr;
  CFile *file = FsOpen(path, kOpenForReading, &openError);
  if (!file) return openError ? openError : ERR_UNKNOWN;
  Error e = LoadIni(file);
  delete file;
  return e;
}

IniSection *CHashIni::FindSection(const char *section) {
  if (!section) return nullptr;
  IniSection probe = {};
  probe.name = const_cast<char *>(section);
  return static_cast<IniSection *>(mSectionIndex.Find(&probe));
}

IniEntry *CHashIni::FindKey(const char *section, const char *key) {
  if (!key) return nullptr;
  IniSection *s = FindSection(section);
  if (!s) return nullptr;
  IniEntry probe = {};
  probe.section = s;
  probe.name = const_cast<char *>(key);
  return static_cast<IniEntry *>(mKeyIndex.Find(&probe));
}

const char *CHashIni::GetValuePtr(const char *section, const char *key) {
  IniEntry *e = FindKey(section, key);
  return e ? e->Value() : nullptr;
}

Error CHashIni::GetValue(const char *section, const char *key, char *buffer,
                         u32 size) {
  const char *value = GetValuePtr(section, key);
  if (!value) return ERR_NOTFOUND;
  if (!buffer || size == 0) return ERR_UNKNOWN;
  if (size == 0xFFFFFFFFu) {
    strcpy(buffer, value);
    return nullptr;
  }
  u32 i = 0;
  for (; i < size - 1 && value[i]; ++i) buffer[i] = value[i];
  memset(buffer + i, 0, size - i);
  return nullptr;
}
