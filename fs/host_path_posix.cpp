// Windows paths on a POSIX host (see host_path_posix.h). A kept folder holds
// its names as read, in listing order, NUL-terminated one after the other in
// one block of text; an array gives each name's offset there and the hash of
// its ASCII-folded spelling, and an open-addressing table of array indices
// finds a name by that hash. A removed name stays in the text and the array,
// marked dead, until the folder is read again.

#include "fs/host_path_posix.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <string.h>

#include "core/ptr_pool.h"

namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

unsigned char Fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + 32) : u;
}

// name[0..n) and the NUL-terminated other are equal without regard to case.
bool SameIgnoringCase(const char *name, size_t n, const char *other) {
  for (size_t i = 0; i < n; i++)
    if (other[i] == 0 || Fold(name[i]) != Fold(other[i])) return false;
  return other[n] == 0;
}

// FNV-1a over the folded bytes.
u32 FoldedHash(const char *name, size_t n) {
  u32 h = 2166136261u;
  for (size_t i = 0; i < n; i++) h = (h ^ Fold(name[i])) * 16777619u;
  return h;
}

// lstat catches a link whose target is gone, which still occupies the name.
bool StatEntry(const char *path, struct stat *st) {
  return stat(path, st) == 0 || lstat(path, st) == 0;
}

bool SameTime(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool IsDotName(const char *name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// ---- Kept folders ----

const u32 kFolders = 8;           // the game folder, its data folder, a few more
const u32 kDead = 0xFFFFFFFFu;    // offset of a removed name; also "no entry"
const u32 kMinTrust = 64;         // uses of a folder's names before a re-read
const u32 kMaxBlock = 1u << 30;   // larger folders are not kept

struct NameEntry {
  u32 offset;  // into Folder::text; kDead when removed
  u32 hash;    // FoldedHash of the name
};

struct Folder {
  bool used;
  dev_t dev;
  ino_t ino;
  struct timespec mtime;  // the folder's time when the names were right
  u32 lastUse;
  u32 trust;  // uses left before the folder is read again
  char *text;
  u32 textUsed, textCap;
  NameEntry *entries;  // in listing order
  u32 count, entryCap, live;
  u32 *table;  // entry index + 1, 0 when free; tableSize is a power of two
  u32 tableSize, occupied;
};

Folder sFolders[kFolders];
u32 sClock;

void Release(Folder *f) {
  if (f->text) gPtrPool->Free(f->text);
  if (f->entries) gPtrPool->Free(f->entries);
  if (f->table) gPtrPool->Free(f->table);
  memset(f, 0, sizeof *f);
}

// Grows *block (of *cap units of `unit` bytes) to hold at least `need`.
bool Reserve(void **block, u32 *cap, u32 need, u32 unit) {
  if (need <= *cap) return true;
  u32 n = *cap ? *cap : 256;
  while (n < need) {
    if (n > kMaxBlock / unit / 2) return false;
    n *= 2;
  }
  void *p = gPtrPool->Reallocate(*block, n * unit);
  if (!p) return false;
  *block = p;
  *cap = n;
  return true;
}

void TablePut(Folder *f, u32 index) {
  u32 mask = f->tableSize - 1;
  for (u32 i = f->entries[index].hash & mask;; i = (i + 1) & mask)
    if (!f->table[i]) {
      f->table[i] = index + 1;
      f->occupied++;
      return;
    }
}

// A new table, at most a quarter full, of the live names only.
bool Rehash(Folder *f) {
  u32 size = 64;
  while (size < (f->live + 1) * 4) {
    if (size > kMaxBlock / sizeof(u32) / 2) return false;
    size *= 2;
  }
  u32 *table = static_cast<u32 *>(gPtrPool->Allocate(size * sizeof(u32)));
  if (!table) return false;
  memset(table, 0, size * sizeof(u32));
  if (f->table) gPtrPool->Free(f->table);
  f->table = table;
  f->tableSize = size;
  f->occupied = 0;
  for (u32 i = 0; i < f->count; i++)
    if (f->entries[i].offset != kDead) TablePut(f, i);
  return true;
}

bool AddName(Folder *f, const char *name, size_t n) {
  if (n >= kMaxBlock || f->textUsed > kMaxBlock - n - 1) return false;
  u32 size = static_cast<u32>(n) + 1;
  if (!Reserve(reinterpret_cast<void **>(&f->text), &f->textCap,
               f->textUsed + size, 1) ||
      !Reserve(reinterpret_cast<void **>(&f->entries), &f->entryCap,
               f->count + 1, sizeof(NameEntry)))
    return false;
  if ((f->occupied + 1) * 2 > f->tableSize && !Rehash(f)) return false;
  memcpy(f->text + f->textUsed, name, size);
  f->entries[f->count] = NameEntry{f->textUsed, FoldedHash(name, n)};
  f->textUsed += size;
  TablePut(f, f->count);
  f->count++;
  f->live++;
  return true;
}

// The first live entry at or after index `from` (in listing order) whose
// name equals name[0..n) ignoring case, or exactly when `exact`; kDead when
// there is none.
u32 FindName(const Folder *f, const char *name, size_t n, u32 from,
             bool exact) {
  u32 hash = FoldedHash(name, n), best = kDead, mask = f->tableSize - 1;
  for (u32 i = hash & mask; f->table[i]; i = (i + 1) & mask) {
    u32 index = f->table[i] - 1;
    const NameEntry &e = f->entries[index];
    if (e.offset == kDead || e.hash != hash || index < from || index >= best)
      continue;
    const char *other = f->text + e.offset;
    if (exact ? strlen(other) == n && memcmp(other, name, n) == 0
              : SameIgnoringCase(name, n, other))
      best = index;
  }
  return best;
}

// Reads the folder `dir` (whose status is ds, taken before the read) into f.
bool Read(Folder *f, const char *dir, const struct stat &ds) {
  Release(f);
  DIR *d = opendir(dir);
  if (!d) return false;
  f->used = true;
  f->dev = ds.st_dev;
  f->ino = ds.st_ino;
  f->mtime = ds.st_mtim;
  bool ok = Rehash(f);
  while (ok) {
    errno = 0;
    struct dirent *e = readdir(d);
    if (!e) {
      ok = errno == 0;
      break;
    }
    if (!IsDotName(e->d_name)) ok = AddName(f, e->d_name, strlen(e->d_name));
  }
  closedir(d);
  if (!ok) {
    Release(f);
    return false;
  }
  f->trust = kMinTrust + f->live;
  return true;
}

Folder *KeptFolder(const struct stat &ds) {
  for (Folder &f : sFolders)
    if (f.used && f.dev == ds.st_dev && f.ino == ds.st_ino) return &f;
  return nullptr;
}

// The names of the folder `dir` (status ds), read again unless the kept
// ones are still right; null when they cannot be had.
Folder *NamesOf(const char *dir, const struct stat &ds) {
  Folder *f = KeptFolder(ds);
  if (f && SameTime(f->mtime, ds.st_mtim) && f->trust > 0) {
    f->trust--;
  } else {
    if (!f) {
      f = &sFolders[0];
      for (Folder &g : sFolders)
        if (!g.used || (f->used && g.lastUse < f->lastUse)) f = &g;
    }
    if (!Read(f, dir, ds)) return nullptr;
  }
  f->lastUse = ++sClock;
  return f;
}

// The folder's listing read on the spot, for when no names can be kept.
bool ListForMatch(char *out, u32 dirLength, const char *name, size_t n,
                  struct stat *st) {
  DIR *d = opendir(dirLength ? out : ".");
  if (!d) return false;
  bool found = false;
  while (struct dirent *e = readdir(d)) {
    if (!SameIgnoringCase(name, n, e->d_name)) continue;
    memcpy(out + dirLength, e->d_name, n + 1);
    if (StatEntry(out, st)) {
      found = true;
      break;
    }
    out[dirLength] = 0;
  }
  closedir(d);
  return found;
}

// Appends to the folder path out[0..dirLength) (NUL-terminated, room for
// name[0..n) and its NUL) the entry that matches name[0..n). False, with
// out back to the folder, when there is none.
bool AppendMatch(char *out, u32 dirLength, const char *name, size_t n,
                 struct stat *st) {
  memcpy(out + dirLength, name, n);
  out[dirLength + n] = 0;
  if (StatEntry(out, st)) return true;
  out[dirLength] = 0;
  const char *dir = dirLength ? out : ".";
  struct stat ds;
  if (stat(dir, &ds) != 0 || !S_ISDIR(ds.st_mode)) return false;
  Folder *f = NamesOf(dir, ds);
  if (!f) return ListForMatch(out, dirLength, name, n, st);
  // Several spellings may exist; the first that still answers wins.
  for (u32 i = FindName(f, name, n, 0, false); i != kDead;
       i = FindName(f, name, n, i + 1, false)) {
    memcpy(out + dirLength, f->text + f->entries[i].offset, n + 1);
    if (StatEntry(out, st)) return true;
    out[dirLength] = 0;
  }
  return false;
}

// The kept folder of the entry at hostPath, with the folder's status and
// the entry's name; null when its folder is not kept or cannot be told.
// `unknown` is set when the path is too long to tell its folder.
Folder *KeptFolderOf(const char *hostPath, struct stat *ds, const char **name,
                     bool *unknown) {
  *unknown = false;
  char dir[PATH_MAX];
  const char *slash = strrchr(hostPath, '/');
  *name = slash ? slash + 1 : hostPath;
  if (!**name || IsDotName(*name)) return nullptr;
  if (!slash) {
    memcpy(dir, ".", 2);
  } else {
    size_t n = static_cast<size_t>(slash - hostPath) + 1;  // "/" stays
    if (n + 1 > sizeof dir) {
      *unknown = true;
      return nullptr;
    }
    memcpy(dir, hostPath, n);
    dir[n] = 0;
  }
  if (stat(dir, ds) != 0) return nullptr;
  return KeptFolder(*ds);
}

}  // namespace

Error HostResolvePath(const char *path, char *out, u32 cap,
                      HostResolvedPath *resolved) {
  HostResolvedPath &r = *resolved;
  r = HostResolvedPath();
  if (!path || !out || cap == 0) return ERR_BADPARAMS;
  u32 length = 0;
  out[0] = 0;
  if (IsSep(path[0])) {
    if (cap < 2) return ERR_BADPARAMS;
    memcpy(out, "/", 2);
    length = 1;
  }
  bool resolving = true;
  const char *p = path;
  for (;;) {
    while (IsSep(*p)) p++;
    if (!*p) break;
    const char *end = p;
    while (*end && !IsSep(*end)) end++;
    const char *next = end;
    while (IsSep(*next)) next++;
    size_t n = static_cast<size_t>(end - p);
    u32 sep = r.components ? 1 : 0;
    if (length + sep + n + 1 > cap) return ERR_BADPARAMS;
    if (sep) out[length++] = '/';
    out[length] = 0;
    r.components++;
    bool last = *next == 0;
    if (last) {
      r.parentFound = resolving;
      r.finalAt = length;
      r.given = p;
      r.givenLength = static_cast<u32>(n);
    }
    struct stat st;
    if (resolving && AppendMatch(out, length, p, n, &st)) {
      if (last) {
        r.exists = true;
        r.st = st;
      } else if (!S_ISDIR(st.st_mode)) {
        resolving = false;
      }
    } else {
      resolving = false;
      memcpy(out + length, p, n);
      out[length + n] = 0;
    }
    length += static_cast<u32>(n);
    p = next;
  }
  r.length = length;
  return nullptr;
}

void HostNamesBeforeChange(const char *hostPath) {
  struct stat ds;
  const char *name;
  bool unknown;
  Folder *f = KeptFolderOf(hostPath, &ds, &name, &unknown);
  if (unknown) HostNamesClear();
  if (f && !SameTime(f->mtime, ds.st_mtim)) Release(f);
  // A folder about to go away takes its names with it: a later folder may
  // get its inode.
  struct stat es;
  if (lstat(hostPath, &es) == 0 && S_ISDIR(es.st_mode))
    if (Folder *g = KeptFolder(es)) Release(g);
}

void HostNamesChanged(const char *hostPath, bool added) {
  struct stat ds;
  const char *name;
  bool unknown;
  Folder *f = KeptFolderOf(hostPath, &ds, &name, &unknown);
  if (!f) return;
  size_t n = strlen(name);
  u32 i = FindName(f, name, n, 0, true);
  bool ok = true;
  if (!added && i != kDead) {
    f->entries[i].offset = kDead;
    f->live--;
  } else if (added && i == kDead) {
    ok = AddName(f, name, n);
  }
  // Removed names are dropped by a fresh read once they outnumber the rest.
  if (!ok || f->trust == 0 || f->count - f->live > f->live + kMinTrust) {
    Release(f);
    return;
  }
  f->trust--;
  f->mtime = ds.st_mtim;
}

void HostNamesClear() {
  for (Folder &f : sFolders) Release(&f);
  sClock = 0;
}
