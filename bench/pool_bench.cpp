// The pool file system on a real file: reading a 64 MiB file front to back,
// and creating 10,000 small files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "archive/pool_file.h"
#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "fs/mount_table.h"

namespace {

const u32 kBigSize = 64u << 20;
const u32 kSmallFiles = 10000;

std::string TempPath(const char *name) {
  return "/tmp/vask_pool_bench_" + std::to_string(getpid()) + "_" + name;
}

struct HostServices {
  HostServices() {
    MountTableInit(8);
    HostFsInit();
  }
  ~HostServices() {
    HostFsShutdown();
    MountTableShutdown();
  }
};

CHPFS *NewFileSystem(const std::string &path, u32 blockSize) {
  Error e = nullptr;
  CFile *f = FsOpen(path.c_str(), FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e);
  return f ? CreatePoolFileSystem(f, blockSize, &e) : nullptr;
}

// A pool holding big.bin, built once per block size.
std::string BigImage(u32 blockSize) {
  std::string path = TempPath(("big" + std::to_string(blockSize)).c_str());
  std::unique_ptr<CHPFS> fs(NewFileSystem(path, blockSize));
  Error e = nullptr;
  std::unique_ptr<CFile> f(fs->Open("big.bin", FOM_WRITE | FOM_CREATE, &e));
  std::vector<u8> chunk(1 << 16);
  for (size_t i = 0; i < chunk.size(); i++) chunk[i] = static_cast<u8>(i * 7);
  for (u32 done = 0; done < kBigSize; done += static_cast<u32>(chunk.size()))
    f->Write(chunk.data(), static_cast<u32>(chunk.size()), nullptr);
  f.reset();
  fs->Pool()->Flush();
  return path;
}

void BM_SequentialRead64MiB(benchmark::State &state) {
  HostServices services;
  u32 blockSize = static_cast<u32>(state.range(0));
  u32 chunkSize = static_cast<u32>(state.range(1));
  std::string path = BigImage(blockSize);
  Error e = nullptr;
  std::unique_ptr<CHPFS> fs(OpenPoolFileSystem(
      FsOpen(path.c_str(), FOM_READ | FOM_SHAREREAD, &e), &e));
  std::vector<u8> buffer(chunkSize);
  for (auto _ : state) {
    std::unique_ptr<CFile> f(fs->Open("big.bin", FOM_READ, &e));
    u32 got = 0;
    u64 total = 0;
    do {
      f->Read(buffer.data(), chunkSize, &got);
      total += got;
    } while (got == chunkSize);
    if (total != kBigSize) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBigSize);
  fs.reset();
  remove(path.c_str());
}
BENCHMARK(BM_SequentialRead64MiB)
    ->Args({1024, 1 << 16})
    ->Args({1024, 4096})
    ->Args({4096, 1 << 16})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Creates 10,000 files of 100 bytes, all in one folder (range 0 = 1) or
// spread over 100 folders, and flushes the pool.
void BM_Create10000SmallFiles(benchmark::State &state) {
  HostServices services;
  bool flat = state.range(0) == 1;
  std::string path = TempPath("small");
  char data[100] = {};
  for (auto _ : state) {
    std::unique_ptr<CHPFS> fs(NewFileSystem(path, 1024));
    if (!flat)
      for (u32 d = 0; d < 100; d++) fs->MakeDir("", ("dir" + std::to_string(d)).c_str());
    Error e = nullptr;
    for (u32 i = 0; i < kSmallFiles; i++) {
      std::string name = flat ? "file" + std::to_string(i) + ".txt"
                              : "dir" + std::to_string(i % 100) + "\\file" +
                                    std::to_string(i) + ".txt";
      std::unique_ptr<CFile> f(
          fs->Open(name.c_str(), FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e));
      if (!f || f->Write(data, sizeof data, nullptr) != nullptr) {
        state.SkipWithError("create failed");
        break;
      }
    }
    fs->Pool()->Flush();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSmallFiles);
  remove(path.c_str());
}
BENCHMARK(BM_Create10000SmallFiles)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
