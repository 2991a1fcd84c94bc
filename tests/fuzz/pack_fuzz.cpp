// A pack opened from any bytes, listed directory by directory and every
// member read through; GetDataOffset must agree with the member opened. The
// proof of a patch's pack must come to the same verdict with one reader as
// with two.
#include <cstdlib>
#include <cstring>

#include "archive/archive_open.h"
#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

int VisitMember(const char *path, CFile *file, Error, void *context) {
  auto *v = static_cast<std::pair<CPackFS *, u32> *>(context);
  if (v->second++, !file) return 0;
  v->first->Exists(path);  // names out of order may hide it: not checked
  Error e = nullptr;
  u32 got = 9;
  u8 byte;
  if (v->first->GetDataOffset(path, &e) != static_cast<CPackFile *>(file)->Offset() || e) abort();
  ReadThrough(file, nullptr);
  file->Seek(0, SEEK_FROM_END);  // at the end: a count of 0 with a count, EOF without
  if (file->Read(&byte, 1, &got) != FERR_EOF || got != 0) abort();
  return v->second > 10000;  // enough of one listing
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 4u << 20) return 0;
  CPackFS *pack = new CPackFS();
  if (pack->OpenPack(new CMemoryFile(data, size)) == nullptr) {
    std::pair<CPackFS *, u32> v(pack, 0);
    WalkArchive(pack, "", VisitMember, &v);
    Error e = nullptr;
    delete pack->Open("patch.ini", FOM_READ, &e);
    pack->Exists("FILES");
    pack->Exists("");
    FindRecord record = {};
    if (pack->FindFirst(&record, "FILES") == nullptr)
      while (pack->FindNext(&record) == nullptr) {
      }
    pack->FindClose(&record);
    PatchProof one, two;
    CMemoryFile second(data, size);
    Error a = ProvePatchPack(pack, nullptr, nullptr, nullptr, &one);
    if (a != ProvePatchPack(pack, &second, nullptr, nullptr, &two) || strcmp(one.failed, two.failed) ||
        one.hasSums != two.hasSums)
      abort();
  }
  delete pack;
  return 0;
}
