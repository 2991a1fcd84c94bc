// The pool file system against an in-memory tree under seeded random operations
// (reopened now and then); the header's and index trees' layouts; damage and bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/pool_file.h"
#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "core/endian.h"
#include "support/listing.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::unique_ptr<CBFHP> PoolPtr;
typedef std::unique_ptr<CFile> FilePtr;
typedef std::map<std::string, std::string> Tree;  // path -> bytes or "<dir>"

Error Collect(void *context, const char *path, u32 attributes, u32 size, CFile *file) {
  std::string data = "<dir>";
  if (!(attributes & FATTR_DIRECTORY)) {
    data.assign(size, '\0');
    if (size && file->Read(&data[0], size, nullptr)) return ERR_UNKNOWN;
  }
  (*static_cast<Tree *>(context))[path] = data;
  return nullptr;
}
Error Count(void *c, const char *, u32, u32, CFile *) {
  ++*static_cast<int *>(c);
  return nullptr;
}

class PoolTest : public ::testing::Test {
 public:
  // A fresh pool file, or the one on disk.
  CBFHP *Create(u32 blockSize, u32 headSize, u32 maxBlocks = 0) {
    CFile *f = OpenNativeFile(path, true, true);
    return Attach(f, CreatePoolFile(f, blockSize, headSize, maxBlocks));
  }
  CBFHP *Open() { return Attach(OpenNativeFile(path, true, false), nullptr); }
  CBFHP *Attach(CFile *f, Error e) {
    PoolPtr pool(new CBFHP(nullptr, 0));
    if (e || pool->AttachFile(f)) return delete f, nullptr;
    return pool.release();
  }
  void Poke(size_t offset, u32 value) {
    Bytes b = ReadWholeFile(path);
    PutU32LE(b.data() + offset, value);
    WriteWholeFile(path, b);
  }
  u32 Peek(size_t offset) { return GetU32LE(ReadWholeFile(path).data() + offset); }
  static Bytes ReadHandle(CBFHP *pool, Handle h) {
    Bytes out(pool->GetSize(h));
    if (!out.empty()) {
      EXPECT_EQ(pool->Read(h, out.data(), 0, kToEnd), nullptr);
    }
    return out;
  }
  static void WriteHandle(CBFHP *pool, Handle h, const Bytes &bytes) {
    ASSERT_EQ(pool->GetSize(h), bytes.size());
    if (!bytes.empty()) {
      ASSERT_EQ(pool->Write(h, bytes.data(), 0, kToEnd), nullptr);
    }
  }
  static u32 UsedBlocks(CBFHP *pool) { return pool->BlockCount() - 1 - pool->FreeCount(); }

  // The file system over a fresh or (blockSize 0) the existing pool file.
  void MakeFs(u32 blockSize = 1024, u32 cache = 1, u32 maxBlocks = 0) {
    fs.reset();
    CBFHP *pool = blockSize ? Create(blockSize, 8, maxBlocks) : Open();
    ASSERT_NE(pool, nullptr);
    fs.reset(new CHPFS(pool, cache));
  }
  CBFHP *Pool() { return static_cast<CBFHP *>(fs->Pool()); }
  Error Put(const std::string &p, const std::string &content) {
    Error e = nullptr;
    FilePtr f(fs->Open(p.c_str(), FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e));
    return f ? f->Write(content.data(), static_cast<u32>(content.size()), nullptr) : e;
  }
  std::string Get(const std::string &p) {
    Error e = nullptr;
    FilePtr f(fs->Open(p.c_str(), FOM_READ, &e));
    if (!f) return std::string("<") + ErrorText(e) + ">";
    std::string out(f->GetSize(), '\0');
    EXPECT_EQ(f->Read(&out[0], static_cast<u32>(out.size()), nullptr), nullptr);
    return out;
  }
  Handle HandleOf(const char *p) {
    Handle h = 0;
    u16 flags;
    EXPECT_EQ(fs->Lookup(p, &h, &flags), nullptr) << p;
    return h;
  }

  TempDir dir;
  std::string path = dir / "p.pool";
  std::unique_ptr<CHPFS> fs;
  std::mt19937 rng{20240611};
};


struct Node {
  std::string name, data;
  bool dir = false;
  Node *parent = nullptr;
  std::vector<std::unique_ptr<Node>> kids;
};

std::string Fold(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}
Node *Child(Node *dir, const std::string &name) {
  for (auto &k : dir->kids)
    if (Fold(k->name) == Fold(name)) return k.get();
  return nullptr;
}
std::unique_ptr<Node> Detach(Node *n) {
  auto &kids = n->parent->kids;
  auto it = std::find_if(kids.begin(), kids.end(), [n](auto &k) { return k.get() == n; });
  std::unique_ptr<Node> out = std::move(*it);
  kids.erase(it);
  return out;
}
Node *Adopt(Node *dir, std::unique_ptr<Node> n) {
  n->parent = dir;
  dir->kids.push_back(std::move(n));
  return dir->kids.back().get();
}
Node *NewNode(Node *dir, const std::string &name, bool isDir) {
  return Adopt(dir, std::unique_ptr<Node>(new Node{name, "", isDir, nullptr, {}}));
}
void All(Node *n, std::vector<Node *> *out) {
  for (auto &k : n->kids) {
    out->push_back(k.get());
    if (k->dir) All(k.get(), out);
  }
}
bool Inside(Node *n, Node *ancestor) {
  while (n && n != ancestor) n = n->parent;
  return n != nullptr;
}

class PoolModelTest : public PoolTest {
 protected:
  // The node's path with random letter case and separators.
  std::string PathOf(Node *n) {
    if (n == &root) return rng() % 2 ? "" : "\\";
    std::string parent = PathOf(n->parent), name = n->name;
    for (char &c : name)
      if (rng() % 3 == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (parent == "\\") parent.clear();
    return parent.empty() ? name : parent + (rng() % 2 ? "\\" : "/") + name;
  }
  std::string Join(Node *d, const std::string &name) {
    std::string p = PathOf(d);
    return p == "\\" || p.empty() ? p + name : p + "\\" + name;
  }
  std::string RandomName() {
    static const char *names[] = {"a", "Bee", "c1", "dd", "e.txt", "F.bin", "g"};
    return names[rng() % 7];
  }
  std::string RandomData() {
    auto b = PatternBytes(rng() % 10 == 0 ? rng() % 40000 : rng() % 1500, rng());
    return std::string(b.begin(), b.end());
  }
  // A random entry (a file only when asked; the root among them for `dirs`).
  Node *Random(bool files, bool dirs = false) {
    std::vector<Node *> all, pick;
    All(&root, &all);
    if (dirs) pick.push_back(&root);
    for (Node *n : all)
      if (dirs ? n->dir : !files || !n->dir) pick.push_back(n);
    return pick.empty() ? nullptr : pick[rng() % pick.size()];
  }
  std::string ReadAll(const std::string &p) {
    Error e = nullptr;
    FilePtr f(fs->Open(p.c_str(), FOM_READ | FOM_SHAREREAD, &e));
    if (!f) return std::string("<") + ErrorText(e) + ">";
    std::string out;
    char buf[777];
    u32 got = 0;
    do {
      EXPECT_EQ(f->Read(buf, 1 + rng() % sizeof buf, &got), nullptr);
      out.append(buf, got);
    } while (got > 0);
    return out;
  }
  void CheckDirectory(Node *d) {
    std::string p = PathOf(d);
    Error end;
    Listing want;
    for (auto &k : d->kids) want.push_back({k->name, k->dir ? FATTR_DIRECTORY : 0u});
    EXPECT_EQ(ListDir(fs.get(), p.c_str(), &end), want) << p;
    EXPECT_EQ(end, FERR_NOMOREFILES);
  }
  // Every entry through the walker, against the model.
  void CheckEverything() {
    Tree seen, want;
    ASSERT_EQ(PoolWalk(fs.get(), Collect, &seen), nullptr);
    std::vector<Node *> all;
    All(&root, &all);
    for (Node *n : all) {
      std::string p = n->name;
      for (Node *q = n->parent; q != &root; q = q->parent) p = q->name + "\\" + p;
      want[p] = n->dir ? "<dir>" : n->data;
    }
    EXPECT_EQ(seen, want);
  }
  void Step();

  Node root;
};

void PoolModelTest::Step() {
  u32 op = rng() % 100;
  Error e = nullptr;
  if (op < 28) {  // create or replace a file
    Node *d = Random(false, true);
    std::string name = RandomName(), p = Join(d, name);
    Node *existing = Child(d, name);
    FilePtr f(fs->Open(p.c_str(), FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e));
    if (existing && existing->dir) {
      EXPECT_EQ(f, nullptr) << p;
      EXPECT_EQ(e, ERR_UNKNOWN);
      return;
    }
    ASSERT_NE(f, nullptr) << p << " " << ErrorText(e);
    std::string data = RandomData();
    for (size_t at = 0; at < data.size();) {
      u32 n = std::min<u32>(static_cast<u32>(data.size() - at), 1 + rng() % 5000);
      ASSERT_EQ(f->Write(data.data() + at, n, nullptr), nullptr);
      at += n;
    }
    if (!existing) existing = NewNode(d, name, false);
    existing->data = data;
  } else if (op < 51) {  // overwrite or append inside a file, or truncate it
    Node *n = Random(true);
    if (!n) return;
    FilePtr f(fs->Open(PathOf(n).c_str(), FOM_READ | FOM_WRITE, &e));
    ASSERT_NE(f, nullptr);
    u32 at = static_cast<u32>(rng() % (n->data.size() + 1));
    std::string patch = RandomData().substr(0, rng() % 3000);
    f->Seek(static_cast<i32>(at), SEEK_FROM_START);
    if (op < 43) {
      ASSERT_EQ(f->Write(patch.data(), static_cast<u32>(patch.size()), nullptr), nullptr);
      n->data.resize(std::max(n->data.size(), at + patch.size()));
      n->data.replace(at, patch.size(), patch);
    } else {
      ASSERT_EQ(f->Truncate(), nullptr);
      n->data.resize(at);
    }
    EXPECT_EQ(f->GetSize(), n->data.size());
  } else if (op < 60) {  // delete
    Node *n = Random(false);
    if (!n) return;
    EXPECT_EQ(fs->Delete(PathOf(n).c_str()), n->dir ? ERR_UNKNOWN : nullptr);
    if (!n->dir) Detach(n);
  } else if (op < 70) {  // make a directory
    Node *d = Random(false, true);
    std::string name = RandomName();
    bool taken = Child(d, name) != nullptr;
    EXPECT_EQ(fs->MakeDir(PathOf(d).c_str(), name.c_str()), taken ? ERR_UNKNOWN : nullptr);
    if (!taken) NewNode(d, name, true);
  } else if (op < 75) {  // remove a directory
    Node *n = Random(false);
    if (!n) return;
    bool ok = n->dir && n->kids.empty();
    EXPECT_EQ(fs->RemoveDir(PathOf(n->parent).c_str(), n->name.c_str()),
              ok ? nullptr : ERR_UNKNOWN);
    if (ok) Detach(n);
  } else if (op < 86) {  // move
    Node *n = Random(false);
    if (!n) return;
    Node *target = Random(false, true), *from_dir = n->parent;
    std::string name = RandomName(), from = PathOf(n), to = Join(target, name);
    e = fs->Move(from.c_str(), to.c_str());
    std::unique_ptr<Node> moving = Detach(n);
    bool ok = !Inside(target, n) && !Child(target, name);
    EXPECT_EQ(e, ok ? nullptr : ERR_UNKNOWN) << from << " -> " << to;
    // A refused move puts the entry back last, under the name as spelt.
    moving->name = ok ? name : from.substr(from.find_last_of("\\/") + 1);
    Adopt(ok ? target : from_dir, std::move(moving));
  } else if (op < 93) {  // read a file
    Node *n = Random(true);
    if (n) {
      EXPECT_EQ(ReadAll(PathOf(n)), n->data);
    }
  } else if (op < 98) {  // list a directory
    CheckDirectory(Random(false, true));
  } else {  // reopen from disk
    ASSERT_EQ(fs->Pool()->Flush(), nullptr);
    MakeFs(0, 3);
    CheckEverything();
  }
}

TEST_F(PoolModelTest, RandomOperationsAgreeWithAnInMemoryTree) {
  root.dir = true;
  MakeFs(64, 3);
  for (int step = 0; step < 3000 && !HasFatalFailure(); step++) {
    SCOPED_TRACE(step);
    Step();
  }
  CheckEverything();
  // Take everything down again: only the root's block may stay in use.
  std::function<void(Node *)> removeAll = [&](Node *d) {
    while (!d->kids.empty()) {
      Node *k = d->kids.back().get();
      if (k->dir) removeAll(k);
      ASSERT_EQ(k->dir ? fs->RemoveDir(PathOf(d).c_str(), k->name.c_str())
                       : fs->Delete(PathOf(k).c_str()), nullptr);
      d->kids.pop_back();
    }
  };
  removeAll(&root);
  EXPECT_EQ(UsedBlocks(Pool()), 1u);
  MakeFs(0, 3);
  CheckEverything();
}


TEST_F(PoolTest, BadParametersAndImpossibleHeadersAreRefused) {
  std::unique_ptr<CFile> f(OpenNativeFile(dir / "q.pool", true, true));
  for (auto bh : {std::make_pair(30u, 8u), {2u << 20, 8u}, {64u, 64u}, {64u, 4u}, {64u, 10u}})
    EXPECT_EQ(CreatePoolFile(f.get(), bh.first, bh.second), ERR_BADPARAMS) << bh.first;
  EXPECT_EQ(CreatePoolFile(nullptr), ERR_BADPARAMS);
  CBFHP pool(nullptr, 0);
  EXPECT_EQ(pool.AttachFile(f.get()), FERR_EOF);  // the empty file
  EXPECT_EQ(pool.AttachFile(nullptr), ERR_BADPARAMS);
  EXPECT_EQ(pool.Flush(), ERR_UNKNOWN);
  WriteWholeFile(path, std::string(64, 'x'));  // no signature: the file stays the caller's
  std::unique_ptr<CHostFile> x(OpenNativeFile(path, false, false));
  EXPECT_EQ(pool.AttachFile(x.get()), ERR_INVALIDFORMAT);
  const std::pair<size_t, u32> cases[] = {
      {4, 0},  {4, 30},   {4, 66}, {4, 2u << 20}, {24, 64}, {24, 100},      {24, 6},
      {24, 4}, {8, 0},    {8, 1000}, {12, 0},     {16, 1},  {8, 0x7FFFFFF}, {20, 50}, {20, 0}};
  for (auto c : cases) {
    PoolPtr fresh(Create(64, 8, 100));
    if (c.first == 20) {  // a free list, its head at 20
      Handle a = fresh->Allocate(0), b = fresh->Allocate(0);
      fresh->Allocate(0);
      fresh->Free(a);
      fresh->Free(b);
    }
    fresh.reset();
    Poke(c.first, c.second);
    EXPECT_EQ(PoolPtr(Open()), nullptr) << c.first << "=" << c.second;
  }
}

TEST_F(PoolTest, GrowingPastTheRootAddsALevelHoldingTheOldRoot) {
  // B = 64, headSize = 8: R = 14 root entries from position 2, E = 16.
  PoolPtr pool(Create(64, 8));
  Handle h = pool->Allocate(14 * 64);
  Bytes data = PatternBytes(14 * 64, 7);
  WriteHandle(pool.get(), h, data);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(Peek(64 + 4) & 0xFFFF, 0u);
  u32 oldRoot[14];
  for (u32 i = 0; i < 14; i++) oldRoot[i] = Peek(64 + 8 + 4 * i);
  ASSERT_EQ(pool->Reallocate(h, 14 * 64 + 1), h);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(Peek(64), 14u * 64 + 1);
  EXPECT_EQ(Peek(64 + 4) & 0xFFFF, 1u);
  u32 level1 = Peek(64 + 8);
  EXPECT_EQ(Peek(64 + 12), oldRoot[1]);  // root position 3 untouched
  for (u32 i = 0; i < 14; i++) EXPECT_EQ(Peek(level1 * 64 + 4 * i), oldRoot[i]) << i;
  u32 newData = Peek(level1 * 64 + 4 * 14);
  EXPECT_NE(newData, 0u);
  EXPECT_EQ(std::count(oldRoot, oldRoot + 14, newData), 0);
  data.push_back(0x5A);
  ASSERT_EQ(pool->Write(h, &data.back(), 14 * 64, 1), nullptr);
  EXPECT_EQ(ReadHandle(pool.get(), h), data);
}

TEST_F(PoolTest, FreeListSpanningSeveralBlocksIsReusedAfterReopening) {
  PoolPtr pool(Create(64, 8));
  std::set<Handle> handles;
  for (int i = 0; i < 40; i++) handles.insert(pool->Allocate(0));
  Handle last = pool->Allocate(0);
  for (Handle h : handles) pool->Free(h);
  EXPECT_EQ(pool->FreeCount(), 40u);  // E = 16: three free-list blocks
  u32 count = pool->BlockCount();
  ASSERT_EQ(pool->Flush(), nullptr);
  pool.reset(Open());
  std::set<Handle> again;
  for (int i = 0; i < 40; i++) again.insert(pool->Allocate(0));
  EXPECT_EQ(again, handles);
  EXPECT_EQ(pool->FreeCount(), 0u);
  EXPECT_EQ(pool->BlockCount(), count);
  EXPECT_EQ(pool->GetSize(last), 0u);
}

TEST_F(PoolTest, GrowthThatCannotCompleteChangesNothing) {
  // 16 blocks: header, head, 14 data; the fifteenth would need an index block.
  PoolPtr pool(Create(64, 8, 17));
  Handle h = pool->Allocate(14 * 64);
  Bytes data = PatternBytes(14 * 64, 4);
  WriteHandle(pool.get(), h, data);
  EXPECT_EQ(pool->Reallocate(h, 15 * 64), 0u);
  EXPECT_EQ(pool->GetError(), nullptr);
  EXPECT_EQ(pool->BlockCount(), 16u);
  EXPECT_EQ(ReadHandle(pool.get(), h), data);
  EXPECT_EQ(pool->Allocate(64), 0u);  // head fits, data does not: no leak
  EXPECT_EQ(pool->BlockCount(), 16u);

  // B = 32, headSize = 28: one root entry, E = 8; depth 5 holds 8^5 blocks.
  pool.reset(Create(32, 28));
  h = pool->Allocate(0);
  const u32 full = 32768 * 32;
  ASSERT_EQ(pool->Reallocate(h, full), h);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(Peek(h * 32 + 4) & 0xFFFF, 5u);
  u32 count = pool->BlockCount();
  EXPECT_EQ(pool->Reallocate(h, full + 1), 0u);
  EXPECT_EQ(pool->GetSize(h), full);
  EXPECT_EQ(pool->BlockCount(), count);
  pool->Free(h);
  EXPECT_EQ(UsedBlocks(pool.get()), 0u);
}

TEST_F(PoolTest, GrowthThatMeetsADamagedFreeListIsUndone) {
  PoolPtr pool(Create(64, 8, 7));
  Handle a = pool->Allocate(0), b = pool->Allocate(0), c = pool->Allocate(0),
         d = pool->Allocate(0);
  pool->Allocate(0);  // block 6 keeps the others from being cut
  pool->Free(b);      // free-list head, nothing written into it
  pool->Free(c);      // position 1 of b
  pool->Free(d);      // position 2 of b
  ASSERT_EQ(pool->Flush(), nullptr);
  pool.reset();
  Poke(b * 64 + 4, 9999);  // c's entry now points nowhere
  pool.reset(Open());
  EXPECT_EQ(pool->Reallocate(a, 3 * 64), 0u);
  EXPECT_EQ(pool->GetError(), ERR_INVALIDFORMAT);
  EXPECT_EQ(pool->GetSize(a), 0u);
  EXPECT_EQ(pool->FreeCount(), 3u);  // d was taken and given back
  ASSERT_EQ(pool->Reallocate(a, 64), a);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(Peek(a * 64 + 8), d);
}

TEST_F(PoolTest, DamagedHeadAndIndexBlocksFailWithoutCrashing) {
  PoolPtr pool(Create(64, 8));
  Handle h = pool->Allocate(20 * 64);  // depth 1
  WriteHandle(pool.get(), h, PatternBytes(20 * 64, 2));
  ASSERT_EQ(pool->Flush(), nullptr);
  pool.reset();
  Bytes good = ReadWholeFile(path);
  u32 level1 = GetU32LE(good.data() + h * 64 + 8);
  char buf[64];
  Poke(h * 64 + 4, 6);  // depth 6
  pool.reset(Open());
  EXPECT_EQ(pool->Read(h, buf, 0, 8), ERR_BADPARAMS);
  EXPECT_EQ(pool->Reallocate(h, 10), 0u);
  WriteWholeFile(path, good);
  Poke(h * 64, 15 * 64 * 16);  // more than depth 1 can hold
  pool.reset(Open());
  EXPECT_EQ(pool->GetSize(h), 0u);
  EXPECT_EQ(pool->GetError(), ERR_INVALIDFORMAT);
  for (u32 bad : {0u, 5000u}) {
    WriteWholeFile(path, good);
    Poke(level1 * 64 + 4 * 15, bad);  // data block 15
    pool.reset(Open());
    EXPECT_EQ(pool->Read(h, buf, 0, 64), nullptr);
    EXPECT_EQ(pool->Read(h, buf, 15 * 64, 8), ERR_INVALIDFORMAT);
    EXPECT_EQ(pool->Write(h, buf, 14 * 64, 128), ERR_INVALIDFORMAT);
    pool->Free(h);  // gives back what it can reach
  }
  WriteWholeFile(path, good);
  Poke(h * 64 + 8, 4000);  // the level-1 block itself
  pool.reset(Open());
  EXPECT_EQ(pool->Read(h, buf, 0, 8), ERR_INVALIDFORMAT);
  EXPECT_EQ(pool->Read(h, buf, 16 * 64, 8), nullptr);  // under root position 3
  EXPECT_EQ(pool->Reallocate(h, 5 * 64), 0u);
  EXPECT_EQ(pool->GetSize(h), 16u * 64);  // what is still reachable
}


TEST_F(PoolTest, AFullPoolFailsWritesAndCreationsWithARealCodeAndKeepsNoBlock) {
  MakeFs(64, 1, 12);
  ASSERT_EQ(fs->MakeDir("", "d"), nullptr);  // root, d: blocks 1, 2, 3
  Error e;
  FilePtr f(fs->Open("d/f", FOM_WRITE | FOM_CREATE, &e));
  while (f->Write("0123456789", 10, nullptr) == nullptr) {
  }
  EXPECT_EQ(fs->MakeDir("d", "x"), FERR_DISKFULL);
  f->Seek(-64, SEEK_FROM_END);  // one block free: an entry's fits, its grown directory not
  ASSERT_EQ(f->Truncate(), nullptr);
  f.reset();
  u32 used = Pool()->BlockCount() - Pool()->FreeCount();
  std::string name(60, 'n');
  EXPECT_EQ(fs->MakeDir("", name.c_str()), FERR_DISKFULL);
  EXPECT_EQ(fs->Open(name.c_str(), FOM_WRITE | FOM_CREATE, &e), nullptr);
  EXPECT_EQ(e, FERR_DISKFULL);
  EXPECT_EQ(Pool()->BlockCount() - Pool()->FreeCount(), used);
  EXPECT_EQ(fs->Exists(name.c_str()), 0u);
}

// An entry: handle, flags, name length, name.
Bytes Entry(u32 handle, u16 flags, u16 nameLength, const std::string &name) {
  Bytes e(8 + name.size());
  PutU32LE(e.data(), handle);
  PutU16LE(e.data() + 4, flags);
  PutU16LE(e.data() + 6, nameLength);
  std::copy(name.begin(), name.end(), e.begin() + 8);
  return e;
}

TEST_F(PoolTest, DamagedDirectoriesAreRefusedAndNeverMakeWalksEndless) {
  MakeFs();
  ASSERT_EQ(fs->MakeDir("", "d"), nullptr);
  ASSERT_EQ(Put("d/ok", "ok"), nullptr);
  u32 ok = static_cast<u32>(HandleOf("d/ok")), d = static_cast<u32>(HandleOf("d"));
  // Rewrites directory d through the pool alone.
  auto setD = [&](const Bytes &bytes) {
    fs.reset();
    PoolPtr pool(Open());
    ASSERT_EQ(pool->Reallocate(d, static_cast<u32>(bytes.size())), d);
    ASSERT_EQ(pool->Write(d, bytes.data(), 0, kToEnd), nullptr);
    pool.reset();
    MakeFs(0);
  };
  for (const Bytes &tail : {Entry(ok, 0, 40, "short"), Entry(ok, 0, 0, ""),
                            Entry(ok, 0, 253, std::string(253, 'n')), Bytes{1, 2, 3}}) {
    Bytes bytes = Entry(ok, 0, 2, "ok");
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    setD(bytes);
    EXPECT_EQ(Get("d/ok"), "ok");  // found before the damage
    EXPECT_EQ(Get("d/zz"), std::string("<") + ErrorText(ERR_INVALIDFORMAT) + ">");
    EXPECT_EQ(fs->MakeDir("d", "new"), ERR_INVALIDFORMAT);
    Error end;
    EXPECT_EQ(ListDir(fs.get(), "d", &end), (Listing{{"ok", 0}}));
    EXPECT_EQ(end, ERR_INVALIDFORMAT);
    int visits = 0;
    EXPECT_EQ(PoolWalk(fs.get(), Count, &visits), ERR_INVALIDFORMAT);
  }
  setD(Entry(d, 1, 4, "loop"));  // a directory holding itself
  std::string deep = "d";
  for (int i = 0; i < 60; i++) deep += "\\loop";
  EXPECT_EQ(fs->Exists(deep.c_str()), 1u);  // bounded by the path
  int visits = 0;
  EXPECT_EQ(PoolWalk(fs.get(), Count, &visits), ERR_INVALIDFORMAT);
  EXPECT_EQ(visits, 2);
  fs.reset();
  Poke(28, 77777);  // the root outside the pool
  MakeFs(0);
  EXPECT_EQ(fs->Exists("d"), 0u);
  Error end;
  EXPECT_TRUE(ListDir(fs.get(), "", &end).empty());
  EXPECT_NE(end, nullptr);
}


}  // namespace
