// The patcher's operating-system layer on POSIX systems with a terminal:
// the progress dialog is text on standard output, beside the message boxes
// of config/message_box_posix.cpp; the registry is a registry export file
// (see regedit4.h); the named mutex is a lock file; shortcuts are desktop
// entries. Paths handed in are Windows-style paths of the patcher: '\' and
// '/' separate, and each component is matched without regard to ASCII case
// when no exact match exists, by the host file service's own resolver
// (fs/host_path_posix.h).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/endian.h"
#include "config/console_posix.h"
#include "core/ptr_pool.h"
#include "fs/host_path_posix.h"
#include "patcher/platform.h"
#include "patcher/regedit4.h"

namespace {

const u32 kPath = PATH_MAX;
const char kGameKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask";
// A single key's export is a few hundred bytes; a whole-registry export
// beyond this is refused rather than read into memory.
const u32 kMaxRegistryFile = 64u << 20;

// ---- Small text helpers ----

bool IsSep(char c) { return c == '/' || c == '\\'; }

// Appends [p, p + n) to the NUL-terminated text in buffer; false when it
// does not fit.
bool Append(char *buffer, u32 size, const char *p, size_t n) {
  size_t len = strlen(buffer);
  if (n >= size - len) return false;
  memcpy(buffer + len, p, n);
  buffer[len + n] = 0;
  return true;
}
bool Append(char *buffer, u32 size, const char *s) {
  return Append(buffer, size, s, strlen(s));
}

bool CopyText(char *buffer, u32 size, const char *s) {
  if (size == 0) return false;
  buffer[0] = 0;
  return Append(buffer, size, s);
}

// The host path of a Windows-style path, resolved as the host file service
// does (see HostResolvePath); a trailing separator is kept. False when the
// result does not fit.
bool ResolveHostPath(const char *path, char *out, u32 size) {
  HostResolvedPath r;
  if (HostResolvePath(path, out, size, &r)) return false;
  size_t len = strlen(path);
  if (len > 0 && IsSep(path[len - 1]) && r.length > 0 &&
      out[r.length - 1] != '/' && !Append(out, size, "/"))
    return false;
  return true;
}

// The user's home folder: $HOME, else the password database.
bool HomeFolder(char *buffer, u32 size) {
  const char *home = getenv("HOME");
  if (home && *home) return CopyText(buffer, size, home);
  char scratch[4096];
  struct passwd pw, *result = nullptr;
  if (getpwuid_r(getuid(), &pw, scratch, sizeof scratch, &result) != 0 ||
      !result || !pw.pw_dir || !*pw.pw_dir)
    return false;
  return CopyText(buffer, size, pw.pw_dir);
}

// Creates every missing folder of an absolute path.
bool MakeFolders(const char *path) {
  char part[kPath];
  if (!CopyText(part, sizeof part, path)) return false;
  for (char *p = part + 1;; ++p) {
    if (*p == '/' || *p == 0) {
      char keep = *p;
      *p = 0;
      if (mkdir(part, 0700) != 0 && errno != EEXIST) return false;
      *p = keep;
      if (keep == 0) break;
    }
  }
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Replaces the file `path` by `n` bytes at once: a temporary file in the
// same folder is written, synced and renamed over it, so a reader sees the
// old file or the new one, never a part.
bool ReplaceFile(const char *path, const char *bytes, size_t n, mode_t mode) {
  char temp[kPath];
  if (!CopyText(temp, sizeof temp, path) ||
      !Append(temp, sizeof temp, ".XXXXXX"))
    return false;
  int fd = mkostemp(temp, O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, bytes, n) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp, path) == 0;
  if (!ok) unlink(temp);
  return ok;
}

// Reads a whole regular file into a block of gPtrPool; false when it is
// missing, not regular, larger than `limit` or unreadable.
bool ReadFile(const char *path, u32 limit, char **bytes, u32 *size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > static_cast<off_t>(limit)) {
    close(fd);
    return false;
  }
  u32 n = static_cast<u32>(st.st_size);
  char *p = static_cast<char *>(gPtrPool->Allocate(n ? n : 1));
  u32 done = 0;
  while (p && done < n) {
    ssize_t r = read(fd, p + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<u32>(r);
  }
  close(fd);
  if (!p) return false;
  *bytes = p;
  *size = done;
  return true;
}

// ---- Progress: one line on a terminal, plain lines otherwise ----

bool sTerminal = false;  // standard output is a terminal
char sItem[256];         // what the progress line last named
bool sHaveItem = false;
timespec sLastDraw;      // when the progress was last shown

struct WorkerStart {
  void (*work)(void *);
  void *arg;
};

void *WorkerMain(void *p) {
  WorkerStart *start = static_cast<WorkerStart *>(p);
  start->work(start->arg);
  return nullptr;
}

double Seconds(const timespec &t) {
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// ---- Desktop entries ----

// Text writer into a gPtrPool block sized by the caller's bound.
struct TextOut {
  char *p;
  size_t size, len;
  void Put(char c) {
    if (len + 1 < size) p[len++] = c;
  }
  void Put(const char *s) {
    while (*s) Put(*s++);
  }
};

bool IsValidUtf8(const char *s) {
  const u8 *p = reinterpret_cast<const u8 *>(s);
  while (*p) {
    u32 n = *p < 0x80         ? 0
            : (*p >> 5) == 6  ? 1
            : (*p >> 4) == 14 ? 2
            : (*p >> 3) == 30 ? 3
                              : 9;
    if (n == 9) return false;
    ++p;
    for (u32 i = 0; i < n; ++i, ++p)
      if ((*p >> 6) != 2) return false;
  }
  return true;
}

// Desktop entries are UTF-8; the patcher's texts are 8-bit ANSI. Text that
// is not UTF-8 already is taken as Latin-1.
void PutUtf8(TextOut *o, char c, bool latin1) {
  u8 b = static_cast<u8>(c);
  if (!latin1 || b < 0x80) {
    o->Put(c);
  } else {
    o->Put(static_cast<char>(0xC0 | (b >> 6)));
    o->Put(static_cast<char>(0x80 | (b & 0x3F)));
  }
}

// A string value: backslash and control characters escaped.
void PutValue(TextOut *o, const char *s) {
  bool latin1 = !IsValidUtf8(s);
  for (; *s; ++s) {
    switch (*s) {
      case '\\':
        o->Put("\\\\");
        break;
      case '\n':
        o->Put("\\n");
        break;
      case '\t':
        o->Put("\\t");
        break;
      case '\r':
        o->Put("\\r");
        break;
      default:
        PutUtf8(o, *s, latin1);
    }
  }
}

// The Exec value: the program as one argument, quoted when it holds a
// reserved character (inside the quotes '"', '`', '$' and '\' take a
// backslash), '%' doubled, and then escaped as every string value.
void PutExec(TextOut *o, const char *program) {
  static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
  bool quote = *program == 0 || strpbrk(program, kReserved) != nullptr;
  bool latin1 = !IsValidUtf8(program);
  if (quote) o->Put('"');
  for (const char *s = program; *s; ++s) {
    char c = *s;
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
      o->Put("\\\\");
    if (c == '%') o->Put('%');
    if (c == '\\')
      o->Put("\\\\");
    else if (c == '\n')
      o->Put("\\n");
    else if (c == '\t')
      o->Put("\\t");
    else if (c == '\r')
      o->Put("\\r");
    else
      PutUtf8(o, c, latin1);
  }
  if (quote) o->Put('"');
}

}  // namespace

// ---- Process ----

bool PlatformGetExecutablePath(char *buffer, u32 size) {
  if (!buffer || size < 2) return false;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  // A result that fills the buffer may have been cut.
  if (n <= 0 || static_cast<u32>(n) >= size - 1) return false;
  buffer[n] = 0;
  return true;
}

// ---- Registry ----

struct PlatformRegKey {
  char path[kPath];
  bool writable;
};

namespace {

bool RegistryFile(char *buffer, u32 size) {
  const char *env = getenv("VASKPATCH_REGISTRY");
  if (env && *env) return CopyText(buffer, size, env);
  return HomeFolder(buffer, size) &&
         Append(buffer, size, "/.vaskpatch/registry.reg");
}

// The value's data as the registry holds it, into a fresh gPtrPool block;
// false when the file or the value is missing.
bool LoadValue(PlatformRegKey *key, const char *name, u8 **data, u32 *size) {
  char *text;
  u32 textSize;
  if (!key || !name || !ReadFile(key->path, kMaxRegistryFile, &text, &textSize))
    return false;
  u32 need = 0;
  bool ok = RegTextGetValue(text, textSize, kGameKey, name, nullptr, 0,
                            &need) != kRegMissing;
  u8 *p = ok ? static_cast<u8 *>(gPtrPool->Allocate(need ? need : 1)) : nullptr;
  if (p) RegTextGetValue(text, textSize, kGameKey, name, p, need, &need);
  gPtrPool->Free(text);
  if (!p) return false;
  *data = p;
  *size = need;
  return true;
}

}  // namespace

PlatformRegKey *PlatformRegOpen(bool forWriting) {
  char path[kPath];
  if (!RegistryFile(path, sizeof path)) return nullptr;
  char *text;
  u32 size;
  if (!ReadFile(path, kMaxRegistryFile, &text, &size)) return nullptr;
  bool present = RegTextHasKey(text, size, kGameKey);
  gPtrPool->Free(text);
  if (!present) return nullptr;
  PlatformRegKey *key =
      static_cast<PlatformRegKey *>(gPtrPool->Allocate(sizeof(PlatformRegKey)));
  if (!key) return nullptr;
  memcpy(key->path, path, sizeof path);
  key->writable = forWriting;
  return key;
}

// Every value reads as its raw data, as the registry's query does when the
// type is not examined: a string with its NUL, a dword as its 4
// little-endian bytes, binary data as it is. A NUL is added when the data
// does not end in one, and it must fit as well.
bool PlatformRegQueryString(PlatformRegKey *key, const char *name, char *buffer,
                            u32 size) {
  u8 *data;
  u32 n;
  if (!buffer || !LoadValue(key, name, &data, &n)) return false;
  bool terminated = n > 0 && data[n - 1] == 0;
  bool fits = terminated ? n <= size : n < size;
  if (fits) {
    if (n) memcpy(buffer, data, n);
    if (!terminated) buffer[n] = 0;
  }
  gPtrPool->Free(data);
  return fits;
}

// Any value of exactly 4 bytes of data, as on the registry: a dword, 4
// binary bytes, or even a string of 3 characters (with its NUL).
bool PlatformRegQueryDword(PlatformRegKey *key, const char *name, u32 *value) {
  u8 *data;
  u32 n;
  if (!value || !LoadValue(key, name, &data, &n)) return false;
  bool ok = n == 4;
  if (ok) *value = GetU32LE(data);
  gPtrPool->Free(data);
  return ok;
}

bool PlatformRegSetDword(PlatformRegKey *key, const char *name, u32 value) {
  if (!key || !name || !key->writable) return false;
  // Edit the file where it really is, so that a link to it stays a link.
  char target[kPath];
  if (!realpath(key->path, target) &&
      !CopyText(target, sizeof target, key->path))
    return false;
  struct stat st;
  char *text;
  u32 size;
  if (stat(target, &st) != 0 ||
      !ReadFile(target, kMaxRegistryFile, &text, &size))
    return false;
  u32 need = 0;
  bool ok =
      RegTextSetDword(text, size, kGameKey, name, value, nullptr, 0, &need);
  char *out =
      ok ? static_cast<char *>(gPtrPool->Allocate(need ? need : 1)) : nullptr;
  ok = out &&
       RegTextSetDword(text, size, kGameKey, name, value, out, need, &need) &&
       ReplaceFile(target, out, need, st.st_mode & 07777);
  if (out) gPtrPool->Free(out);
  gPtrPool->Free(text);
  return ok;
}

void PlatformRegClose(PlatformRegKey *key) {
  if (key) gPtrPool->Free(key);
}

// ---- Mutex ----

int PlatformCreateMutex(const char *name) {
  if (!name || !*name) return -1;
  char path[kPath];
  const char *tmp = getenv("TMPDIR");
  if (!CopyText(path, sizeof path, tmp && *tmp ? tmp : "/tmp")) return -1;
  size_t len = strlen(path);
  if (len > 1 && path[len - 1] != '/' && !Append(path, sizeof path, "/"))
    return -1;
  len = strlen(path);
  if (!Append(path, sizeof path, name) || !Append(path, sizeof path, ".lock"))
    return -1;
  for (char *p = path + len; *p; ++p)
    if (*p == '/') *p = '_';
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? 0 : -1;
  }
  // The descriptor stays open, and the lock held, until the process ends.
  return 1;
}

// ---- Progress dialog ----

bool PlatformRunProgressDialog(const char *caption, const char *text,
                               void (*work)(void *), void *arg) {
  if (!work) return false;
  ConsoleLock();
  ConsoleEndLiveLine();
  sTerminal = isatty(1) == 1;
  sHaveItem = false;
  sLastDraw = timespec{};
  fprintf(stdout, "== %s ==\n%s\n", caption ? caption : "", text ? text : "");
  fflush(stdout);
  ConsoleUnlock();
  WorkerStart start{work, arg};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, WorkerMain, &start) != 0) return false;
  pthread_join(thread, nullptr);
  ConsoleLock();
  ConsoleEndLiveLine();
  fflush(stdout);
  ConsoleUnlock();
  return true;
}

namespace {

// "30000 of 70000 bytes", or in MiB from one mebibyte on.
void FormatAmount(char *out, size_t size, u64 done, u64 total) {
  if (total < (1u << 20)) {
    snprintf(out, size, "%llu of %llu bytes",
             static_cast<unsigned long long>(done),
             static_cast<unsigned long long>(total));
  } else {
    snprintf(out, size, "%.1f of %.1f MiB",
             static_cast<double>(done) / (1u << 20),
             static_cast<double>(total) / (1u << 20));
  }
}

}  // namespace

// On a terminal one line, redrawn in place at most ten times a second and
// whenever the item changes: a bar, the percentage, the bytes and the item.
// Otherwise a plain line whenever the item changes, and at least once a
// second during a long one.
void PlatformProgress(const char *item, u64 done, u64 total) {
  const char *shown = item ? item : "checking the patch";
  if (done > total) done = total;
  ConsoleLock();
  bool newItem = !sHaveItem || strncmp(shown, sItem, sizeof sItem - 1) != 0;
  if (newItem) {
    snprintf(sItem, sizeof sItem, "%s", shown);
    sHaveItem = true;
  }
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  double since = Seconds(now) - Seconds(sLastDraw);
  u32 percent = total ? static_cast<u32>(done * 100 / total) : 100;
  char bytes[64];
  FormatAmount(bytes, sizeof bytes, done, total);
  if (sTerminal && (newItem || done == total || since >= 0.1)) {
    const u32 kBar = 20;
    char bar[kBar + 1];
    u32 filled = total ? static_cast<u32>(done * kBar / total) : kBar;
    for (u32 i = 0; i < kBar; i++) bar[i] = i < filled ? '#' : '-';
    bar[kBar] = 0;
    // The end of a long name is what tells files apart; the line stays
    // within 79 columns so that redrawing it never wraps.
    char line[80];
    int head = snprintf(line, sizeof line, "[%s] %3u%%  %s  ", bar, percent,
                        bytes);
    size_t room = head > 0 && static_cast<size_t>(head) < sizeof line - 4
                      ? sizeof line - 1 - static_cast<size_t>(head)
                      : 0;
    size_t length = strlen(shown);
    if (length > room && room > 3) {
      memcpy(line + head, "...", 3);
      memcpy(line + head + 3, shown + length - (room - 3), room - 3);
      line[head + room] = 0;
    } else if (room > 0) {
      memcpy(line + head, shown, length + 1);
    }
    u32 drawn = static_cast<u32>(strlen(line));
    fprintf(stdout, "\r%s", line);
    for (u32 i = drawn; i < ConsoleLiveLine(); ++i) fputc(' ', stdout);
    ConsoleSetLiveLine(drawn ? drawn : 1);
    fflush(stdout);
    sLastDraw = now;
  } else if (!sTerminal && (newItem || since >= 1.0)) {
    fprintf(stdout, "[%3u%%] %s (%s)\n", percent, shown, bytes);
    fflush(stdout);
    sLastDraw = now;
  }
  ConsoleUnlock();
}

// ---- Shortcuts ----

bool PlatformGetProgramsFolder(char *buffer, u32 size) {
  if (!buffer || size == 0) return false;
  char path[kPath];
  struct stat st;
  const char *env = getenv("VASKPATCH_PROGRAMS");
  if (env && *env) {
    // A folder named outright must exist.
    if (stat(env, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return CopyText(buffer, size, env);
  }
  const char *data = getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') {
    if (!CopyText(path, sizeof path, data)) return false;
  } else if (!HomeFolder(path, sizeof path) ||
             !Append(path, sizeof path, "/.local/share")) {
    return false;
  }
  // The per-user data folder may not exist yet on a fresh account.
  if (!Append(path, sizeof path, "/applications") || !MakeFolders(path))
    return false;
  return CopyText(buffer, size, path);
}

const char *PlatformShortcutExtension() { return ".desktop"; }

bool PlatformWriteShortcut(const char *linkPath, const char *target,
                           const char *workingDir, const char *iconPath,
                           const char *description) {
  if (!linkPath || !target || !workingDir || !iconPath || !description)
    return false;
  char link[kPath], program[kPath], folder[kPath], icon[kPath];
  if (!ResolveHostPath(linkPath, link, sizeof link) ||
      !ResolveHostPath(target, program, sizeof program) ||
      !ResolveHostPath(workingDir, folder, sizeof folder) ||
      !ResolveHostPath(iconPath, icon, sizeof icon))
    return false;
  // Each character takes at most 5 bytes (Latin-1 to UTF-8, escaped,
  // quoted and escaped again).
  size_t bound = 200 + 2 * 5 * strlen(description) +
                 5 * (strlen(program) + strlen(folder) + strlen(icon));
  if (bound > 0xFFFFFFFFu) return false;
  TextOut o{static_cast<char *>(gPtrPool->Allocate(static_cast<u32>(bound))),
            bound, 0};
  if (!o.p) return false;
  o.Put("[Desktop Entry]\nType=Application\nName=");
  PutValue(&o, description);
  o.Put("\nComment=");
  PutValue(&o, description);
  o.Put("\nExec=");
  PutExec(&o, program);
  o.Put("\nPath=");
  PutValue(&o, folder);
  o.Put("\nIcon=");
  PutValue(&o, icon);
  o.Put("\n");
  bool ok = ReplaceFile(link, o.p, o.len, 0644);
  gPtrPool->Free(o.p);
  return ok;
}

// ---- Other programs and files ----

void PlatformStartProgram(const char *commandLine) {
  if (!commandLine || !*commandLine) return;
  char program[kPath];
  if (!ResolveHostPath(commandLine, program, sizeof program)) return;
  // Files copied from a patch carry no execute permission; the user asked
  // for this program to run, so it gets the permission it needs.
  struct stat st;
  if (stat(program, &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IXUSR))
    chmod(program, (st.st_mode & 07777) | S_IXUSR |
                       ((st.st_mode & S_IRGRP) ? S_IXGRP : 0) |
                       ((st.st_mode & S_IROTH) ? S_IXOTH : 0));
  char *argv[] = {program, nullptr};
  int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  fflush(nullptr);
  // Started from a grandchild in its own session: the program is not ours
  // to wait for, and the child in between is reaped at once.
  pid_t child = fork();
  if (child == 0) {
    setsid();
    if (fork() == 0) {
      if (nullFd >= 0) dup2(nullFd, 0);
      execv(program, argv);
      _exit(127);
    }
    _exit(0);
  }
  if (nullFd >= 0) close(nullFd);
  if (child > 0)
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void PlatformMakeWritable(const char *path) {
  char host[kPath];
  struct stat st;
  if (!path || !ResolveHostPath(path, host, sizeof host) ||
      stat(host, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR))
    return;
  chmod(host, (st.st_mode & 07777) | S_IWUSR);
}

bool PlatformReplaceFile(const char *from, const char *to) {
  char source[kPath], target[kPath];
  if (!from || !to || !ResolveHostPath(from, source, sizeof source) ||
      !ResolveHostPath(to, target, sizeof target))
    return false;
  struct stat st;
  if (stat(target, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return false;
    // The new file keeps the old one's permissions (a game's program stays
    // runnable), writable as the old one was made for the copy.
    if (chmod(source, (st.st_mode & 07777) | S_IWUSR) != 0) return false;
  }
  HostNamesBeforeChange(source);
  HostNamesBeforeChange(target);
  if (rename(source, target) != 0) return false;
  HostNamesChanged(source, false);
  HostNamesChanged(target, true);
  return true;
}
