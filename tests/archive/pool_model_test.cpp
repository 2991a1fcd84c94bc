// Thousands of random operations on a pool file system and on a plain
// in-memory tree, which must agree after every step and after reopening the
// image from disk.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/pool_fs.h"
#include "pool_test_support.h"

namespace {

struct Node {
  std::string name;
  bool dir = false;
  std::string data;
  Node *parent = nullptr;
  std::vector<std::unique_ptr<Node>> kids;
};

std::string Fold(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

class Model {
 public:
  Model() { root.dir = true; }

  Node *Child(Node *dir, const std::string &name) {
    for (auto &k : dir->kids)
      if (Fold(k->name) == Fold(name)) return k.get();
    return nullptr;
  }
  std::unique_ptr<Node> Detach(Node *n) {
    auto &kids = n->parent->kids;
    for (size_t i = 0; i < kids.size(); i++) {
      if (kids[i].get() == n) {
        std::unique_ptr<Node> out = std::move(kids[i]);
        kids.erase(kids.begin() + i);
        return out;
      }
    }
    return nullptr;
  }
  Node *Attach(Node *dir, std::unique_ptr<Node> n) {
    n->parent = dir;
    dir->kids.push_back(std::move(n));
    return dir->kids.back().get();
  }
  void All(Node *n, std::vector<Node *> *out) {
    for (auto &k : n->kids) {
      out->push_back(k.get());
      if (k->dir) All(k.get(), out);
    }
  }
  static bool Inside(Node *n, Node *ancestor) {
    for (; n; n = n->parent)
      if (n == ancestor) return true;
    return false;
  }

  Node root;
};

class PoolModelTest : public ::testing::Test {
 protected:
  void Open(bool create) {
    fs.reset();
    CBFHP *pool = create ? file.Create(64, 8) : file.Open();
    ASSERT_NE(pool, nullptr);
    fs.reset(new CHPFS(pool, 3));
  }
  // The node's path with random letter case and separators.
  std::string PathOf(Node *n) {
    if (n == &model.root) return rng() % 2 ? "" : "\\";
    std::string parent = PathOf(n->parent);
    std::string name = n->name;
    for (char &c : name) {
      if (rng() % 3 == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    if (parent == "\\") parent.clear();
    return parent.empty() ? name : parent + (rng() % 2 ? "\\" : "/") + name;
  }
  std::string Join(Node *dir, const std::string &name) {
    std::string p = PathOf(dir);
    if (p == "\\" || p.empty()) return p + name;
    return p + "\\" + name;
  }
  std::string RandomName() {
    static const char *names[] = {"a", "Bee", "c1", "dd", "e.txt", "F.bin", "g"};
    return names[rng() % 7];
  }
  std::string RandomData() {
    u32 size = rng() % 10 == 0 ? rng() % 40000 : rng() % 1500;
    auto b = PatternBytes(size, rng());
    return std::string(b.begin(), b.end());
  }
  Node *RandomDir() {
    std::vector<Node *> all;
    model.All(&model.root, &all);
    std::vector<Node *> dirs = {&model.root};
    for (Node *n : all)
      if (n->dir) dirs.push_back(n);
    return dirs[rng() % dirs.size()];
  }
  Node *RandomEntry(bool wantFile) {
    std::vector<Node *> all, pick;
    model.All(&model.root, &all);
    for (Node *n : all)
      if (!wantFile || !n->dir) pick.push_back(n);
    return pick.empty() ? nullptr : pick[rng() % pick.size()];
  }
  std::string ReadAll(const std::string &path) {
    Error e = nullptr;
    std::unique_ptr<CFile> f(fs->Open(path.c_str(), FOM_READ | FOM_SHAREREAD, &e));
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
  void CheckDirectory(Node *dir) {
    std::string path = PathOf(dir);
    FindRecord record = {};
    Error e = fs->FindFirst(&record, path.c_str());
    size_t i = 0;
    for (; !e; i++, e = fs->FindNext(&record)) {
      ASSERT_LT(i, dir->kids.size()) << path;
      EXPECT_EQ(record.name, dir->kids[i]->name) << path;
      EXPECT_EQ(record.attributes, dir->kids[i]->dir ? FATTR_DIRECTORY : 0u);
    }
    fs->FindClose(&record);
    EXPECT_EQ(e, FERR_NOMOREFILES);
    EXPECT_EQ(i, dir->kids.size()) << path;
  }
  // Every entry through the walker, against the model.
  void CheckEverything() {
    std::map<std::string, std::string> seen;  // path -> data or "<dir>"
    auto visit = [](void *c, const char *path, u32 attributes, u32 size,
                    CFile *f) -> Error {
      std::string data = "<dir>";
      if (!(attributes & FATTR_DIRECTORY)) {
        data.assign(size, '\0');
        if (size && f->Read(&data[0], size, nullptr)) return ERR_UNKNOWN;
      }
      (*static_cast<std::map<std::string, std::string> *>(c))[path] = data;
      return nullptr;
    };
    ASSERT_EQ(PoolWalk(fs.get(), visit, &seen), nullptr);
    std::vector<Node *> all;
    model.All(&model.root, &all);
    ASSERT_EQ(seen.size(), all.size());
    for (Node *n : all) {
      std::string p = n->name;
      for (Node *q = n->parent; q != &model.root; q = q->parent)
        p = q->name + "\\" + p;
      ASSERT_TRUE(seen.count(p)) << p;
      EXPECT_EQ(seen[p], n->dir ? std::string("<dir>") : n->data) << p;
    }
  }

  void Step();

  TempDir dir;
  PoolFileAt file{dir / "model.pool"};
  std::unique_ptr<CHPFS> fs;
  Model model;
  std::mt19937 rng{20240611};
};

void PoolModelTest::Step() {
  u32 op = rng() % 100;
  Error e = nullptr;
  if (op < 28) {  // create or replace a file
    Node *d = RandomDir();
    std::string name = RandomName();
    Node *existing = model.Child(d, name);
    std::string path = Join(d, name);
    std::unique_ptr<CFile> f(
        fs->Open(path.c_str(), FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e));
    if (existing && existing->dir) {
      EXPECT_EQ(f, nullptr) << path;
      EXPECT_EQ(e, ERR_UNKNOWN);
      return;
    }
    ASSERT_NE(f, nullptr) << path << " " << ErrorText(e);
    std::string data = RandomData();
    for (size_t at = 0; at < data.size();) {
      u32 n = std::min<u32>(static_cast<u32>(data.size() - at), 1 + rng() % 5000);
      ASSERT_EQ(f->Write(data.data() + at, n, nullptr), nullptr);
      at += n;
    }
    if (!existing) {
      std::unique_ptr<Node> n(new Node);
      n->name = name;
      existing = model.Attach(d, std::move(n));
    }
    existing->data = data;
  } else if (op < 43) {  // overwrite or append inside a file
    Node *n = RandomEntry(true);
    if (!n) return;
    std::unique_ptr<CFile> f(
        fs->Open(PathOf(n).c_str(), FOM_READ | FOM_WRITE, &e));
    ASSERT_NE(f, nullptr);
    u32 at = static_cast<u32>(rng() % (n->data.size() + 1));
    std::string patch = RandomData().substr(0, rng() % 3000);
    f->Seek(static_cast<i32>(at), SEEK_FROM_START);
    ASSERT_EQ(f->Write(patch.data(), static_cast<u32>(patch.size()), nullptr), nullptr);
    if (at + patch.size() > n->data.size()) n->data.resize(at + patch.size());
    n->data.replace(at, patch.size(), patch);
    EXPECT_EQ(f->GetSize(), n->data.size());
  } else if (op < 51) {  // truncate
    Node *n = RandomEntry(true);
    if (!n) return;
    std::unique_ptr<CFile> f(fs->Open(PathOf(n).c_str(), FOM_WRITE, &e));
    ASSERT_NE(f, nullptr);
    u32 at = static_cast<u32>(rng() % (n->data.size() + 1));
    f->Seek(static_cast<i32>(at), SEEK_FROM_START);
    ASSERT_EQ(f->Truncate(), nullptr);
    n->data.resize(at);
  } else if (op < 60) {  // delete
    Node *n = RandomEntry(false);
    if (!n) return;
    e = fs->Delete(PathOf(n).c_str());
    if (n->dir) {
      EXPECT_EQ(e, ERR_UNKNOWN);
    } else {
      EXPECT_EQ(e, nullptr);
      model.Detach(n);
    }
  } else if (op < 70) {  // make a directory
    Node *d = RandomDir();
    std::string name = RandomName();
    e = fs->MakeDir(PathOf(d).c_str(), name.c_str());
    if (model.Child(d, name)) {
      EXPECT_EQ(e, ERR_UNKNOWN);
    } else {
      EXPECT_EQ(e, nullptr);
      std::unique_ptr<Node> n(new Node);
      n->name = name;
      n->dir = true;
      model.Attach(d, std::move(n));
    }
  } else if (op < 75) {  // remove a directory
    Node *n = RandomEntry(false);
    if (!n) return;
    e = fs->RemoveDir(PathOf(n->parent).c_str(), n->name.c_str());
    if (!n->dir || !n->kids.empty()) {
      EXPECT_EQ(e, ERR_UNKNOWN);
    } else {
      EXPECT_EQ(e, nullptr);
      model.Detach(n);
    }
  } else if (op < 86) {  // move
    Node *n = RandomEntry(false);
    if (!n) return;
    Node *target = RandomDir();
    std::string name = RandomName();
    std::string from = PathOf(n), to = Join(target, name);
    e = fs->Move(from.c_str(), to.c_str());
    Node *from_dir = n->parent;
    std::unique_ptr<Node> moving = model.Detach(n);
    bool ok = !Model::Inside(target, n) && !model.Child(target, name);
    if (ok) {
      EXPECT_EQ(e, nullptr) << from << " -> " << to;
      moving->name = name;
      model.Attach(target, std::move(moving));
    } else {
      EXPECT_EQ(e, ERR_UNKNOWN) << from << " -> " << to;
      // Put back under the name as the source path spells it.
      moving->name = from.substr(from.find_last_of("\\/") + 1);
      model.Attach(from_dir, std::move(moving));
    }
  } else if (op < 93) {  // read a file
    Node *n = RandomEntry(true);
    if (n) {
      EXPECT_EQ(ReadAll(PathOf(n)), n->data);
    }
  } else if (op < 98) {  // list a directory
    CheckDirectory(RandomDir());
  } else {  // reopen from disk
    ASSERT_EQ(fs->Pool()->Flush(), nullptr);
    Open(false);
    CheckEverything();
  }
}

TEST_F(PoolModelTest, RandomOperationsAgreeWithAnInMemoryTree) {
  Open(true);
  for (int step = 0; step < 3000 && !HasFatalFailure(); step++) {
    SCOPED_TRACE(step);
    Step();
  }
  CheckEverything();
  // Take everything down again: only the root's block may stay in use.
  std::function<void(Node *)> removeAll = [&](Node *d) {
    while (!d->kids.empty()) {
      Node *k = d->kids.back().get();
      if (k->dir) {
        removeAll(k);
        ASSERT_EQ(fs->RemoveDir(PathOf(d).c_str(), k->name.c_str()), nullptr);
      } else {
        ASSERT_EQ(fs->Delete(PathOf(k).c_str()), nullptr);
      }
      d->kids.pop_back();
    }
  };
  removeAll(&model.root);
  CBFHP *pool = static_cast<CBFHP *>(fs->Pool());
  EXPECT_EQ(pool->BlockCount() - 1 - pool->FreeCount(), 1u);
  Open(false);
  CheckEverything();
}

}  // namespace
