// Throughput of the LZSS codec and the LZSS file on the machine corpus, with
// memcpy and zlib (inflate, deflate level 6) on the same 32 KiB blocks as
// the yardstick.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/lzss.h"
#include "archive/lzss_file.h"
#include "archive/lzss_writer.h"
#include "corpus.h"
#include "fs/host_file.h"

namespace {

const u32 kBlock = 32768;

struct Encoded {
  std::vector<std::vector<u8>> streams;
  size_t plainBytes = 0;
  size_t packedBytes = 0;
};

size_t BlockCount() { return (SharedCorpus().bytes.size() + kBlock - 1) / kBlock; }

const u8 *BlockAt(size_t i, u32 *length) {
  const auto &bytes = SharedCorpus().bytes;
  size_t start = i * kBlock;
  *length = static_cast<u32>(std::min<size_t>(kBlock, bytes.size() - start));
  return bytes.data() + start;
}

const Encoded &EncodedFor(u8 code) {
  static std::map<u8, Encoded> cache;
  auto it = cache.find(code);
  if (it != cache.end()) return it->second;
  Encoded &e = cache[code];
  std::vector<u8> out(kBlock * 9 / 8 + 2);
  for (size_t i = 0; i < BlockCount(); i++) {
    u32 length;
    const u8 *block = BlockAt(i, &length);
    u32 packed = static_cast<u32>(out.size());
    LzssEncode(block, length, out.data(), &packed, code, nullptr);
    e.streams.emplace_back(out.begin(), out.begin() + packed);
    e.plainBytes += length;
    e.packedBytes += packed;
  }
  return e;
}

void BM_LzssDecode(benchmark::State &state) {
  u8 code = static_cast<u8>(state.range(0));
  const Encoded &e = EncodedFor(code);
  std::vector<u8> out(kBlock);
  for (auto _ : state) {
    for (const auto &s : e.streams) {
      u32 length = kBlock;
      LzssDecode(s.data(), static_cast<u32>(s.size()), out.data(), &length,
                 code);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * e.plainBytes));
  state.counters["ratio"] = double(e.packedBytes) / double(e.plainBytes);
}
BENCHMARK(BM_LzssDecode)->Arg(0xC4)->Arg(0xA1)->Arg(0xC5)->Unit(benchmark::kMillisecond);

void BM_LzssEncode(benchmark::State &state) {
  u8 code = static_cast<u8>(state.range(0));
  std::vector<u8> out(kBlock * 9 / 8 + 2);
  size_t plain = 0;
  for (auto _ : state) {
    plain = 0;
    for (size_t i = 0; i < BlockCount(); i++) {
      u32 length;
      const u8 *block = BlockAt(i, &length);
      u32 packed = static_cast<u32>(out.size());
      LzssEncode(block, length, out.data(), &packed, code, nullptr);
      plain += length;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain));
}
BENCHMARK(BM_LzssEncode)->Arg(0xC4)->Arg(0xA1)->Arg(0xC5)->Unit(benchmark::kMillisecond);

void BM_Memcpy(benchmark::State &state) {
  std::vector<u8> out(kBlock);
  size_t plain = 0;
  for (auto _ : state) {
    plain = 0;
    for (size_t i = 0; i < BlockCount(); i++) {
      u32 length;
      const u8 *block = BlockAt(i, &length);
      memcpy(out.data(), block, length);
      benchmark::DoNotOptimize(out.data());
      plain += length;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

std::vector<std::vector<u8>> &DeflatedBlocks() {
  static std::vector<std::vector<u8>> blocks;
  if (!blocks.empty()) return blocks;
  for (size_t i = 0; i < BlockCount(); i++) {
    u32 length;
    const u8 *block = BlockAt(i, &length);
    uLongf packed = compressBound(length);
    std::vector<u8> out(packed);
    compress2(out.data(), &packed, block, length, 6);
    out.resize(packed);
    blocks.push_back(out);
  }
  return blocks;
}

void BM_ZlibDeflate6(benchmark::State &state) {
  z_stream z;
  memset(&z, 0, sizeof(z));
  deflateInit(&z, 6);
  std::vector<u8> out(compressBound(kBlock));
  size_t plain = 0, packedTotal = 0;
  for (auto _ : state) {
    plain = packedTotal = 0;
    for (size_t i = 0; i < BlockCount(); i++) {
      u32 length;
      const u8 *block = BlockAt(i, &length);
      deflateReset(&z);
      z.next_in = const_cast<u8 *>(block);
      z.avail_in = length;
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, Z_FINISH);
      plain += length;
      packedTotal += out.size() - z.avail_out;
    }
  }
  deflateEnd(&z);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain));
  state.counters["ratio"] = double(packedTotal) / double(plain);
}
BENCHMARK(BM_ZlibDeflate6)->Unit(benchmark::kMillisecond);

void BM_ZlibInflate(benchmark::State &state) {
  const auto &blocks = DeflatedBlocks();
  z_stream z;
  memset(&z, 0, sizeof(z));
  inflateInit(&z);
  std::vector<u8> out(kBlock);
  size_t plain = 0;
  for (auto _ : state) {
    plain = 0;
    for (const auto &b : blocks) {
      inflateReset(&z);
      z.next_in = const_cast<u8 *>(b.data());
      z.avail_in = static_cast<uInt>(b.size());
      z.next_out = out.data();
      z.avail_out = kBlock;
      inflate(&z, Z_FINISH);
      plain += kBlock - z.avail_out;
      benchmark::DoNotOptimize(out.data());
    }
  }
  inflateEnd(&z);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain));
}
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond);

// The corpus as an LZSS container (code 0xC4, 32 KiB blocks) in a temporary
// file, written once per process and removed at exit.
std::string gContainerPath;

void RemoveContainer() { remove(gContainerPath.c_str()); }

const std::string &ContainerPath() {
  if (!gContainerPath.empty()) return gContainerPath;
  std::string base = std::string(P_tmpdir) + "/vask-lzss-bench-" +
                     std::to_string(getpid());
  std::string plainPath = base + ".bin";
  gContainerPath = base + ".lzs";
  FILE *f = fopen(plainPath.c_str(), "wb");
  fwrite(SharedCorpus().bytes.data(), 1, SharedCorpus().bytes.size(), f);
  fclose(f);
  CHostFile in(static_cast<uintptr_t>(open(plainPath.c_str(), O_RDONLY)),
               FOM_READ);
  CHostFile out(static_cast<uintptr_t>(open(gContainerPath.c_str(),
                                            O_RDWR | O_CREAT | O_TRUNC, 0644)),
                FOM_READ | FOM_WRITE);
  Error e = LzssCompressFile(&in, &out, 0xC4, kBlock);
  if (e) fprintf(stderr, "container: %s\n", e);
  remove(plainPath.c_str());
  std::atexit(RemoveContainer);
  return gContainerPath;
}

CHostFile *OpenContainer() {
  return new CHostFile(
      static_cast<uintptr_t>(open(ContainerPath().c_str(), O_RDONLY)),
      FOM_READ);
}

void BM_LzssFileSequentialRead(benchmark::State &state) {
  ContainerPath();  // written before the clock runs
  std::vector<u8> out(kBlock);
  size_t total = 0;
  for (auto _ : state) {
    CLzssFile file(OpenContainer(), 1);
    total = 0;
    u32 n = 0;
    do {
      file.Read(out.data(), kBlock, &n);
      total += n;
    } while (n == kBlock);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_LzssFileSequentialRead)->Unit(benchmark::kMillisecond);

void BM_LzssFileRandom4KRead(benchmark::State &state) {
  CLzssFile file(OpenContainer(), 1);
  u32 size = file.GetSize();
  std::mt19937 rng(7);
  std::vector<u8> out(4096);
  for (auto _ : state) {
    u32 at = rng() % (size - 4096);
    file.ReadAt(out.data(), at, 4096, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 4096));
}
BENCHMARK(BM_LzssFileRandom4KRead);

}  // namespace

BENCHMARK_MAIN();
