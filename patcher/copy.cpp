// The copy engine: on a worker thread behind the progress dialog, the
// patch's archive is first proven whole, then every file under DATA\Files
// goes to the same relative path below the game folder. A file is written
// beside its target under a temporary name and takes the target's place
// only once it is complete, so a failed copy, an answer at the question or
// a run cut short leaves every game file old or new, never part of each. A
// failure asks Abort, Retry or Ignore.
#include <cstring>

#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "config/catalogue.h"
#include "core/ptr_pool.h"
#include "core/text.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "patcher/patcher.h"
#include "patcher/platform.h"

namespace {

const char kSourceTree[] = "DATA\\Files";
const u32 kPrefixLength = 11;  // "DATA\Files\"
const u32 kChunk = 32768;
// Files are written at one place at a time, so one name per folder serves;
// a run killed half-way leaves at most this file, which the next run that
// writes into the folder removes first.
const char kTempName[] = "~vaskpatch.tmp";

// The worker's run: the bytes behind it (the proof's, then the copied
// files') of all there are, for the progress shown.
struct CopyRun {
  u64 done;
  u64 total;
  bool broken;
};

// The part of a source path below DATA\Files\, or null for the top itself.
const char *RelativePart(const char *src) {
  return strlen(src) > kPrefixLength ? src + kPrefixLength : nullptr;
}

bool TargetPath(const char *relative, char *out, u32 size) {
  return relative && IsSafeRelativePath(relative) &&
         CopyText(out, size, gGameFolder) && AppendText(out, size, relative);
}

// The temporary file beside `target`: same folder, so that putting it in
// the target's place is a rename within one folder. A path too long for
// that takes the one in the game folder itself.
bool TempPath(const char *target, char *out, u32 size) {
  size_t folder = 0;
  for (size_t i = 0; target[i]; i++)
    if (target[i] == '\\' || target[i] == '/') folder = i + 1;
  if (folder < size && CopyText(out, size, target)) {
    out[folder] = 0;
    if (AppendText(out, size, kTempName)) return true;
  }
  return CopyText(out, size, gGameFolder) && AppendText(out, size, kTempName);
}

void Progress(const CopyRun *run, const char *item, u64 extra) {
  if (run) PlatformProgress(item, run->done + extra, run->total);
}

// Streams the whole source into the target; false on any short or failed
// transfer.
bool CopyData(CFile *source, CFile *target, void *buffer, const char *relative,
              const CopyRun *run) {
  u32 total = source->GetSize();
  u32 done = 0;
  Progress(run, relative, 0);
  while (done < total) {
    u32 n = total - done < kChunk ? total - done : kChunk;
    u32 got = 0, put = 0;
    if (source->Read(buffer, n, &got) != nullptr || got != n) return false;
    if (target->Write(buffer, n, &put) != nullptr || put != n) return false;
    done += n;
    Progress(run, relative, done);
  }
  return true;
}

// Copies one file of DATA\Files into its temporary file and puts that in
// the target's place; on any failure the temporary file is removed and the
// target is as it was.
bool CopyFile(const char *src, CopyRun *run) {
  char target[256], temp[256];
  const char *relative = RelativePart(src);
  if (!TargetPath(relative, target, sizeof target) ||
      !TempPath(target, temp, sizeof temp))
    return false;
  void *buffer = gPtrPool->Allocate(kChunk);
  if (!buffer) return false;
  CFile *source = FsOpen(src, FOM_READ, nullptr);
  CFile *destination =
      source ? FsOpen(temp, FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE,
                      nullptr)
             : nullptr;
  bool ok = destination && CopyData(source, destination, buffer, relative, run);
  u32 size = source ? source->GetSize() : 0;
  delete source;
  delete destination;
  gPtrPool->Free(buffer);
  if (ok) {
    // A read-only target can only be replaced once it is writable.
    PlatformMakeWritable(target);
    ok = PlatformReplaceFile(temp, target);
  }
  if (!ok) {
    // Also when the open failed half-way, after creating the file.
    if (source) FsDelete(temp);
    return false;
  }
  if (run) run->done += size;
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

// A temporary file that a run cut short left in the target folder of `dir`.
void RemoveLeftover(const char *dir) {
  const char *relative = RelativePart(dir);
  char path[256];
  if (relative && !IsSafeRelativePath(relative)) return;
  if (CopyText(path, sizeof path, gGameFolder) &&
      (!relative || (AppendText(path, sizeof path, relative) &&
                     AppendSeparator(path, sizeof path))) &&
      AppendText(path, sizeof path, kTempName) && FsExists(path))
    FsDelete(path);
}

void CopyTreeOf(const char *dir, CopyRun *run) {
  char path[256];
  if (!CopyText(path, sizeof path, dir)) return;
  MakeTargetDir(dir);
  RemoveLeftover(dir);
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
        CopyTreeOf(path, run);
      } else {
        while (folder || !fits || !CopyFile(path, run)) {
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

void ProofProgressShown(u64 done, u64 total, void *context) {
  CopyRun *run = static_cast<CopyRun *>(context);
  PlatformProgress(nullptr, done, run->total);
}

// The DATA archive proven whole, with the run's total set from it.
bool ProveArchive(CopyRun *run) {
  const char *rest = nullptr;
  CFileService *service = ResolveMount("DATA\\", &rest);
  void *pack = service ? service->Cast(CPackFS::sClassName) : nullptr;
  if (!pack) return false;
  CPackFS *fs = static_cast<CPackFS *>(pack);
  PatchProof proof;
  // The copy's share is known before the first byte is read: the
  // directory comes first.
  run->total = fs->GetFile()->GetSize();
  CFile *second = OpenArchiveAgain();
  Error e = ProvePatchPack(fs, second, ProofProgressShown, run, &proof);
  delete second;
  if (e) return false;
  run->done = run->total;
  run->total += proof.filesBytes;
  return true;
}

}  // namespace

u32 RunCopyDialog() {
  char caption[256], text[256];
  CopyText(caption, sizeof caption, GetText("title"));
  CopyText(text, sizeof text, GetText("copy"));
  CopyRun run = {0, 0, false};
  if (!PlatformRunProgressDialog(caption, text, CopyWorker, &run))
    gIncomplete = 1;  // nothing was copied
  return run.broken ? 0 : 1;
}

void CopyWorker(void *run) {
  CopyRun *r = static_cast<CopyRun *>(run);
  if (!ProveArchive(r)) {
    r->broken = true;
    return;
  }
  CopyTreeOf(kSourceTree, r);
}

void CopyTree(const char *dir) { CopyTreeOf(dir, nullptr); }

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

u32 CopyOneFile(const char *src) { return CopyFile(src, nullptr) ? 1 : 0; }
