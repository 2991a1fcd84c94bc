// The copy engine: every file under DATA\Files goes to the same relative
// path below the game folder, on a worker thread behind the progress
// dialog. A file is copied whole or counted as failed, and a failure asks
// Abort, Retry or Ignore.
#include <cstring>

#include "config/catalogue.h"
#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "core/text.h"
#include "patcher/patcher.h"
#include "patcher/platform.h"

namespace {

const char kSourceTree[] = "DATA\\Files";
const u32 kPrefixLength = 11;  // "DATA\Files\"
const u32 kChunk = 32768;

// The part of a source path below DATA\Files\, or null for the top itself.
const char *RelativePart(const char *src) {
  return strlen(src) > kPrefixLength ? src + kPrefixLength : nullptr;
}

bool TargetPath(const char *relative, char *out, u32 size) {
  return relative && IsSafeRelativePath(relative) &&
         CopyText(out, size, gGameFolder) && AppendText(out, size, relative);
}

// Streams the whole source into the target; false on any short or failed
// transfer.
bool CopyData(CFile *source, CFile *target, void *buffer,
              const char *relative) {
  u32 total = source->GetSize();
  u32 done = 0;
  while (done < total) {
    u32 n = total - done < kChunk ? total - done : kChunk;
    u32 got = 0, put = 0;
    if (source->Read(buffer, n, &got) != nullptr || got != n) return false;
    if (target->Write(buffer, n, &put) != nullptr || put != n) return false;
    done += n;
    PlatformProgress(relative, done, total);
  }
  return true;
}

// The normal ends of a listing: an empty or missing folder, or no more
// entries (the pack and the host file service end differently).
bool IsEndOfListing(Error e) {
  return e == FERR_FILENOTFOUND || e == FERR_NOMOREFILES ||
         e == FERR_PATHNOTFOUND;
}

// Asks Abort, Retry or Ignore about a path of DATA\Files that could not be
// copied. True for Retry. Every answer but Retry and Abort (also a box that
// could not be shown) leaves the run incomplete.
bool AskAgain(const char *src) {
  char message[256];
  FormatErrCopy(message, sizeof message,
                strlen(src) > kPrefixLength ? src + kPrefixLength : "");
  int answer =
      PlatformMessageBox(message, "Error", kMbAbortRetryIgnore | kMbIconQuestion);
  if (answer == kIdAbort) FatalMessage("errnotcomplete");
  if (answer == kIdRetry) return true;
  gIncomplete = 1;
  return false;
}

}  // namespace

u32 RunCopyDialog() {
  char caption[256], text[256];
  CopyText(caption, sizeof caption, GetText("title"));
  CopyText(text, sizeof text, GetText("copy"));
  if (!PlatformRunProgressDialog(caption, text, CopyWorker, nullptr))
    gIncomplete = 1;  // nothing was copied
  return 1;
}

void CopyWorker(void *) { CopyTree(kSourceTree); }

void CopyTree(const char *dir) {
  char path[256];
  if (!CopyText(path, sizeof path, dir)) return;
  MakeTargetDir(dir);
  bool named = AppendSeparator(path, sizeof path);
  size_t base = strlen(path);
  // Once per listing; a listing that fails (rather than ending) is asked
  // about like a file, so that no folder is skipped unnoticed.
  for (;;) {
    FindRecord record;
    memset(&record, 0, sizeof record);
    Error e = named ? FsFindFirst(&record, path) : ERR_BUFFERTOOSMALL;
    while (e == nullptr) {
      // A name that does not fit is a file that cannot be copied; a folder
      // whose name could not be made below the game folder (empty, "..",
      // a drive) is one whose files cannot be.
      path[base] = 0;
      bool fits = AppendText(path, sizeof path, record.name);
      bool folder = (record.attributes & FATTR_DIRECTORY) != 0;
      if (folder && fits && IsSafeRelativePath(path + kPrefixLength)) {
        CopyTree(path);
      } else {
        while (folder || !fits || !CopyOneFile(path)) {
          if (!AskAgain(path)) break;
        }
      }
      e = FsFindNext(&record);
    }
    FsFindClose(&record);
    if (IsEndOfListing(e)) return;
    path[base] = 0;
    if (!AskAgain(path)) return;
  }
}

void MakeTargetDir(const char *dir) {
  const char *relative = RelativePart(dir);
  if (!relative || !IsSafeRelativePath(relative)) return;
  // The walk meets every directory after its parent, so only the last
  // level can be missing.
  char parent[512];
  if (!CopyText(parent, sizeof parent, gGameFolder)) return;
  const char *name = relative;
  for (const char *p = relative; *p; p++)
    if (*p == '\\') name = p + 1;
  size_t parentLength = strlen(parent) + static_cast<size_t>(name - relative);
  if (!AppendText(parent, sizeof parent, relative)) return;
  parent[parentLength] = 0;
  FsMakeDir(parent, name);
}

u32 CopyOneFile(const char *src) {
  char target[256];
  const char *relative = RelativePart(src);
  if (!TargetPath(relative, target, sizeof target)) return 0;
  void *buffer = gPtrPool->Allocate(kChunk);
  if (!buffer) return 0;
  CFile *source = FsOpen(src, FOM_READ, nullptr);
  if (!source) {
    gPtrPool->Free(buffer);
    return 0;
  }
  PlatformMakeWritable(target);
  CFile *destination =
      FsOpen(target, FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE, nullptr);
  if (!destination) {
    delete source;
    gPtrPool->Free(buffer);
    return 0;
  }
  bool ok = CopyData(source, destination, buffer, relative);
  delete source;
  delete destination;
  gPtrPool->Free(buffer);
  return ok ? 1 : 0;
}
