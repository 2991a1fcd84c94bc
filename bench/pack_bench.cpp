// Lookups and listings in a pack of 100,000 members, against a std::map of
// the expanded names built over the same directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/pack_fs.h"
#include "archive/pack_writer.h"
#include "core/endian.h"
#include "fs/mount_table.h"

namespace {

const u32 kMembers = 100000;

// The pack's bytes in memory.
class CBenchFile : public CFile {
 public:
  CBenchFile() : CFile(nullptr, 0) { valid = 1; }
  Error Read(void *buffer, u32 size, u32 *countOut) override {
    u32 n = position < data.size() ? static_cast<u32>(data.size()) - position : 0;
    if (n > size) n = size;
    if (n) memcpy(buffer, data.data() + position, n);
    position += n;
    if (countOut) *countOut = n;
    return n == size ? nullptr : FERR_EOF;
  }
  Error Write(const void *buffer, u32 size, u32 *countOut) override {
    if (data.size() < position + static_cast<size_t>(size)) data.resize(position + size);
    memcpy(data.data() + position, buffer, size);
    position += size;
    if (countOut) *countOut = size;
    return nullptr;
  }
  Error Seek(i32 offset, i16 origin) override {
    position = static_cast<u32>((origin == 2 ? data.size() : origin == 1 ? position : 0) + offset);
    return nullptr;
  }
  u32 GetSize() override { return static_cast<u32>(data.size()); }
  u32 Tell() override { return position; }

  std::vector<u8> data;
  u32 position = 0;
};

struct Fixture {
  std::vector<std::string> names;   // member names, in a random order
  std::vector<std::string> misses;  // names that are not stored
  std::map<std::string, std::pair<u32, u32>> map;
  CPackFS *fs = nullptr;  // mounted as DATA\, owned by the mount table

  Fixture() {
    // FILES\Dxx\Syy\NAME_nnnnn.DAT: 100 folders of 10 subfolders of 100.
    char buf[64];
    CBenchFile source;
    source.data.assign(64, 'x');
    CPackWriter writer;
    for (u32 i = 0; i < kMembers; i++) {
      snprintf(buf, sizeof buf, "FILES\\D%02u\\S%u\\MEMBER_%05u.DAT", i / 1000,
               (i / 100) % 10, i);
      names.push_back(buf);
      writer.AddFile(buf, &source, i % 64);
      snprintf(buf, sizeof buf, "FILES\\D%02u\\S%u\\MEMBER_%05uX.DAT", i / 1000,
               (i / 100) % 10, i);
      misses.push_back(buf);
    }
    CBenchFile *pack = new CBenchFile;
    if (writer.WritePack(pack)) abort();
    // The map holds what the directory holds: names and payloads.
    u32 dirLength = GetU32LE(&pack->data[36]);
    const u8 *d = &pack->data[40];
    std::string name;
    for (u32 o = 0; o < dirLength;) {
      u32 l = d[o], s = d[o + 1];
      name.resize(s);
      name.append(reinterpret_cast<const char *>(d + o + 2), l - s);
      const u8 *p = d + o + 2 + (l - s);
      map[name] = {GetU32LE(p), GetU32LE(p + 4)};
      o += 2 + (l - s) + 8;
    }
    std::mt19937 rng(1);
    for (size_t i = names.size(); i > 1; i--) std::swap(names[i - 1], names[rng() % i]);
    for (size_t i = misses.size(); i > 1; i--) std::swap(misses[i - 1], misses[rng() % i]);
    MountTableInit(8);
    if (MountPack(pack, "DATA")) abort();
    const char *rest;
    fs = static_cast<CPackFS *>(ResolveMount("DATA\\", &rest));
  }
};

Fixture &F() {
  static Fixture f;
  return f;
}

void BM_PackIndexLookup(benchmark::State &state) {
  Fixture &f = F();
  CPackIndex *index = f.fs->GetIndex();
  u8 payload[8];
  size_t i = 0;
  for (auto _ : state) {
    bool found = index->Lookup(f.names[i].c_str(), payload);
    benchmark::DoNotOptimize(found);
    if (++i == f.names.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PackIndexLookup);

void BM_MapLookup(benchmark::State &state) {
  Fixture &f = F();
  size_t i = 0;
  for (auto _ : state) {
    auto it = f.map.find(f.names[i]);
    benchmark::DoNotOptimize(it);
    if (++i == f.names.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapLookup);

void BM_PackIndexLookupMiss(benchmark::State &state) {
  Fixture &f = F();
  CPackIndex *index = f.fs->GetIndex();
  u8 payload[8];
  size_t i = 0;
  for (auto _ : state) {
    bool found = index->Lookup(f.misses[i].c_str(), payload);
    benchmark::DoNotOptimize(found);
    if (++i == f.misses.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PackIndexLookupMiss);

void BM_MapLookupMiss(benchmark::State &state) {
  Fixture &f = F();
  size_t i = 0;
  for (auto _ : state) {
    auto it = f.map.find(f.misses[i]);
    benchmark::DoNotOptimize(it);
    if (++i == f.misses.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapLookupMiss);

// Exists through the service: path normalisation and a prefix search.
void BM_PackFsExists(benchmark::State &state) {
  Fixture &f = F();
  size_t i = 0;
  for (auto _ : state) {
    u32 e = f.fs->Exists(f.names[i].c_str());
    benchmark::DoNotOptimize(e);
    if (++i == f.names.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PackFsExists);

// The same question asked of the map: the first name not below the path,
// and whether it begins with it.
void BM_MapExists(benchmark::State &state) {
  Fixture &f = F();
  size_t i = 0;
  for (auto _ : state) {
    const std::string &key = f.names[i];
    auto it = f.map.lower_bound(key);
    bool e = it != f.map.end() && it->first.compare(0, key.size(), key) == 0 &&
             it->first.back() != '\\';
    benchmark::DoNotOptimize(e);
    if (++i == f.names.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapExists);

// Lists one folder of 100 members, or the root (everything folded into
// FILES), through the path entry points; items are entries reported.
void ListDir(benchmark::State &state, const char *dir) {
  F();
  u64 entries = 0;
  for (auto _ : state) {
    FindRecord record = {};
    Error e = FsFindFirst(&record, dir);
    while (!e) {
      entries++;
      e = FsFindNext(&record);
    }
    FsFindClose(&record);
  }
  state.SetItemsProcessed(static_cast<int64_t>(entries));
}

void BM_ListFolderOf100(benchmark::State &state) { ListDir(state, "DATA\\FILES\\D42\\S7"); }
BENCHMARK(BM_ListFolderOf100);

void BM_ListFolderOf10Subfolders(benchmark::State &state) { ListDir(state, "DATA\\FILES\\D42"); }
BENCHMARK(BM_ListFolderOf10Subfolders);

void BM_ListRootFoldingEverything(benchmark::State &state) { ListDir(state, "DATA\\"); }
BENCHMARK(BM_ListRootFoldingEverything);

// FILES itself: 100 folders, each folding its 1,000 members.
void BM_ListFiles(benchmark::State &state) { ListDir(state, "DATA\\FILES"); }
BENCHMARK(BM_ListFiles);

// Every entry below `dir`, depth first, the way the copy engine walks the
// tree it copies.
u64 Walk(std::string dir) {
  u64 entries = 0;
  FindRecord record = {};
  Error e = FsFindFirst(&record, dir.c_str());
  while (!e) {
    entries++;
    if (record.attributes & FATTR_DIRECTORY) entries += Walk(dir + "\\" + record.name);
    e = FsFindNext(&record);
  }
  FsFindClose(&record);
  return entries;
}

// The whole FILES tree: 100,000 members in 1,100 folders.
void BM_WalkFilesTree(benchmark::State &state) {
  F();
  u64 entries = 0;
  for (auto _ : state) entries += Walk("DATA\\FILES");
  state.SetItemsProcessed(static_cast<int64_t>(entries));
}
BENCHMARK(BM_WalkFilesTree)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
