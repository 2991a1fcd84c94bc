// The LZSS container as a file: random writes, truncations and reopenings
// against a byte vector, the table's layout byte for byte, every thread
// count writing the same bytes, and damaged containers and blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "archive/lzss_file.h"
#include "archive/lzss_writer.h"
#include "core/endian.h"
#include "lzss_test_support.h"

namespace {

Bytes Compressible(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (size_t i = 0; i < n; i++) v[i] = "abcdefgh"[rng() % 3 + (i / 500) % 5];
  return v;
}

// A container assembled by hand from stored blocks.
Bytes Container(u32 size, u32 blockSize, u8 code, const std::vector<Bytes> &stored) {
  Bytes c(14 + 4 * stored.size());
  memcpy(c.data(), "LZSS", 4);
  PutU32LE(&c[4], size);
  PutU32LE(&c[8], blockSize);
  c[12] = code;
  for (size_t i = 0; i < stored.size(); i++) {
    PutU32LE(&c[14 + 4 * i], static_cast<u32>(c.size()));
    c.insert(c.end(), stored[i].begin(), stored[i].end());
  }
  return c;
}

// The container as one thread writes it: each block's stream when shorter
// than the block, else the block raw.
Bytes ExpectedContainer(const Bytes &plain, u8 code, u32 blockSize) {
  std::vector<Bytes> stored;
  for (size_t at = 0; at < plain.size() || stored.empty(); at += blockSize) {
    Bytes block(plain.begin() + at, plain.begin() + std::min(plain.size(), at + blockSize));
    Bytes s = block.empty() ? block : Encode(block, code);
    stored.push_back(s.size() < block.size() ? s : block);
  }
  return Container(static_cast<u32>(plain.size()), blockSize, code, stored);
}

class LzssFileTest : public ::testing::Test {
 protected:
  std::string Put(const Bytes &bytes, const char *name = "c.lzs") {
    WriteWholeFile(dir / name, bytes);
    return dir / name;
  }
  std::unique_ptr<CLzssFile> Open(const std::string &path) {
    return std::unique_ptr<CLzssFile>(new CLzssFile(OpenNativeFile(path, true, false), 1));
  }
  // Writes `plain` as a container through the converter.
  std::string Compress(const Bytes &plain, u32 blockSize = 32768, u8 code = 0xC4,
                       const char *name = "c.lzs", u32 threads = 0) {
    std::unique_ptr<CHostFile> i(OpenNativeFile(Put(plain, "plain.bin"), false, false));
    std::unique_ptr<CHostFile> o(OpenNativeFile(dir / name, true, true));
    LzssWriteOptions options = {threads, {nullptr, nullptr}};
    EXPECT_EQ(LzssCompressFile(i.get(), o.get(), code, blockSize, threads ? &options : nullptr),
              nullptr);
    return dir / name;
  }
  static Bytes ReadAll(CFile *f) {
    Bytes v(f->GetSize());
    u32 n = 0;
    EXPECT_EQ(f->ReadAt(v.data(), 0, static_cast<u32>(v.size()), &n), nullptr);
    EXPECT_EQ(n, v.size());
    return v;
  }
  TempDir dir;
};

TEST_F(LzssFileTest, RandomWritesMatchAModelAcrossReopening) {
  std::mt19937 rng(20240601);
  Bytes model = Compressible(3000, 14), noise = PatternBytes(4000, 15), text = Compressible(4000, 16);
  std::string path = Compress(model, 512, 0xB4);
  auto f = Open(path);
  ASSERT_EQ(f->valid, 1u);
  for (int step = 0; step < 400; step++) {
    u32 op = rng() % 100, size = static_cast<u32>(model.size());
    if (op < 55) {
      u32 at = rng() % (size + 300), n = 1 + rng() % (op < 10 ? 2000 : 300);
      const Bytes &src = rng() % 3 ? text : noise;
      u32 from = rng() % (4000 - n);
      ASSERT_EQ(f->WriteAt(&src[from], at, n, nullptr), nullptr) << step;
      if (at + n > model.size()) model.resize(at + n, 0);
      memcpy(&model[at], &src[from], n);
    } else if (op < 75) {
      u32 at = size ? rng() % size : 0, n = rng() % 1500, count = 0;
      Bytes got(n, 0xEE);
      ASSERT_EQ(f->ReadAt(got.data(), at, n, &count), nullptr) << step;
      ASSERT_EQ(count, std::min(n, size - at)) << step;
      ASSERT_TRUE(std::equal(got.begin(), got.begin() + count, model.begin() + at)) << step;
    } else if (op < 83) {
      u32 to = rng() % (size + 1);
      f->Seek(static_cast<i32>(to), 0);
      ASSERT_EQ(f->Truncate(), nullptr) << step;
      model.resize(to);
    } else if (op < 90) {
      ASSERT_EQ(f->Flush(), nullptr) << step;
    } else {
      f.reset();
      f = Open(path);
      ASSERT_EQ(f->valid, 1u) << step;
      ASSERT_EQ(f->GetSize(), model.size()) << step;
    }
  }
  EXPECT_EQ(ReadAll(f.get()), model);
  f.reset();
  f = Open(path);
  EXPECT_EQ(ReadAll(f.get()), model);
}

TEST_F(LzssFileTest, TheTableAndTheBlocksAreLaidOutByteForByte) {
  const u32 size = 6935030;
  Bytes plain(size, 0);
  for (u32 i = 0; i < size; i += 4093) plain[i] = static_cast<u8>(i >> 12);
  std::string path = Compress(plain);
  Bytes before = ReadWholeFile(path);
  auto f = Open(path);
  ASSERT_EQ(f->valid, 1u);
  EXPECT_EQ(f->Cast(CLzssFile::sClassName), f.get());
  EXPECT_EQ(f->BlockCount(), 212u);
  EXPECT_EQ(f->BlockOffset(0), 862u);
  Bytes tail(20982);  // size - 211 * 32768
  ASSERT_EQ(f->ReadAt(tail.data(), 211 * 32768, 20982, nullptr), nullptr);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), plain.end() - 20982));
  EXPECT_EQ(f->Flush(), nullptr);
  f.reset();
  EXPECT_EQ(ReadWholeFile(path), before);  // reading changes nothing
  // One written byte makes a raw block compressed; the next stays raw.
  plain = Compressible(3 * 4096, 10);
  std::vector<Bytes> blocks;
  for (int i = 0; i < 3; i++) blocks.emplace_back(plain.begin() + 4096 * i, plain.begin() + 4096 * (i + 1));
  path = Put(Container(3 * 4096, 4096, 0xC4, blocks));
  f = Open(path);
  EXPECT_EQ(f->WriteAt("Z", 5, 1, nullptr), nullptr);
  EXPECT_EQ(f->Flush(), nullptr);
  f.reset();
  Bytes after = ReadWholeFile(path);
  EXPECT_EQ(GetU32LE(&after[14]), 26u);
  EXPECT_LT(GetU32LE(&after[18]) - 26, 4096u);
  EXPECT_EQ(GetU32LE(&after[22]) + 4096, after.size());
  plain[5] = 'Z';
  EXPECT_EQ(ReadAll(Open(path).get()), plain);
}

TEST_F(LzssFileTest, EveryNumberOfThreadsWritesTheSameBytes) {
  // Text and noise in turns, so that blocks are stored both ways.
  const size_t kLarge = 2 << 20;
  Bytes large = PatternBytes(kLarge, 21), text = Compressible(kLarge, 22);
  for (size_t at = 0; at < kLarge; at += 200000)
    std::copy_n(text.begin() + at, std::min<size_t>(60000, kLarge - at), large.begin() + at);
  for (size_t size : {size_t(0), size_t(1), size_t(32767), size_t(32768), size_t(32769), kLarge}) {
    Bytes plain(large.begin(), large.begin() + size);
    for (u8 code : {0xC4, 0xA1, 0xC5}) {
      for (u32 blockSize : {1000u, 32768u}) {
        // Blocks of 1000 bytes fill the ring of eight threads' slots many
        // times over; the large input has them under one code only.
        if (size == kLarge && blockSize == 1000 && code != 0xC4) continue;
        Bytes expected = size < kLarge ? ExpectedContainer(plain, code, blockSize) : Bytes();
        for (u32 threads : {1u, 2u, 3u, 8u}) {
          SCOPED_TRACE(testing::Message() << size << " bytes, code " << int(code) << ", blocks of "
                                          << blockSize << ", " << threads << " threads");
          Bytes got = ReadWholeFile(Compress(plain, blockSize, code, "c.lzs", threads));
          if (expected.empty()) expected = got;
          ASSERT_EQ(got, expected);
        }
      }
    }
  }
}

TEST_F(LzssFileTest, BlocksAreReadByTheirStoredLength) {
  // Raw, empty and compressed blocks; a last block stored at its own length is raw.
  Bytes raw = PatternBytes(16, 6), last(8, 'a'), want = raw;
  want.resize(32, 0);
  want.insert(want.end(), last.begin(), last.end());
  EXPECT_EQ(ReadAll(Open(Put(Container(40, 16, 0xC4, {raw, {}, Encode(last, 0xC4)}))).get()), want);
  Bytes all = ReadAll(Open(Put(Container(20, 16, 0xC4, {raw, Bytes{1, 2, 3, 4}}))).get());
  EXPECT_EQ(Bytes(all.begin() + 16, all.end()), (Bytes{1, 2, 3, 4}));
  // Damaged blocks fail the read that needs them, and leave the cache empty.
  Bytes c = Container(96, 32, 0xC4, {Encode(Bytes(32, 'a'), 0xC4), Bytes(40, 'x'), Encode(Bytes(64, 'b'), 0xC4)});
  auto f = Open(Put(c));
  u8 buf[32];
  EXPECT_EQ(f->ReadAt(buf, 32, 4, nullptr), ERR_INVALIDFORMAT);  // stored 40 > 32
  EXPECT_EQ(f->ReadAt(buf, 64, 4, nullptr), ERR_INVALIDFORMAT);  // decodes to 64 > 32
  EXPECT_EQ(f->ReadAt(buf, 0, 32, nullptr), nullptr);
  EXPECT_EQ(buf[31], 'a');
  EXPECT_EQ(f->ReadAt(buf, 40, 1, nullptr), ERR_INVALIDFORMAT);
  // An unknown code opens, but fails on a non-empty block.
  f.reset();
  f = Open(Put(Container(32, 16, 0xC6, {Encode(Bytes(16, 'a'), 0xC4), {}})));
  ASSERT_EQ(f->valid, 1u);
  EXPECT_EQ(f->ReadAt(buf, 0, 1, nullptr), LERR_NOSUCHBITLENGTHS);
  EXPECT_EQ(f->ReadAt(buf, 16, 16, nullptr), nullptr);
  EXPECT_EQ(buf[15], 0);
  // Found by fuzzing: an unchanged run (x = 0) kept the bytes of whatever
  // block was cached before. Block 1 under 0xA1: a literal x, a run of 3.
  f.reset();
  std::string path = Put(Container(12, 8, 0xA1, {Bytes(8, 'A'), Bytes{0xBC, 0x00, 0x08}}));
  for (bool frontFirst : {false, true}) {
    f.reset();
    f = Open(path);
    if (frontFirst) {
      ASSERT_EQ(f->ReadAt(buf, 0, 8, nullptr), nullptr);
    }
    ASSERT_EQ(f->ReadAt(buf, 8, 4, nullptr), nullptr);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{'x', 0, 0, 0}));
  }
}

TEST_F(LzssFileTest, DamagedContainersAndBadConversionsAreRefused) {
  Bytes good = Container(20, 16, 0xC4, {PatternBytes(16, 8), Bytes{1, 2, 3, 4}});
  struct Case {
    size_t at;
    u32 value;
  } cases[] = {{0, 0x5A5A5A5A}, {8, 0}, {8, 0xFFFFFFFFu},
               {8, CCompressedFile::kMaxBlockSize + 1},  // fuzzing: 3.7 GB asked for
               {18, 5000}, {18, 20}, {14, 10}, {4, 0xFFFFFFF0u}, {~size_t(0), 0}};
  for (const Case &k : cases) {
    Bytes c = good;
    if (k.at == ~size_t(0)) {
      c.resize(9);
    } else {
      PutU32LE(&c[k.at], k.value);
    }
    if (k.at == 4) PutU32LE(&c[8], 1);  // a table larger than the file
    auto f = Open(Put(c));
    EXPECT_EQ(f->valid, 0u) << k.at << "=" << k.value;
    EXPECT_NE(f->ConstructionError(), nullptr) << k.at;
    u8 b;
    EXPECT_NE(f->ReadAt(&b, 0, 1, nullptr), nullptr) << k.at;
  }
  std::unique_ptr<CHostFile> in, out(OpenNativeFile(dir / "out.bin", true, true));
  in.reset(OpenNativeFile(Put(Bytes(100, 'j'), "junk.bin"), false, false));
  EXPECT_EQ(LzssDecompressFile(in.get(), out.get()), ERR_INVALIDFORMAT);
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xD4, 100), LERR_NOSUCHBITLENGTHS);
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4, 0), ERR_BADPARAMS);
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4, CCompressedFile::kMaxBlockSize + 1),
            ERR_BADPARAMS);
}

}  // namespace
