#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/lzss.h"
#include "archive/lzss_file.h"
#include "archive/lzss_writer.h"
#include "core/endian.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<u8> Bytes;

Bytes Compressible(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (size_t i = 0; i < n; i++) v[i] = "abcdefgh"[rng() % 3 + (i / 500) % 5];
  return v;
}

Bytes Stream(const Bytes &plain, u8 code) {
  Bytes out(plain.size() * 9 / 8 + 2);
  u32 length = static_cast<u32>(out.size());
  EXPECT_EQ(LzssEncode(plain.data(), static_cast<u32>(plain.size()),
                       out.data(), &length, code, nullptr),
            nullptr);
  out.resize(length);
  return out;
}

// A container assembled by hand from stored blocks.
Bytes Container(u32 size, u32 blockSize, u8 code,
                const std::vector<Bytes> &stored) {
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

class LzssFileTest : public ::testing::Test {
 protected:
  std::string Put(const Bytes &bytes, const char *name = "c.lzs") {
    std::string path = dir / name;
    WriteWholeFile(path, bytes);
    return path;
  }
  // Opens a container file; the LZSS file owns the host file.
  std::unique_ptr<CLzssFile> Open(const std::string &path) {
    CHostFile *host = OpenNativeFile(path, true, false);
    EXPECT_NE(host, nullptr);
    return std::unique_ptr<CLzssFile>(new CLzssFile(host, 1));
  }
  // Writes `plain` as a container through the converter.
  std::string Compress(const Bytes &plain, u32 blockSize = 32768,
                       u8 code = 0xC4, const char *name = "c.lzs") {
    std::string in = Put(plain, "plain.bin");
    std::string out = dir / name;
    std::unique_ptr<CHostFile> i(OpenNativeFile(in, false, false));
    std::unique_ptr<CHostFile> o(OpenNativeFile(out, true, true));
    EXPECT_EQ(LzssCompressFile(i.get(), o.get(), code, blockSize), nullptr);
    return out;
  }
  Bytes ReadAll(CFile *f) {
    Bytes v(f->GetSize());
    u32 n = 0;
    EXPECT_EQ(f->ReadAt(v.data(), 0, static_cast<u32>(v.size()), &n), nullptr);
    EXPECT_EQ(n, v.size());
    return v;
  }
  TempDir dir;
};

}  // namespace

TEST_F(LzssFileTest, ClassNamesAndCasts) {
  auto f = Open(Compress(Compressible(100, 1)));
  ASSERT_EQ(f->valid, 1u);
  EXPECT_EQ(f->GetClassName(), CLzssFile::sClassName);
  EXPECT_STREQ(f->GetClassName(), "CLzssFile");
  EXPECT_STREQ(CCompressedFile::sClassName, "CCompressedFile");
  EXPECT_EQ(f->Cast(CLzssFile::sClassName), f.get());
  EXPECT_NE(f->Cast(CCompressedFile::sClassName), nullptr);
  EXPECT_NE(f->Cast(CFile::sClassName), nullptr);
  EXPECT_EQ(f->Cast("CLzssFile"), nullptr);  // identity is the pointer
}

TEST_F(LzssFileTest, ConvertedFileReadsBackWhole) {
  Bytes plain = Compressible(100000, 2);
  memcpy(&plain[40000], PatternBytes(32768, 3).data(), 32768);  // a raw block
  auto f = Open(Compress(plain));
  ASSERT_EQ(f->valid, 1u);
  EXPECT_EQ(f->GetSize(), 100000u);
  EXPECT_EQ(f->BlockCount(), 4u);
  EXPECT_EQ(ReadAll(f.get()), plain);
}

TEST_F(LzssFileTest, ReadRunningPastTheEnd) {
  Bytes plain = Compressible(1000, 4);
  auto f = Open(Compress(plain, 256));
  u32 size = f->GetSize();
  u8 buf[10];
  memset(buf, 0xEE, sizeof(buf));
  f->Seek(static_cast<i32>(size - 4), 0);
  EXPECT_EQ(f->Read(buf, 10, nullptr), FERR_EOF);
  EXPECT_EQ(buf[0], 0xEE);  // nothing copied
  EXPECT_EQ(f->Tell(), size - 4);
  u32 n = 99;
  EXPECT_EQ(f->Read(buf, 10, &n), nullptr);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(0, memcmp(buf, &plain[size - 4], 4));
  EXPECT_EQ(f->Tell(), size);
  EXPECT_EQ(f->Read(buf, 10, &n), nullptr);  // at the end
  EXPECT_EQ(n, 0u);
  f->Seek(1, 1);
  EXPECT_EQ(f->Read(buf, 10, &n), FERR_EOF);  // beyond the end
  EXPECT_EQ(n, 0u);
}

TEST_F(LzssFileTest, SeeksClampBelowZeroAndGoBeyondTheEnd) {
  auto f = Open(Compress(Compressible(500, 5), 128));
  EXPECT_EQ(f->Seek(-5, 0), nullptr);
  EXPECT_EQ(f->Tell(), 0u);
  EXPECT_EQ(f->Seek(5, 2), nullptr);
  EXPECT_EQ(f->Tell(), 505u);
  u8 b;
  u32 n;
  EXPECT_EQ(f->Read(&b, 1, &n), FERR_EOF);
  EXPECT_EQ(f->Seek(-10, 1), nullptr);
  EXPECT_EQ(f->Tell(), 495u);
  EXPECT_EQ(f->Seek(0, 7), nullptr);  // unknown origin: no change
  EXPECT_EQ(f->Tell(), 495u);
}

TEST_F(LzssFileTest, RawEmptyAndCompressedBlocksByStoredLength) {
  Bytes raw = PatternBytes(16, 6);
  Bytes last(8, 'a');
  Bytes c = Container(40, 16, 0xC4, {raw, {}, Stream(last, 0xC4)});
  auto f = Open(Put(c));
  ASSERT_EQ(f->valid, 1u);
  Bytes want = raw;
  want.resize(32, 0);
  want.insert(want.end(), last.begin(), last.end());
  EXPECT_EQ(ReadAll(f.get()), want);
}

TEST_F(LzssFileTest, StoredLengthEqualToTheLastBlockIsRaw) {
  Bytes c = Container(20, 16, 0xC4, {PatternBytes(16, 7), Bytes{1, 2, 3, 4}});
  auto f = Open(Put(c));
  Bytes all = ReadAll(f.get());
  EXPECT_EQ(Bytes(all.begin() + 16, all.end()), (Bytes{1, 2, 3, 4}));
}

TEST_F(LzssFileTest, RejectedContainersLeaveValidZero) {
  Bytes good = Container(20, 16, 0xC4, {PatternBytes(16, 8), Bytes{1, 2, 3, 4}});
  struct Case {
    const char *what;
    Bytes bytes;
  };
  std::vector<Case> cases;
  Bytes c = good;
  c[0] = 'X';
  cases.push_back({"signature", c});
  c = good;
  PutU32LE(&c[8], 0);
  cases.push_back({"block size 0", c});
  c = good;
  PutU32LE(&c[8], 0xFFFFFFFFu);
  cases.push_back({"huge block size", c});
  // Found by fuzzing: an 18-byte file asked for a 3.7 GB work buffer.
  c = good;
  PutU32LE(&c[8], CCompressedFile::kMaxBlockSize + 1);
  cases.push_back({"block size above the limit", c});
  c = good;
  PutU32LE(&c[18], 5000);
  cases.push_back({"entry outside the parent", c});
  c = good;
  PutU32LE(&c[18], 20);
  cases.push_back({"entry going backwards", c});
  c = good;
  PutU32LE(&c[14], 10);
  cases.push_back({"block inside the table", c});
  c = good;
  PutU32LE(&c[4], 0xFFFFFFF0u);
  PutU32LE(&c[8], 1);
  cases.push_back({"table larger than the file", c});
  cases.push_back({"short header", Bytes(good.begin(), good.begin() + 9)});
  for (auto &k : cases) {
    auto f = Open(Put(k.bytes));
    EXPECT_EQ(f->valid, 0u) << k.what;
    EXPECT_NE(f->ConstructionError(), nullptr) << k.what;
    u8 b;
    EXPECT_NE(f->ReadAt(&b, 0, 1, nullptr), nullptr) << k.what;
  }
}

TEST_F(LzssFileTest, DamagedBlocksFailTheReadThatNeedsThem) {
  Bytes big(40, 'x');     // stored length 40 > block size 32
  Bytes over(64, 'b');    // decodes to 64 bytes > block size 32
  Bytes c = Container(96, 32, 0xC4,
                      {Stream(Bytes(32, 'a'), 0xC4), big, Stream(over, 0xC4)});
  auto f = Open(Put(c));
  ASSERT_EQ(f->valid, 1u);
  u8 buf[32];
  EXPECT_EQ(f->ReadAt(buf, 32, 4, nullptr), ERR_INVALIDFORMAT);
  EXPECT_EQ(f->ReadAt(buf, 64, 4, nullptr), ERR_INVALIDFORMAT);
  // The cache was left empty: block 0 still reads, block 1 still fails.
  EXPECT_EQ(f->ReadAt(buf, 0, 32, nullptr), nullptr);
  EXPECT_EQ(buf[31], 'a');
  EXPECT_EQ(f->ReadAt(buf, 40, 1, nullptr), ERR_INVALIDFORMAT);
}

// Found by fuzzing: an unchanged run (x = 0) kept the bytes of whatever
// block was cached before, so a block read differently after another one.
TEST_F(LzssFileTest, UnchangedRunsReadAsZerosWhateverWasReadBefore) {
  // Block 1 under code 0xA1: a literal x, then an unchanged run of 3.
  Bytes c = Container(12, 8, 0xA1,
                      {Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}, Bytes{0xBC, 0x00, 0x08}});
  std::string path = Put(c);
  const Bytes expected = {'x', 0, 0, 0};
  Bytes got(4);
  auto fresh = Open(path);
  ASSERT_EQ(fresh->ReadAt(got.data(), 8, 4, nullptr), nullptr);
  EXPECT_EQ(got, expected);
  auto after = Open(path);
  u8 front[8];
  ASSERT_EQ(after->ReadAt(front, 0, 8, nullptr), nullptr);
  ASSERT_EQ(after->ReadAt(got.data(), 8, 4, nullptr), nullptr);
  EXPECT_EQ(got, expected);
}

TEST_F(LzssFileTest, UnknownCodeOpensButFailsOnANonEmptyBlock) {
  Bytes c = Container(32, 16, 0xC6, {Stream(Bytes(16, 'a'), 0xC4), {}});
  auto f = Open(Put(c));
  ASSERT_EQ(f->valid, 1u);
  u8 buf[16];
  EXPECT_EQ(f->ReadAt(buf, 0, 1, nullptr), LERR_NOSUCHBITLENGTHS);
  EXPECT_EQ(f->ReadAt(buf, 16, 16, nullptr), nullptr);  // empty block
  EXPECT_EQ(buf[15], 0);
}

TEST_F(LzssFileTest, ReadingNeverChangesTheParent) {
  Bytes plain = Compressible(70000, 9);
  std::string path = Compress(plain);
  Bytes before = ReadWholeFile(path);
  {
    auto f = Open(path);
    EXPECT_EQ(ReadAll(f.get()), plain);
    EXPECT_EQ(f->Flush(), nullptr);
  }
  EXPECT_EQ(ReadWholeFile(path), before);
}

TEST_F(LzssFileTest, TheArchiveTableArithmetic) {
  const u32 size = 6935030;
  Bytes plain(size, 0);
  for (u32 i = 0; i < size; i += 4093) plain[i] = static_cast<u8>(i >> 12);
  auto f = Open(Compress(plain));
  ASSERT_EQ(f->valid, 1u);
  EXPECT_EQ(f->BlockCount(), 212u);
  EXPECT_EQ(f->BlockOffset(0), 862u);
  EXPECT_EQ(size - 211u * 32768, 20982u);
  Bytes tail(20982);
  ASSERT_EQ(f->ReadAt(tail.data(), 211 * 32768, 20982, nullptr), nullptr);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), plain.end() - 20982));
}

TEST_F(LzssFileTest, OneWrittenByteMakesARawBlockCompressed) {
  Bytes plain = Compressible(3 * 4096, 10);
  std::vector<Bytes> blocks;
  for (int i = 0; i < 3; i++)
    blocks.emplace_back(plain.begin() + 4096 * i, plain.begin() + 4096 * (i + 1));
  std::string path = Put(Container(3 * 4096, 4096, 0xC4, blocks));
  u32 before = static_cast<u32>(ReadWholeFile(path).size());
  {
    auto f = Open(path);
    ASSERT_EQ(f->valid, 1u);
    EXPECT_EQ(f->WriteAt("Z", 5, 1, nullptr), nullptr);
    EXPECT_EQ(f->Flush(), nullptr);
    EXPECT_LT(f->BlockOffset(1) - f->BlockOffset(0), 4096u);
    EXPECT_EQ(f->BlockOffset(2) - f->BlockOffset(1), 4096u);  // still raw
  }
  Bytes after = ReadWholeFile(path);
  EXPECT_LT(after.size(), before);
  plain[5] = 'Z';
  auto f = Open(path);
  ASSERT_EQ(f->valid, 1u);
  EXPECT_EQ(GetU32LE(&after[14]), 26u);
  EXPECT_EQ(GetU32LE(&after[22]) + 4096, after.size());
  EXPECT_EQ(ReadAll(f.get()), plain);
}

TEST_F(LzssFileTest, ConverterOutputEqualsWhatTheFileWritesItself) {
  Bytes plain = Compressible(50000, 11);
  memcpy(&plain[9000], PatternBytes(9000, 12).data(), 9000);
  Bytes converted = ReadWholeFile(Compress(plain, 4096, 0xB3, "a.lzs"));
  std::string path = Compress(Bytes(), 4096, 0xB3, "b.lzs");
  EXPECT_EQ(ReadWholeFile(path).size(), 18u);
  {
    auto f = Open(path);
    ASSERT_EQ(f->valid, 1u);
    EXPECT_EQ(f->GetSize(), 0u);
    for (size_t at = 0; at < plain.size(); at += 1000)
      ASSERT_EQ(f->Write(&plain[at], 1000, nullptr), nullptr);
  }
  EXPECT_EQ(ReadWholeFile(path), converted);
}

// The container as one thread writes it, block by block: the stream when it
// is shorter than the block, else the block raw.
Bytes ExpectedContainer(const Bytes &plain, u8 code, u32 blockSize) {
  std::vector<Bytes> stored;
  for (size_t at = 0; at < plain.size() || stored.empty(); at += blockSize) {
    size_t n = std::min<size_t>(blockSize, plain.size() - at);
    Bytes block(plain.begin() + at, plain.begin() + at + n);
    Bytes out(n ? n - 1 : 0);
    u32 length = static_cast<u32>(out.size());
    Error e = n ? LzssEncode(block.data(), static_cast<u32>(n), out.data(),
                             &length, code, nullptr)
                : nullptr;
    if (e == ERR_BUFFERTOOSMALL) {
      stored.push_back(block);
    } else {
      EXPECT_EQ(e, nullptr);
      out.resize(n ? length : 0);
      stored.push_back(out);
    }
  }
  return Container(static_cast<u32>(plain.size()), blockSize, code, stored);
}

TEST_F(LzssFileTest, EveryNumberOfThreadsWritesTheSameBytes) {
  // Text and noise in turns, so that blocks are stored both ways (noise
  // also codes fast, which keeps the large input cheap).
  const size_t kLarge = 2 << 20;
  Bytes large = PatternBytes(kLarge, 21);
  Bytes text = Compressible(kLarge, 22);
  for (size_t at = 0; at < kLarge; at += 200000)
    std::copy_n(text.begin() + at, std::min<size_t>(60000, kLarge - at),
                large.begin() + at);
  for (size_t size : {size_t(0), size_t(1), size_t(32767), size_t(32768),
                      size_t(32769), kLarge}) {
    Bytes plain(large.begin(), large.begin() + size);
    std::string in = Put(plain, "plain.bin");
    for (u8 code : {0xC4, 0xA1, 0xC5}) {
      for (u32 blockSize : {1000u, 32768u}) {
        // Blocks of 1000 bytes fill the ring of eight threads' slots several
        // times over already at 32,769 bytes; the large input has them
        // under one code only, and is held to what one thread writes, which
        // the small ones hold to the blocks coded one by one.
        if (size == kLarge && blockSize == 1000 && code != 0xC4) continue;
        Bytes expected;
        if (size < kLarge) expected = ExpectedContainer(plain, code, blockSize);
        for (u32 workers : {1u, 2u, 3u, 8u}) {
          SCOPED_TRACE(std::to_string(size) + " bytes, code " +
                       std::to_string(code) + ", blocks of " +
                       std::to_string(blockSize) + ", " +
                       std::to_string(workers) + " threads");
          std::unique_ptr<CHostFile> i(OpenNativeFile(in, false, false));
          std::unique_ptr<CHostFile> o(OpenNativeFile(dir / "c.lzs", true, true));
          LzssWriteOptions options = {workers, {nullptr, nullptr}};
          ASSERT_EQ(LzssCompressFile(i.get(), o.get(), code, blockSize,
                                     &options),
                    nullptr);
          o.reset();
          if (expected.empty()) expected = ReadWholeFile(dir / "c.lzs");
          ASSERT_EQ(ReadWholeFile(dir / "c.lzs"), expected);
        }
      }
    }
  }
}

TEST_F(LzssFileTest, ConvertersRoundTripAndReportBadInput) {
  Bytes plain = Compressible(77777, 13);
  std::string packed = Compress(plain, 10000, 0xA3);
  std::unique_ptr<CHostFile> in(OpenNativeFile(packed, false, false));
  std::unique_ptr<CHostFile> out(OpenNativeFile(dir / "out.bin", true, true));
  ASSERT_EQ(LzssDecompressFile(in.get(), out.get()), nullptr);
  out.reset();
  EXPECT_EQ(ReadWholeFile(dir / "out.bin"), plain);

  std::string junk = Put(Bytes(100, 'j'), "junk.bin");
  in.reset(OpenNativeFile(junk, false, false));
  out.reset(OpenNativeFile(dir / "out2.bin", true, true));
  EXPECT_EQ(LzssDecompressFile(in.get(), out.get()), ERR_INVALIDFORMAT);
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xD4, 100),
            LERR_NOSUCHBITLENGTHS);
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4, 0), ERR_BADPARAMS);
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4,
                             CCompressedFile::kMaxBlockSize + 1),
            ERR_BADPARAMS);
}

// Random writes, truncations and reopenings checked against a plain byte
// vector holding what the file should contain.
TEST_F(LzssFileTest, RandomWritesMatchAModelAcrossReopening) {
  std::mt19937 rng(20240601);
  const u32 kBlock = 512;
  Bytes model = Compressible(3000, 14);
  std::string path = Compress(model, kBlock, 0xB4);
  auto f = Open(path);
  ASSERT_EQ(f->valid, 1u);
  Bytes noise = PatternBytes(4000, 15);
  Bytes text = Compressible(4000, 16);
  for (int step = 0; step < 400; step++) {
    u32 op = rng() % 100;
    u32 size = static_cast<u32>(model.size());
    if (op < 55) {
      u32 at = rng() % (size + 300);
      u32 n = 1 + rng() % (op < 10 ? 2000 : 300);
      const Bytes &src = rng() % 3 ? text : noise;
      u32 from = rng() % (4000 - n);
      ASSERT_EQ(f->WriteAt(&src[from], at, n, nullptr), nullptr) << step;
      if (at + n > model.size()) model.resize(at + n, 0);
      memcpy(&model[at], &src[from], n);
    } else if (op < 75) {
      u32 at = size ? rng() % size : 0;
      u32 n = rng() % 1500;
      Bytes got(n, 0xEE);
      u32 count = 0;
      ASSERT_EQ(f->ReadAt(got.data(), at, n, &count), nullptr) << step;
      u32 want = std::min(n, size - at);
      ASSERT_EQ(count, want) << step;
      ASSERT_TRUE(std::equal(got.begin(), got.begin() + want,
                             model.begin() + at))
          << step;
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
