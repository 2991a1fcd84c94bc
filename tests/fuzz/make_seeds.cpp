// Writes the seed corpus of every fuzz target with the library's own
// writers: the LZSS encoder and container writer, the pack writer, the pool
// file system, the patch builder, and sample INI and registry export texts.
// Usage: make_seeds CORPUS-DIR (one folder per target is made below it).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/lzss.h"
#include "archive/lzss_writer.h"
#include "archive/pack_writer.h"
#include "archive/patch_builder.h"
#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "fs/mount_table.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

typedef std::vector<u8> Bytes;

std::string gRoot;

void Fail(const std::string &what) {
  fprintf(stderr, "make_seeds: %s\n", what.c_str());
  exit(1);
}

void Save(const std::string &target, const std::string &name, const Bytes &bytes) {
  std::string dir = gRoot + "/" + target;
  mkdir(dir.c_str(), 0755);
  std::string path = dir + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) Fail(path);
  fclose(f);
}

Bytes FromText(const std::string &text) { return Bytes(text.begin(), text.end()); }

// Text-like bytes that compress: words from a small vocabulary.
Bytes Prose(size_t n, unsigned seed) {
  static const char *kWords[] = {"salt ", "road ", "patch ", "vask ", "caravan ",
                                 "merchant ", "\r\n", "oasis ", "= ", "[str]\r\n"};
  Bytes out;
  unsigned s = seed;
  while (out.size() < n) {
    s = s * 1103515245u + 12345u;
    const char *w = kWords[(s >> 16) % 10];
    out.insert(out.end(), w, w + strlen(w));
  }
  out.resize(n);
  return out;
}

// Bytes that do not compress.
Bytes Noise(size_t n, unsigned seed) {
  Bytes out(n);
  unsigned s = seed;
  for (auto &b : out) {
    s = s * 1103515245u + 12345u;
    b = static_cast<u8>(s >> 16);
  }
  return out;
}

// ---- LZSS ------------------------------------------------------------------

void LzssDecodeSeeds() {
  // The codec's worked examples: code, then stream.
  Save("lzss_decode", "abc", {0xC4, 0xB0, 0xD8, 0xAC, 0x60});
  Save("lzss_decode", "aaaa", {0xC4, 0xB0, 0xBF, 0xFC, 0x40});
  Save("lzss_decode", "A", {0xC4, 0xA0, 0x80});
  Save("lzss_decode", "abcabcabc_a1", {0xA1, 0xB0, 0xD8, 0xAC, 0x6F, 0xF6, 0xFF, 0x60});
  const u8 codes[] = {0xA1, 0xA5, 0xB3, 0xC4, 0xC5};
  for (u8 code : codes) {
    for (int kind = 0; kind < 3; kind++) {
      Bytes plain = kind == 0 ? Prose(3000, code) : kind == 1 ? Bytes(2000, 0) : Noise(300, code);
      Bytes stream(plain.size() * 9 / 8 + 2);
      u32 length = static_cast<u32>(stream.size());
      if (LzssEncode(plain.data(), static_cast<u32>(plain.size()), stream.data(), &length,
                     code, nullptr) != nullptr)
        Fail("LzssEncode");
      stream.resize(length);
      stream.insert(stream.begin(), code);
      char name[32];
      snprintf(name, sizeof name, "code_%02x_%d", code, kind);
      Save("lzss_decode", name, stream);
    }
  }
}

Bytes Container(const Bytes &plain, u8 code, u32 blockSize) {
  CFuzzFile in(plain.data(), plain.size());
  CFuzzFile out(nullptr, 0);
  if (LzssCompressFile(&in, &out, code, blockSize) != nullptr) Fail("LzssCompressFile");
  return out.Bytes();
}

void LzssFileSeeds() {
  Save("lzss_file", "empty", Container(Bytes(), 0xC4, 0x8000));
  Save("lzss_file", "prose_one_block", Container(Prose(2000, 1), 0xC4, 0x8000));
  Save("lzss_file", "prose_small_blocks", Container(Prose(3000, 2), 0xC4, 256));
  Save("lzss_file", "noise_raw_blocks", Container(Noise(700, 3), 0xC4, 128));
  Save("lzss_file", "mixed_a1", Container(Prose(900, 4), 0xA1, 100));
  Save("lzss_file", "zeros_b5", Container(Bytes(5000, 0), 0xB5, 1024));
  Bytes mixed = Prose(600, 5);
  Bytes noise = Noise(600, 6);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  Save("lzss_file", "prose_then_noise", Container(mixed, 0xC3, 512));
}

// ---- Packs -----------------------------------------------------------------

struct Member {
  std::string name;
  Bytes data;
};

Bytes Pack(const std::vector<Member> &members, bool checksums = false) {
  std::vector<CFuzzFile *> sources;
  CPackWriter writer;
  if (checksums && writer.AddChecksums() != nullptr) Fail("AddChecksums");
  for (const Member &m : members) {
    sources.push_back(new CFuzzFile(m.data.data(), m.data.size()));
    if (writer.AddFile(m.name.c_str(), sources.back(),
                       static_cast<u32>(m.data.size())) != nullptr)
      Fail("AddFile " + m.name);
  }
  CFuzzFile out(nullptr, 0);
  if (writer.WritePack(&out) != nullptr) Fail("WritePack");
  for (CFuzzFile *f : sources) delete f;
  return out.Bytes();
}

const char kPatchIni[] =
    "; the patch's parameters and texts\r\n"
    "[str]\r\n"
    "title = Vask Patch ;caption\r\n"
    "welcome = Update VASK to 1.09?|Press Yes.\r\n"
    "welcome2 = Update %d.%d in %s?\r\n"
    "errcopy = Cannot copy %s\r\n"
    "copy=Updating VASK. Please, wait...\r\n"
    "minver = 0x00010000\r\n"
    "maxver=10008\r\n"
    "newver = 0x10009\r\n"
    "language = English\r\n"
    "arcade=1\r\n"
    "\r\n"
    "[other]\r\n"
    "k = a = b\r\n";

std::vector<Member> PatchMembers() {
  return {{"FILES\\A.TXT", FromText("first file\r\n")},
          {"FILES\\SUB\\B.TXT", Prose(500, 7)},
          {"FILES\\SUB\\D.TXT", Bytes()},
          {"FILES\\PACKS\\DATA2.WDT", Noise(200, 8)},
          {"PATCH.INI", FromText(kPatchIni)}};
}

void PackSeeds() {
  Save("pack", "patch", Pack(PatchMembers()));
  Save("pack", "patch_sums", Pack(PatchMembers(), true));
  Save("pack", "one_member", Pack({{"PATCH.INI", FromText("[str]\r\n")}}));
  std::vector<Member> many;
  for (int i = 0; i < 104; i++) {  // just past one skip step
    char name[64];
    snprintf(name, sizeof name, "FILES\\DIR%d\\FILE%03d.DAT", i % 7, i);
    many.push_back({name, Bytes(static_cast<size_t>(i % 5), static_cast<u8>(i))});
  }
  Save("pack", "skip_index", Pack(many));
}

// ---- Pool files ------------------------------------------------------------

void PutFile(CHPFS *fs, const char *path, const Bytes &data) {
  Error e = nullptr;
  CFile *f = fs->Open(path, FOM_READ | FOM_WRITE | FOM_CREATE, &e);
  if (!f) Fail(std::string("pool open ") + path);
  if (!data.empty() && f->Write(data.data(), static_cast<u32>(data.size()), nullptr) != nullptr)
    Fail(std::string("pool write ") + path);
  delete f;
}

Bytes Pool(u32 blockSize, void (*fill)(CHPFS *)) {
  CFuzzFile *file = new CFuzzFile(nullptr, 0);
  Error e = nullptr;
  // The file goes with the file system; copy its bytes out before that.
  CHPFS *fs = CreatePoolFileSystem(file, blockSize, &e);
  if (!fs) Fail("CreatePoolFileSystem");
  fill(fs);
  fs->Pool()->Flush();
  Bytes bytes = file->Bytes();
  delete fs;
  return bytes;
}

void FillLanguage(CHPFS *fs) {
  if (fs->MakeDir("", "LOCAL") != nullptr) Fail("MakeDir");
  PutFile(fs, "LOCAL\\strings3.ini", FromText("[lang]\r\nname = English\r\n"));
  PutFile(fs, "LOCAL\\strings.ini", Prose(300, 9));
  PutFile(fs, "readme.txt", Bytes());
}

void FillDeep(CHPFS *fs) {
  fs->MakeDir("", "a");
  fs->MakeDir("a", "b");
  PutFile(fs, "a/b/c.txt", Prose(100, 10));
  // 64-byte blocks with an 8-byte head: past 14 blocks the tree grows a
  // level, past 224 another.
  PutFile(fs, "a/depth1.bin", Prose(15 * 64, 11));
  PutFile(fs, "depth2.bin", Prose(230 * 64, 12));
  fs->Delete("a/b/c.txt");  // leaves blocks on the free list
  PutFile(fs, "a/b/again.txt", Prose(70, 13));
}

void PoolSeeds() {
  Save("pool", "language", Pool(256, FillLanguage));
  Save("pool", "deep_small_blocks", Pool(64, FillDeep));
  Save("pool", "empty", Pool(1024, [](CHPFS *) {}));
}

// ---- INI and registry texts --------------------------------------------------

void IniSeeds() {
  Save("ini", "patch_ini", FromText(kPatchIni));
  Save("ini", "edge_lines",
       FromText("k=dropped\n[str]\ntitle = Vask Patch ;c\nk = a = b\nq=\"quoted\"\n"
                "k=\nk\n=v\n; note\n[STR]\n[ str ]\n[x] = y\rcr\r\n\r\n\n" +
                std::string(1500, 'L') + "\nlast line"));
  Save("ini", "lf_only", FromText("[a]\nx=1\n[b]\ny=2\n[a]\nz=3"));
}

void RegSeeds() {
  Save("regedit4", "game_key",
       FromText("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]\r\n"
                "\"Path\"=\"C:\\\\Games\\\\Vask\\\\\"\r\n\"Language\"=\"English\"\r\n"
                "\"GameVersion\"=dword:00010008\r\n\r\n"));
  Save("regedit4", "version5_bom",
       FromText("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest]\n@=\"top\"\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]\n"
                "\"Blob\"=hex:01,02,03,\\\n  04,05\n\"Multi\"=hex(7):41,00,00\n"
                "\"GameVersion\"=-\n; comment\n\"Path\"=\"say \\\"hi\\\"\"\n"));
  Save("regedit4", "no_key", FromText("REGEDIT4\n\n[HKEY_CURRENT_USER\\Other]\n\"x\"=dword:1\n"));
}

// ---- A patch executable -------------------------------------------------------

void PatchExeSeeds() {
  char tmpl[] = "/tmp/vask-seeds-XXXXXX";
  if (!mkdtemp(tmpl)) Fail("mkdtemp");
  std::string dir = tmpl;
  auto write = [](const std::string &path, const Bytes &b) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(b.data(), 1, b.size(), f) != b.size()) Fail(path);
    fclose(f);
  };
  // A stand-in for the patcher program: the builder only needs a file
  // without a container of its own.
  write(dir + "/stub.exe", Noise(3000, 14));
  write(dir + "/Patch.ini", FromText(kPatchIni));
  mkdir((dir + "/files").c_str(), 0755);
  mkdir((dir + "/files/Sub").c_str(), 0755);
  write(dir + "/files/readme.txt", FromText("first file\r\n"));
  write(dir + "/files/Sub/b.txt", Prose(400, 15));
  write(dir + "/files/Sub/empty.dat", Bytes());

  MountTableInit(8);
  HostFsInit();
  const u8 codes[] = {0xC4, 0xA2};
  for (u8 code : codes) {
    std::string out = dir + "/patch.exe";
    PatchBuildInfo info;
    char failed[256] = "";
    Error e = BuildPatch((dir + "/stub.exe").c_str(), (dir + "/Patch.ini").c_str(),
                         (dir + "/files").c_str(), code, out.c_str(), &info, failed,
                         sizeof failed);
    if (e) Fail(std::string("BuildPatch: ") + e + " " + failed);
    FILE *f = fopen(out.c_str(), "rb");
    Bytes b;
    int c;
    while ((c = fgetc(f)) != EOF) b.push_back(static_cast<u8>(c));
    fclose(f);
    char name[32];
    snprintf(name, sizeof name, "patch_%02x", code);
    Save("patch_exe", name, b);
    unlink(out.c_str());
  }
  HostFsShutdown();
  MountTableShutdown();
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0) Fail("cleanup");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_seeds CORPUS-DIR\n");
    return 2;
  }
  gRoot = argv[1];
  mkdir(gRoot.c_str(), 0755);
  LzssDecodeSeeds();
  LzssFileSeeds();
  PackSeeds();
  PoolSeeds();
  IniSeeds();
  RegSeeds();
  PatchExeSeeds();
  return 0;
}
