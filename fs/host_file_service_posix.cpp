// The host file service over POSIX. Everything above it speaks Windows paths,
// so a path is walked component by component ('\' and '/' both separate,
// empty components are skipped, a leading separator makes it absolute) and
// each existing component is found without regard to ASCII case, the way a
// Windows folder would find it (HostResolvePath, shared with the patcher's
// platform layer). Whether a missing component is the last one
// or a folder on the way tells FILENOTFOUND from PATHNOTFOUND, as Windows
// does.

#include "fs/host_file_service.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/host_file.h"
#include "fs/host_path_posix.h"
#include "fs/mount_table.h"

namespace {

// The walked host path of a service path fits here; the longest input that
// reaches the walk is a listing's folder, bounded by its pattern buffer.
const u32 kWalkMax = kHostPatternMax;

bool IsSep(char c) { return c == '\\' || c == '/'; }

// A service path walked into a host path.
struct HostPath {
  char text[kWalkMax];
  u32 length = 0;
  u32 finalAt = 0;               // where the last component starts in text
  const char *given = nullptr;   // the last component as the caller wrote it
  u32 givenLength = 0;
  bool exists = false;           // the last component names an entry
  struct stat st;                // that entry's status, when it exists
};

bool Append(HostPath *hp, const char *s, size_t n) {
  if (hp->length + n + 1 > sizeof hp->text) return false;
  memcpy(hp->text + hp->length, s, n);
  hp->length += static_cast<u32>(n);
  hp->text[hp->length] = 0;
  return true;
}

// Walks `path`. Every component but the last must be an existing folder
// (else PATHNOTFOUND); the last one is matched when it exists and kept as
// given otherwise. A path without components is the root when absolute, the
// current folder when `emptyIsCurrent`, else PATHNOTFOUND (as Windows
// answers an empty path). BADPARAMS when the host path would not fit.
Error Walk(const char *path, bool emptyIsCurrent, HostPath *hp) {
  HostResolvedPath r;
  if (Error e = HostResolvePath(path, hp->text, sizeof hp->text, &r)) return e;
  hp->length = r.length;
  if (r.components == 0) {
    if (hp->length == 0) {
      if (!emptyIsCurrent) return FERR_PATHNOTFOUND;
      Append(hp, ".", 1);
    }
    hp->finalAt = hp->length;
    hp->exists = stat(hp->text, &hp->st) == 0;
    return nullptr;
  }
  if (!r.parentFound) return FERR_PATHNOTFOUND;
  hp->finalAt = r.finalAt;
  hp->given = r.given;
  hp->givenLength = r.givenLength;
  hp->exists = r.exists;
  hp->st = r.st;
  return nullptr;
}

// What Windows calls a read-only file: one its owner may not write. Checked
// by the service because the host would let a privileged user write anyway.
bool IsReadOnly(const struct stat &st) { return (st.st_mode & S_IWUSR) == 0; }

// The find buffer of a listing: the entry's name, copied out of the host's
// directory stream so that it stays valid until the next call.
struct HostFindData {
  char name[NAME_MAX + 1];
};

u32 AttributesOf(const char *name, const struct stat &st) {
  u32 a = S_ISDIR(st.st_mode) ? FATTR_DIRECTORY : FATTR_ARCHIVE;
  if (IsReadOnly(st)) a |= FATTR_READONLY;
  if (name[0] == '.') a |= FATTR_HIDDEN;
  return a;
}

bool IsDotName(const char *name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Moves the listing to its next entry other than "." and "..".
Error NextEntry(FindRecord *record) {
  DIR *dir = reinterpret_cast<DIR *>(record->word);
  HostFindData *data = static_cast<HostFindData *>(record->buffer);
  for (;;) {
    errno = 0;
    struct dirent *e = readdir(dir);
    if (!e) return errno ? HostLastError(FERR_FILE) : FERR_NOMOREFILES;
    size_t n = strlen(e->d_name);
    if (IsDotName(e->d_name) || n >= sizeof data->name) continue;
    memcpy(data->name, e->d_name, n + 1);
    struct stat st;
    if (fstatat(dirfd(dir), data->name, &st, 0) != 0 &&
        fstatat(dirfd(dir), data->name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      memset(&st, 0, sizeof st);
    record->attributes = AttributesOf(data->name, st);
    record->name = data->name;
    return nullptr;
  }
}

// Appends s[0..n) to out (of `cap` bytes, length *len); false when full.
bool AppendText(char *out, size_t cap, size_t *len, const char *s, size_t n) {
  if (*len + n + 1 > cap) return false;
  memcpy(out + *len, s, n);
  *len += n;
  out[*len] = 0;
  return true;
}

}  // namespace

CFile *CHostFileService::Open(const char *path, u32 mode, Error *errorOut) {
  if (errorOut) *errorOut = nullptr;
  Error e = nullptr;
  HostPath hp;
  if (!path || HostPathTooLong(path))
    e = ERR_BADPARAMS;
  else
    e = Walk(path, false, &hp);
  bool write = (mode & FOM_WRITE) != 0;
  bool create = (mode & FOM_CREATE) != 0;
  bool replace = create && (mode & FOM_REPLACE) != 0;
  if (!e && hp.exists) {
    if (create && !replace)
      e = FERR_FILEEXIST;
    else if (S_ISDIR(hp.st.st_mode))
      e = FERR_ACCESSDENIED;  // Windows opens no folder as a file
    else if ((write || replace) && IsReadOnly(hp.st))
      e = FERR_ACCESSDENIED;
  }
  if (!e && !hp.exists && !create) e = FERR_FILENOTFOUND;
  if (e) {
    if (errorOut) *errorOut = e;
    return nullptr;
  }
  int flags = (mode & FOM_READ) && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  if (replace)
    flags |= O_CREAT | O_TRUNC;
  else if (create)
    flags |= O_CREAT | O_EXCL;
  if (!hp.exists) HostNamesBeforeChange(hp.text);
  int fd = open(hp.text, flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errorOut) *errorOut = HostLastError(FERR_OPENFAIL);
    return nullptr;
  }
  if (!hp.exists) HostNamesChanged(hp.text, true);
#ifdef POSIX_FADV_SEQUENTIAL
  if (mode & FOM_SEQUENTIAL)
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  else if (mode & FOM_RANDOM)
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
#endif
  CFile *file = NewHostFile(static_cast<uintptr_t>(fd), static_cast<u16>(mode));
  if (!file) close(fd);
  return file;
}

u32 CHostFileService::Exists(const char *path) {
  if (!path || HostPathTooLong(path)) return 0;
  HostPath hp;
  if (Walk(path, false, &hp)) return 0;
  return hp.exists && S_ISREG(hp.st.st_mode) ? 1 : 0;
}

Error CHostFileService::Delete(const char *path) {
  if (!path || HostPathTooLong(path)) return ERR_BADPARAMS;
  HostPath hp;
  if (Error e = Walk(path, false, &hp)) return e;
  if (!hp.exists) return FERR_FILENOTFOUND;
  if (S_ISDIR(hp.st.st_mode) || IsReadOnly(hp.st)) return FERR_ACCESSDENIED;
  HostNamesBeforeChange(hp.text);
  if (unlink(hp.text) != 0) return HostLastError(FERR_FILE);
  HostNamesChanged(hp.text, false);
  return nullptr;
}

Error CHostFileService::Move(const char *fromPath, const char *toPath) {
  if (!fromPath || !toPath || HostPathTooLong(fromPath) || HostPathTooLong(toPath))
    return ERR_BADPARAMS;
  HostPath from, to;
  if (Error e = Walk(fromPath, false, &from)) return e;
  if (!from.exists) return FERR_FILENOTFOUND;
  if (Error e = Walk(toPath, false, &to)) return e;
  if (to.exists) {
    // Only a new spelling of the same entry may take a taken name.
    if (to.st.st_dev != from.st.st_dev || to.st.st_ino != from.st.st_ino)
      return FERR_ALREADYEXISTS;
    to.length = to.finalAt;
    to.text[to.length] = 0;
    if (!Append(&to, to.given, to.givenLength)) return ERR_BADPARAMS;
  }
  HostNamesBeforeChange(from.text);
  HostNamesBeforeChange(to.text);
  if (rename(from.text, to.text) != 0) return HostLastError(FERR_FILE);
  HostNamesChanged(from.text, false);
  HostNamesChanged(to.text, true);
  return nullptr;
}

Error CHostFileService::MakeDir(const char *parentPath,
                                const char *relativePath) {
  char path[kHostDirPathMax];
  if (Error e = HostBuildDirPath(parentPath, relativePath, path)) return e;
  HostPath hp;
  if (Error e = Walk(path, false, &hp)) return e;
  if (hp.exists) return FERR_ALREADYEXISTS;
  HostNamesBeforeChange(hp.text);
  if (mkdir(hp.text, 0777) != 0)
    return errno == EEXIST ? FERR_ALREADYEXISTS : HostLastError(FERR_FILE);
  HostNamesChanged(hp.text, true);
  return nullptr;
}

Error CHostFileService::RemoveDir(const char *parentPath,
                                  const char *relativePath) {
  char path[kHostDirPathMax];
  if (Error e = HostBuildDirPath(parentPath, relativePath, path)) return e;
  HostPath hp;
  if (Error e = Walk(path, false, &hp)) return e;
  if (!hp.exists) return FERR_FILENOTFOUND;
  if (!S_ISDIR(hp.st.st_mode)) return FERR_FILE;
  HostNamesBeforeChange(hp.text);
  if (rmdir(hp.text) != 0) {
    // A folder that is not empty has no code of its own.
    if (errno == ENOTEMPTY || errno == EEXIST) return FERR_FILE;
    return HostLastError(FERR_FILE);
  }
  HostNamesChanged(hp.text, false);
  return nullptr;
}

Error CHostFileService::FindFirst(FindRecord *record, const char *dirPath) {
  if (!record || !dirPath) return ERR_BADPARAMS;
  memset(record, 0, sizeof *record);
  // The listing's pattern has to fit its buffer, as on Windows.
  size_t n = strlen(dirPath);
  bool sep = n != 0 && dirPath[n - 1] != '\\';
  if (n + sep + sizeof "*.*" > kHostPatternMax) return ERR_BADPARAMS;
  HostPath hp;
  if (Error e = Walk(dirPath, true, &hp)) return e;
  if (!hp.exists || !S_ISDIR(hp.st.st_mode)) return FERR_PATHNOTFOUND;
  void *data = gPtrPool->Allocate(sizeof(HostFindData));
  if (!data) return FERR_NOTENOUGHMEM;
  DIR *dir = opendir(hp.text);
  if (!dir) {
    Error e = HostLastError(FERR_FILE);
    gPtrPool->Free(data);
    return e;
  }
  record->service = this;
  record->word = reinterpret_cast<uintptr_t>(dir);
  record->buffer = data;
  return NextEntry(record);
}

Error CHostFileService::FindNext(FindRecord *record) {
  if (!record || !record->buffer) return ERR_BADPARAMS;
  return NextEntry(record);
}

Error CHostFileService::FindClose(FindRecord *record) {
  if (!record || !record->buffer) return ERR_BADPARAMS;
  int rc = closedir(reinterpret_cast<DIR *>(record->word));
  Error e = rc != 0 ? HostLastError(FERR_FILE) : nullptr;
  gPtrPool->Free(record->buffer);
  memset(record, 0, sizeof *record);
  return e;
}

Error CHostFileService::Query(const char *path, u32 queryId, char *buffer) {
  if (queryId != QUERY_FULLPATH) return ERR_NOTIMPL;
  if (!path || !buffer) return ERR_BADPARAMS;
  buffer[0] = 0;
  if (!*path) return ERR_UNKNOWN;  // Windows gives no full path for ""
  // Built lexically as Windows does: the current folder for a relative
  // path, "." and empty components dropped, ".." taking one back.
  char full[PATH_MAX + 1];
  size_t len = 0;
  if (IsSep(path[0])) {
    full[0] = 0;
  } else if (!getcwd(full, sizeof full)) {
    return ERR_UNKNOWN;
  } else {
    len = strlen(full);
    if (len == 1) len = 0;  // the root: its '/' comes with the next component
    full[len] = 0;
  }
  for (const char *p = path; *p;) {
    while (IsSep(*p)) p++;
    const char *end = p;
    while (*end && !IsSep(*end)) end++;
    size_t n = static_cast<size_t>(end - p);
    if (n == 2 && p[0] == '.' && p[1] == '.') {
      while (len > 0 && full[len - 1] != '/') len--;
      if (len > 0) len--;
      full[len] = 0;
    } else if (n != 0 && !(n == 1 && p[0] == '.')) {
      if (!AppendText(full, sizeof full, &len, "/", 1) ||
          !AppendText(full, sizeof full, &len, p, n))
        return ERR_UNKNOWN;
    }
    p = end;
  }
  bool trailing = IsSep(path[strlen(path) - 1]);
  if ((len == 0 || trailing) && !AppendText(full, sizeof full, &len, "/", 1))
    return ERR_UNKNOWN;
  if (len + 1 > kHostDirPathMax) return ERR_UNKNOWN;
  memcpy(buffer, full, len + 1);
  return nullptr;
}

Error HostFsInit() {
  // The patcher keeps a handful of files open at once; make sure the host
  // lets it have at least 64.
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 64 &&
      (rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= 64)) {
    rl.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  CFileService *service = new (std::nothrow) CHostFileService;
  if (!service) return ERR_ALLOCFAIL;
  Error e = RegisterService("", service);
  if (e) delete service;
  return e;
}

Error HostFsShutdown() {
  delete UnregisterService("");
  HostNamesClear();
  return nullptr;
}
