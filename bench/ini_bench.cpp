// Hashed INI: loading a file of 100,000 keys and looking keys up in it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "fs/host_file.h"

namespace {

const int kKeys = 100000;

const std::string &IniPath() {
  static std::string path = [] {
    std::string p = "/tmp/vask-ini-bench-" + std::to_string(getpid()) + ".ini";
    std::ofstream out(p, std::ios::binary);
    out << "[str]\n";
    for (int i = 0; i < kKeys; ++i)
      out << "key" << i << " = value number " << i << " ;comment\n";
    return p;
  }();
  return path;
}

CHashIni *LoadBig(u32 keyBuckets = 500) {
  CHashIni *ini = new CHashIni(20, keyBuckets, new CSizedPtrPool(), 1);
  int fd = open(IniPath().c_str(), O_RDONLY);
  CHostFile file(static_cast<uintptr_t>(fd), 1);
  ini->LoadIni(&file);
  return ini;
}

void BM_LoadHundredThousandKeys(benchmark::State &state) {
  for (auto _ : state) {
    CHashIni *ini = LoadBig();
    benchmark::DoNotOptimize(ini->FirstSection());
    delete ini;
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_LoadHundredThousandKeys)->Unit(benchmark::kMillisecond);

// Lookups with the patcher's 500 key buckets and with buckets to spare. The
// name hash is the byte sum of the name repeated in each byte, so these keys
// share a few dozen chains whatever the bucket count.
void BM_Lookup(benchmark::State &state) {
  CHashIni *ini = LoadBig(static_cast<u32>(state.range(0)));
  std::vector<std::string> keys;
  for (int i = 0; i < 1024; ++i)
    keys.push_back("KEY" + std::to_string((i * 7919) % kKeys));
  size_t n = 0;
  for (auto _ : state) {
    const char *v = ini->GetValuePtr("str", keys[n++ & 1023].c_str());
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
  delete ini;
}
BENCHMARK(BM_Lookup)->Arg(500)->Arg(131071);

// A catalogue-sized file: a few dozen keys, the patcher's real case.
void BM_LookupSmallCatalogue(benchmark::State &state) {
  CHashIni ini(20, 500, new CSizedPtrPool(), 1);
  std::string path = IniPath() + ".small";
  {
    std::ofstream out(path, std::ios::binary);
    out << "[str]\n";
    for (int i = 0; i < 40; ++i) out << "key" << i << "=text " << i << "\n";
  }
  int fd = open(path.c_str(), O_RDONLY);
  {
    CHostFile file(static_cast<uintptr_t>(fd), 1);
    ini.LoadIni(&file);
  }
  std::remove(path.c_str());
  size_t n = 0;
  const char *names[] = {"key0", "key17", "key39", "title"};
  for (auto _ : state)
    benchmark::DoNotOptimize(ini.GetValuePtr("str", names[n++ & 3]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupSmallCatalogue);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(IniPath().c_str());
  return 0;
}
