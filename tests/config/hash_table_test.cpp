#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "config/hash_table.h"

namespace {

// A node whose link is its first word and whose key follows it.
struct Node {
  void *link;
  u32 key;
  int tag;
};

// A node with a payload first: link and key at offsets of their own.
struct OffsetNode {
  u64 payload;
  void *link;
  u32 key;
};

u32 HashKey(const void *key, u32 count) {
  return *static_cast<const u32 *>(key) % count;
}
i16 CompareKey(const void *probe, const void *node) {
  return *static_cast<const u32 *>(probe) == *static_cast<const u32 *>(node)
             ? 0
             : 1;
}
// The key of a Node sits after its link; the probe is a bare key.
u32 HashNode(const void *key, u32 count) {
  return static_cast<const Node *>(key)->key % count;
}
i16 CompareNode(const void *probe, const void *node) {
  return static_cast<const Node *>(probe)->key ==
                 static_cast<const Node *>(node)->key
             ? 0
             : 1;
}
void Record(void *node, void *user) {
  static_cast<std::vector<int> *>(user)->push_back(
      static_cast<Node *>(node)->tag);
}

}  // namespace

TEST(HashTableTest, LaterEqualNodeHidesEarlierOne) {
  CHashTable table(4, HashNode, CompareNode, nullptr, 0, 0);
  Node a{nullptr, 5, 1}, b{nullptr, 5, 2};
  EXPECT_EQ(table.Insert(&a), nullptr);
  EXPECT_EQ(table.Insert(&b), nullptr);
  EXPECT_EQ(table.ElementCount(), 2u);
  Node probe{nullptr, 5, 0};
  EXPECT_EQ(table.Find(&probe), &b);
  EXPECT_EQ(b.link, &a);  // inserted at the head
}

TEST(HashTableTest, FindReportsTheLinkThatHoldsTheResult) {
  CHashTable table(1, HashNode, CompareNode, nullptr, 0, 0);
  Node a{nullptr, 1, 1}, b{nullptr, 2, 2};
  table.Insert(&a);
  table.Insert(&b);
  Node probe{nullptr, 1, 0};
  void **link = nullptr;
  EXPECT_EQ(table.Find(&probe, &link), &a);
  EXPECT_EQ(link, &b.link);
  probe.key = 9;
  EXPECT_EQ(table.Find(&probe, &link), nullptr);
  EXPECT_EQ(link, &a.link);  // the terminating null link
  EXPECT_EQ(*link, nullptr);
}

TEST(HashTableTest, FindInBucketSearchesOnlyThatBucket) {
  CHashTable table(4, HashNode, CompareNode, nullptr, 0, 0);
  Node a{nullptr, 6, 1};
  table.Insert(&a);
  Node probe{nullptr, 6, 0};
  EXPECT_EQ(table.FindInBucket(&probe, 2), &a);
  EXPECT_EQ(table.FindInBucket(&probe, 1), nullptr);
  EXPECT_EQ(table.FindInBucket(&probe, 4), nullptr);  // out of range
}

TEST(HashTableTest, NullNodesAndATableWithoutBucketsAreRefused) {
  CHashTable table(4, HashNode, CompareNode, nullptr, 0, 0);
  EXPECT_EQ(table.Insert(nullptr), ERR_UNKNOWN);
  EXPECT_EQ(table.Find(nullptr), nullptr);
  void *out = nullptr;
  EXPECT_EQ(table.Detach(nullptr, &out), ERR_UNKNOWN);
  EXPECT_EQ(table.Remove(nullptr), ERR_UNKNOWN);
  CHashTable empty(0, HashNode, CompareNode, nullptr, 0, 0);
  Node a{nullptr, 1, 1};
  EXPECT_EQ(empty.Insert(&a), ERR_UNKNOWN);
  EXPECT_EQ(empty.Find(&a), nullptr);
  EXPECT_EQ(empty.Remove(&a), ERR_UNKNOWN);
  empty.ClearTable();
  empty.Relocate(16);
}

TEST(HashTableTest, DetachUnlinksTheFirstEqualNodeAndRemoveFreesIt) {
  std::vector<int> freed;
  CHashTable table(2, HashNode, CompareNode, Record, 0, 0);
  table.SetUserValue(&freed);
  Node a{nullptr, 3, 1}, b{nullptr, 5, 2}, c{nullptr, 3, 3};
  table.Insert(&a);
  table.Insert(&b);
  table.Insert(&c);
  Node probe{nullptr, 3, 0};
  void *out = nullptr;
  EXPECT_EQ(table.Detach(&probe, &out), nullptr);
  EXPECT_EQ(out, &c);
  EXPECT_EQ(table.ElementCount(), 2u);
  EXPECT_TRUE(freed.empty());
  EXPECT_EQ(table.Find(&probe), &a);  // the hidden node shows again
  probe.key = 7;
  EXPECT_EQ(table.Detach(&probe, &out), ERR_NOTFOUND);
  probe.key = 5;
  EXPECT_EQ(table.Remove(&probe), nullptr);
  EXPECT_EQ(freed, std::vector<int>{2});
  EXPECT_EQ(table.Remove(&probe), ERR_NOTFOUND);
  EXPECT_EQ(table.ElementCount(), 1u);
}

TEST(HashTableTest, ClearTableFreesBucketByBucketFromTheHead) {
  std::vector<int> freed;
  {
    CHashTable table(2, HashNode, CompareNode, Record, 0, 0);
    table.SetUserValue(&freed);
    Node a{nullptr, 1, 1}, b{nullptr, 2, 2}, c{nullptr, 3, 3},
        d{nullptr, 4, 4};
    table.Insert(&a);
    table.Insert(&b);
    table.Insert(&c);
    table.Insert(&d);
    table.ClearTable();
    EXPECT_EQ(table.ElementCount(), 0u);
    EXPECT_EQ(freed, (std::vector<int>{4, 2, 3, 1}));
    EXPECT_EQ(table.Find(&a), nullptr);
  }
  EXPECT_EQ(freed.size(), 4u);  // destruction frees nothing twice
  CHashTable plain(2, HashNode, CompareNode, nullptr, 0, 0);
  Node a{nullptr, 1, 1};
  plain.Insert(&a);
  plain.ClearTable();  // without a callback it only empties the buckets
  EXPECT_EQ(plain.ElementCount(), 0u);
  EXPECT_EQ(plain.Find(&a), nullptr);
}

TEST(HashTableTest, OffsetsLocateLinkAndKeyInsideTheNode) {
  CHashTable table(3, HashKey, CompareKey, nullptr,
                   offsetof(OffsetNode, link), offsetof(OffsetNode, key));
  OffsetNode a{11, nullptr, 4}, b{22, nullptr, 7};
  table.Insert(&a);
  table.Insert(&b);
  u32 probe = 4;  // probes are keys: no offset is added to them
  EXPECT_EQ(table.Find(&probe), &a);
  probe = 7;
  EXPECT_EQ(table.Find(&probe), &b);
  EXPECT_EQ(a.payload, 11u);
}

TEST(HashTableTest, RelocateTurnsOffsetsIntoAddresses) {
  CHashTable table(1, HashNode, CompareNode, nullptr, 0, 0);
  Node nodes[3] = {{nullptr, 1, 1}, {nullptr, 2, 2}, {nullptr, 3, 3}};
  for (Node &n : nodes) table.Insert(&n);
  // Turn the chain into offsets, as a saved table would hold them; offset 0
  // would read as the end of a chain, so the base lies before the nodes.
  uintptr_t base = reinterpret_cast<uintptr_t>(nodes) - 64;
  Node probe{nullptr, 3, 0};
  void **head = nullptr;
  table.Find(&probe, &head);  // the bucket head
  for (Node &n : nodes)
    if (n.link)
      n.link = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(n.link) -
                                        base);
  *head = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(*head) - base);
  table.Relocate(base);
  for (u32 k = 1; k <= 3; ++k) {
    probe.key = k;
    EXPECT_EQ(table.Find(&probe), &nodes[k - 1]);
  }
}
