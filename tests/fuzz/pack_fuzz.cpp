// A pack opened from any bytes, listed directory by directory, and every
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

struct Visit {
  CPackFS *pack;
  u32 members;
};

int VisitMember(const char *path, CFile *file, Error openError, void *context) {
  Visit *v = static_cast<Visit *>(context);
  v->members++;
  if (!file) return 0;
  v->pack->Exists(path);  // names out of order may hide it: not checked
  Error e = nullptr;
  u32 offset = v->pack->GetDataOffset(path, &e);
  if (e != nullptr || offset != static_cast<CPackFile *>(file)->Offset()) abort();
  ReadThrough(file, nullptr);
  // Reads at the end: a count of 0 with a count, EOF without.
  u32 got = 9;
  u8 byte;
  file->Seek(0, SEEK_FROM_END);
  if (file->Read(&byte, 1, &got) != FERR_EOF || got != 0) abort();
  return v->members > 10000;  // enough of one listing
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 4u << 20) return 0;
  CPackFS *pack = new CPackFS();
  if (pack->OpenPack(new CFuzzFile(data, size)) == nullptr) {
    Visit v = {pack, 0};
    WalkArchive(pack, "", VisitMember, &v);
    Error e = nullptr;
    CFile *f = pack->Open("patch.ini", FOM_READ, &e);
    delete f;
    pack->Exists("FILES");
    pack->Exists("");
    FindRecord record;
    memset(&record, 0, sizeof record);
    if (pack->FindFirst(&record, "FILES") == nullptr)
      while (pack->FindNext(&record) == nullptr) {
      }
    pack->FindClose(&record);
    PatchProof one, two;
    CFuzzFile second(data, size);
    Error a = ProvePatchPack(pack, nullptr, nullptr, nullptr, &one);
    Error b = ProvePatchPack(pack, &second, nullptr, nullptr, &two);
    if (a != b || strcmp(one.failed, two.failed) != 0 || one.hasSums != two.hasSums) abort();
  }
  delete pack;
  return 0;
}
