// Writes the binary seeds of the fuzz targets with the library's own writers
// (the LZSS container writer, the pack writer, the pool file
// system, the patch builder) into the corpus folder; the text seeds there
// (ini/, regedit4/) are written by hand, and ini/patch_ini is the catalogue
// of the packs and patches written here.
// Usage: make_seeds CORPUS-DIR
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "archive/lzss_writer.h"
#include "archive/pack_writer.h"
#include "archive/patch_builder.h"
#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

typedef std::vector<u8> Bytes;
std::string gRoot;

void Check(bool ok, const std::string &what) {
  if (!ok) fprintf(stderr, "make_seeds: %s failed\n", what.c_str()), exit(1);
}
void Write(const std::string &path, const Bytes &b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), b.size());
}
void Save(const std::string &target, const std::string &name, const Bytes &b) {
  mkdir((gRoot + "/" + target).c_str(), 0755);
  Write(gRoot + "/" + target + "/" + name, b);
}
Bytes Load(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  Check(in.good(), path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
Bytes Text(const std::string &t) { return Bytes(t.begin(), t.end()); }

// Bytes that compress (words of a small vocabulary) and bytes that do not.
Bytes Prose(size_t n, unsigned s) {
  static const char *kWords[] = {"salt ", "road ", "patch ", "vask ", "caravan ",
                                 "merchant ", "\r\n", "oasis ", "= ", "[str]\r\n"};
  std::string out;
  while (out.size() < n) out += kWords[((s = s * 1103515245u + 12345u) >> 16) % 10];
  return Text(out.substr(0, n));
}
Bytes Noise(size_t n, unsigned s) {
  Bytes out(n);
  for (auto &b : out) b = static_cast<u8>((s = s * 1103515245u + 12345u) >> 16);
  return out;
}

Bytes Container(const Bytes &plain, u8 code, u32 blockSize) {
  CFuzzFile in(plain.data(), plain.size()), out(nullptr, 0);
  Check(!LzssCompressFile(&in, &out, code, blockSize), "LzssCompressFile");
  return out.Bytes();
}

Bytes Pack(const std::vector<std::pair<std::string, Bytes>> &members, bool checksums = false) {
  std::vector<std::unique_ptr<CFuzzFile>> sources;
  CPackWriter writer;
  Check(!checksums || !writer.AddChecksums(), "AddChecksums");
  for (auto &[name, data] : members) {
    sources.emplace_back(new CFuzzFile(data.data(), data.size()));
    Check(!writer.AddFile(name.c_str(), sources.back().get(), static_cast<u32>(data.size())), name);
  }
  CFuzzFile out(nullptr, 0);
  Check(!writer.WritePack(&out), "WritePack");
  return out.Bytes();
}

void PutFile(CHPFS *fs, const char *path, const Bytes &data) {
  Error e = nullptr;
  CFile *f = fs->Open(path, FOM_READ | FOM_WRITE | FOM_CREATE, &e);
  Check(f && (data.empty() || !f->Write(data.data(), static_cast<u32>(data.size()), nullptr)), path);
  delete f;
}

Bytes Pool(u32 blockSize, void (*fill)(CHPFS *)) {
  CFuzzFile *file = new CFuzzFile(nullptr, 0);
  Error e = nullptr;
  CHPFS *fs = CreatePoolFileSystem(file, blockSize, &e);  // the file goes with it
  Check(fs, "CreatePoolFileSystem");
  fill(fs);
  fs->Pool()->Flush();
  Bytes bytes = file->Bytes();
  delete fs;
  return bytes;
}

}  // namespace

int main(int argc, char **argv) {
  Check(argc == 2, "usage: make_seeds CORPUS-DIR;");
  gRoot = argv[1];
  const Bytes ini = Load(gRoot + "/ini/patch_ini");
  // A worked example of the codec, then a sample or two per target; the
  // corpus keeps the seeds earlier versions wrote as well.
  Save("lzss_decode", "abcabcabc_a1", {0xA1, 0xB0, 0xD8, 0xAC, 0x6F, 0xF6, 0xFF, 0x60});
  Save("lzss_file", "prose_small_blocks", Container(Prose(3000, 2), 0xC4, 256));
  std::vector<std::pair<std::string, Bytes>> patch = {
      {"FILES\\A.TXT", Text("first file\r\n")}, {"FILES\\SUB\\B.TXT", Prose(500, 7)},
      {"FILES\\SUB\\D.TXT", Bytes()}, {"FILES\\PACKS\\DATA2.WDT", Noise(200, 8)}, {"PATCH.INI", ini}};
  Save("pack", "patch", Pack(patch));
  Save("pack", "patch_sums", Pack(patch, true));
  Save("pool", "deep_small_blocks", Pool(64, [](CHPFS *fs) {
         fs->MakeDir("", "a");
         fs->MakeDir("a", "b");
         PutFile(fs, "a/b/c.txt", Prose(100, 10));
         // 64-byte blocks with an 8-byte head: past 14 blocks the tree grows
         // a level, past 224 another.
         PutFile(fs, "a/depth1.bin", Prose(15 * 64, 11));
         PutFile(fs, "depth2.bin", Prose(230 * 64, 12));
         fs->Delete("a/b/c.txt");  // leaves blocks on the free list
         PutFile(fs, "a/b/again.txt", Prose(70, 13));
       }));

  // Patch executables from a stand-in for the patcher program: the builder
  // only needs a file without a container of its own.
  char tmpl[] = "/tmp/vask-seeds-XXXXXX";
  Check(mkdtemp(tmpl), "mkdtemp");
  std::string dir = tmpl;
  Write(dir + "/stub.exe", Noise(3000, 14));
  Write(dir + "/Patch.ini", ini);
  mkdir((dir + "/files").c_str(), 0755);
  mkdir((dir + "/files/Sub").c_str(), 0755);
  Write(dir + "/files/readme.txt", Text("first file\r\n"));
  Write(dir + "/files/Sub/b.txt", Prose(400, 15));
  Write(dir + "/files/Sub/empty.dat", Bytes());
  MountTableInit(8);
  HostFsInit();
  PatchBuildInfo info;
  char failed[256] = "";
  Error e = BuildPatch((dir + "/stub.exe").c_str(), (dir + "/Patch.ini").c_str(), (dir + "/files").c_str(), 0xC4,
                       (dir + "/patch.exe").c_str(), &info, failed, sizeof failed);
  Check(!e, std::string("BuildPatch ") + (e ? e : "") + " " + failed);
  Save("patch_exe", "patch_c4", Load(dir + "/patch.exe"));
  HostFsShutdown();
  MountTableShutdown();
  Check(system(("rm -rf '" + dir + "'").c_str()) == 0, "cleanup");
  return 0;
}
