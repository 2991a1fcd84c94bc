#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <list>
#include <random>
#include <vector>

#include "config/hash_table.h"

namespace {

// A node whose link is its first word and whose key follows it.
struct Node {
  void *link;
  u32 key;
  int tag;
};

u32 HashKey(const void *key, u32 count) { return *static_cast<const u32 *>(key) % count; }
i16 CompareKey(const void *probe, const void *node) {
  return *static_cast<const u32 *>(probe) == *static_cast<const u32 *>(node) ? 0 : 1;
}
// The key of a Node sits after its link; the probe is a Node too.
u32 HashNode(const void *key, u32 count) { return static_cast<const Node *>(key)->key % count; }
i16 CompareNode(const void *probe, const void *node) {
  return static_cast<const Node *>(probe)->key == static_cast<const Node *>(node)->key ? 0 : 1;
}
void Record(void *node, void *user) {
  static_cast<std::vector<int> *>(user)->push_back(static_cast<Node *>(node)->tag);
}

}  // namespace

// Inserts, finds, detaches and removes by random keys against a model of
// chains with the newest node at the head, where an equal newer node hides
// an older one; clearing frees bucket by bucket from the head.
TEST(HashTableTest, MatchesAModelOfChains) {
  const u32 kBuckets = 5;
  std::mt19937 rng(5);
  std::vector<Node> nodes(60);
  std::vector<std::list<int>> model(kBuckets);
  std::vector<bool> in(nodes.size());
  std::vector<int> freed, modelFreed;
  CHashTable table(kBuckets, HashNode, CompareNode, Record, 0, 0);
  table.SetUserValue(&freed);
  for (int step = 0; step < 5000; step++) {
    Node probe{nullptr, static_cast<u32>(rng() % 12), 0};
    std::list<int> &chain = model[probe.key % kBuckets];
    auto hit = std::find_if(chain.begin(), chain.end(),
                            [&](int i) { return nodes[i].key == probe.key; });
    Node *want = hit == chain.end() ? nullptr : &nodes[*hit];
    void **link = nullptr;
    switch (rng() % 4) {
      case 0: {
        int i = static_cast<int>(rng() % nodes.size());
        if (in[i]) break;
        nodes[i] = {nullptr, probe.key, i};
        ASSERT_EQ(table.Insert(&nodes[i]), nullptr);
        model[probe.key % kBuckets].push_front(i);
        in[i] = true;
        break;
      }
      case 1:
        ASSERT_EQ(table.Find(&probe, &link), want);
        ASSERT_EQ(*link, want);  // the link that holds it, or the chain's end
        ASSERT_EQ(table.FindInBucket(&probe, probe.key % kBuckets), want);
        ASSERT_EQ(table.FindInBucket(&probe, (probe.key + 1) % kBuckets), nullptr);
        break;
      default: {
        void *out = nullptr;
        bool remove = rng() % 2;
        ASSERT_EQ(remove ? table.Remove(&probe) : table.Detach(&probe, &out),
                  want ? nullptr : ERR_NOTFOUND);
        if (!want) break;
        if (remove) modelFreed.push_back(*hit);
        else ASSERT_EQ(out, want);
        in[*hit] = false;
        chain.erase(hit);
      }
    }
    ASSERT_EQ(freed, modelFreed);
    ASSERT_EQ(table.ElementCount(), static_cast<u32>(std::count(in.begin(), in.end(), true)));
  }
  for (auto &chain : model) modelFreed.insert(modelFreed.end(), chain.begin(), chain.end());
  table.ClearTable();
  EXPECT_EQ(freed, modelFreed);
  EXPECT_EQ(table.ElementCount(), 0u);
  Node probe{nullptr, nodes[0].key, 0};
  EXPECT_EQ(table.Find(&probe), nullptr);
}

TEST(HashTableTest, RefusalsOffsetsAndRelocation) {
  CHashTable table(4, HashNode, CompareNode, nullptr, 0, 0);
  void *out = nullptr;
  Node a{nullptr, 1, 1};
  CHashTable empty(0, HashNode, CompareNode, nullptr, 0, 0);
  for (Error e : {table.Insert(nullptr), table.Detach(nullptr, &out), table.Remove(nullptr), empty.Insert(&a),
                  empty.Remove(&a)})
    EXPECT_EQ(e, ERR_UNKNOWN);
  EXPECT_TRUE(!table.Find(nullptr) && !empty.Find(&a) && !table.FindInBucket(&a, 4));  // 4: out of range
  empty.ClearTable();
  empty.Relocate(16);
  table.Insert(&a);
  table.ClearTable();  // without a callback it only empties the buckets
  EXPECT_EQ(table.Find(&a), nullptr);

  // Link and key at offsets of their own; probes are bare keys.
  struct OffsetNode {
    u64 payload;
    void *link;
    u32 key;
  } x{11, nullptr, 4}, y{22, nullptr, 7};
  u32 keys[] = {4, 7};
  CHashTable offsets(3, HashKey, CompareKey, nullptr, offsetof(OffsetNode, link),
                     offsetof(OffsetNode, key));
  offsets.Insert(&x);
  offsets.Insert(&y);
  EXPECT_TRUE(offsets.Find(&keys[0]) == &x && offsets.Find(&keys[1]) == &y && x.payload == 11u);

  // A chain saved as offsets from a base, as a saved table holds it; offset
  // 0 would read as the end of a chain, so the base lies before the nodes.
  CHashTable one(1, HashNode, CompareNode, nullptr, 0, 0);
  Node nodes[3] = {{nullptr, 1, 1}, {nullptr, 2, 2}, {nullptr, 3, 3}};
  for (Node &n : nodes) one.Insert(&n);
  uintptr_t base = reinterpret_cast<uintptr_t>(nodes) - 64;
  Node probe{nullptr, 3, 0};
  void **head = nullptr;
  one.Find(&probe, &head);
  auto toOffset = [&](void *&p) { p = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(p) - base); };
  for (Node &n : nodes)
    if (n.link) toOffset(n.link);
  toOffset(*head);
  one.Relocate(base);
  for (u32 k = 1; k <= 3; ++k) {
    probe.key = k;
    EXPECT_EQ(one.Find(&probe), &nodes[k - 1]);
  }
}
