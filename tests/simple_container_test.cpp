// Tests of the owning vector and the ordered map. The map is checked by a
// validator that walks the whole structure (red-black rules, key order,
// count, neighbour links, pool and sentinel) after every change.
#include "simple/map.h"
#include "simple/vector.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <set>
#include <vector>

#include "heap_hooks.h"

using Simple::SOwnedPtr;
using Simple::SValue;

// ---------------------------------------------------------------------------
// CVector

namespace {

typedef Simple::CVector<int, SValue, int> IntVector;

// Element type whose deletions are logged in order.
class CCounted {
public:
    explicit CCounted(int id) : id(id) {}
    ~CCounted() { s_deleted.push_back(id); }
    int id;
    static std::vector<int> s_deleted;
};
std::vector<int> CCounted::s_deleted;

typedef Simple::CVector<CCounted *, SOwnedPtr, CCounted *> OwningVector;

}  // namespace

TEST(VectorTest, StartsWithoutAnArray)
{
    IntVector v;
    EXPECT_EQ(v.GetCount(), 0);
    EXPECT_EQ(v.capacity, 0);
    EXPECT_EQ(v.items, nullptr);
}

TEST(VectorTest, GrowsFrom16ByDoublingAndKeepsElements)
{
    IntVector v;
    std::vector<int> capacities;
    for (int i = 0; i < 35; ++i) {
        ASSERT_TRUE(v.Add(i * 3));
        if (capacities.empty() || capacities.back() != v.capacity)
            capacities.push_back(v.capacity);
    }
    // The first Add allocates 16 slots, the 17th grows to 34, the 35th to 70.
    EXPECT_EQ(capacities, (std::vector<int>{16, 34, 70}));
    ASSERT_EQ(v.GetCount(), 35);
    for (int i = 0; i < 35; ++i)
        ASSERT_EQ(v.GetAt(i), i * 3) << "index " << i;
}

TEST(VectorTest, DestructionDeletesOwnedObjectsInIndexOrderSkippingNull)
{
    CCounted::s_deleted.clear();
    {
        OwningVector v;
        const int ids[] = {4, -1, 7, 1, -1, 9};  // -1 adds a null element
        for (int id : ids)
            ASSERT_TRUE(v.Add(id < 0 ? nullptr : new CCounted(id)));
        ASSERT_EQ(v.GetCount(), 6);
        EXPECT_EQ(v.GetAt(1), nullptr);
        EXPECT_EQ(v.GetAt(2)->id, 7);
        EXPECT_TRUE(CCounted::s_deleted.empty());
    }
    EXPECT_EQ(CCounted::s_deleted, (std::vector<int>{4, 7, 1, 9}));
}

TEST(VectorTest, DestructionFreesTheArrayOnlyWhenThereIsOne)
{
    alignas(IntVector) unsigned char storage[sizeof(IntVector)];
    IntVector *v = new (storage) IntVector;
    HeapHooks::CRecordFrees frees;
    v->~IntVector();
    frees.Stop();
    EXPECT_EQ(frees.Count(), 0) << "an empty vector frees nothing";

    v = new (storage) IntVector;
    ASSERT_TRUE(v->Add(1));
    const void *items = v->items;
    frees.Start();
    v->~IntVector();
    frees.Stop();
    ASSERT_EQ(frees.Count(), 1);
    EXPECT_EQ(frees.At(0), items);
}

TEST(VectorTest, AddFailsCleanlyWhenTheArrayCannotGrow)
{
    OwningVector v;
    CCounted::s_deleted.clear();
    CCounted *elements[17];
    for (int i = 0; i < 17; ++i)
        elements[i] = new CCounted(i);
    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(v.Add(elements[i]));
    // Kept as a number: the compiler cannot know that the realloc below fails.
    uintptr_t items = reinterpret_cast<uintptr_t>(v.items);

    bool added;
    {
        HeapHooks::CFailAllocations fail;
        added = v.Add(elements[16]);
    }
    EXPECT_FALSE(added);
    EXPECT_EQ(v.GetCount(), 16);
    EXPECT_EQ(v.capacity, 16);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v.items), items);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(v.GetAt(i), elements[i]);
    EXPECT_TRUE(CCounted::s_deleted.empty()) << "the element that was not added stays the caller's";
    delete elements[16];

    IntVector empty;
    {
        HeapHooks::CFailAllocations fail;
        added = empty.Add(1);
    }
    EXPECT_FALSE(added);
    EXPECT_EQ(empty.GetCount(), 0);
    EXPECT_EQ(empty.capacity, 0);
    EXPECT_EQ(empty.items, nullptr);
}

// ---------------------------------------------------------------------------
// CMap

namespace {

typedef Simple::CMap<int, bool, SValue, SValue, int> IntMap;
typedef IntMap::SNode Node;

Node *FreeLink(const Node *node)
{
    Node *next;
    memcpy(&next, node, sizeof next);
    return next;
}

int CountBlocks(const IntMap &map)
{
    int n = 0;
    for (const IntMap::SBlock *block = map.blocks; block; block = block->previous)
        ++n;
    return n;
}

// Whether node is one of the node slots of one of the map's pool blocks.
bool InPool(const IntMap &map, const Node *node)
{
    for (const IntMap::SBlock *block = map.blocks; block; block = block->previous) {
        const char *start = reinterpret_cast<const char *>(block) + sizeof(void *);
        const char *at = reinterpret_cast<const char *>(node);
        if (at >= start && at < start + map.nodesPerBlock * sizeof(Node))
            return (at - start) % sizeof(Node) == 0;
    }
    return false;
}

class CValidator {
public:
    explicit CValidator(const IntMap &map) : m_map(map) {}

    ::testing::AssertionResult Run()
    {
        const Node *sentinel = &m_map.sentinel;
        if (sentinel->left != sentinel || sentinel->right != sentinel || sentinel->parent != nullptr ||
            sentinel->color != IntMap::kBlack)
            return Fail() << "the sentinel was changed";
        if (m_map.nodesPerBlock != 7)
            return Fail() << "nodesPerBlock is " << m_map.nodesPerBlock;

        if (m_map.root == sentinel) {
            if (m_map.count != 0)
                return Fail() << "an empty tree with count " << m_map.count;
        } else {
            if (m_map.root->parent != nullptr)
                return Fail() << "the root has a parent";
            if (m_map.root->color != IntMap::kBlack)
                return Fail() << "the root is red";
            int blackHeight;
            if (!Walk(m_map.root, nullptr, nullptr, &blackHeight))
                return m_failure;
        }
        if (static_cast<int>(m_inOrder.size()) != m_map.count)
            return Fail() << "count " << m_map.count << " but " << m_inOrder.size() << " nodes in the tree";

        // Neighbour links, forward from first and backward from last.
        std::vector<const Node *> forward;
        std::vector<const Node *> backward;
        if (!m_inOrder.empty()) {
            if (m_map.first->prev != nullptr || m_map.last->next != nullptr)
                return Fail() << "the ends have outer neighbours";
            for (const Node *n = m_map.first; n && forward.size() <= m_inOrder.size(); n = n->next)
                forward.push_back(n);
            for (const Node *n = m_map.last; n && backward.size() <= m_inOrder.size(); n = n->prev)
                backward.push_back(n);
            std::reverse(backward.begin(), backward.end());
        }
        if (forward != m_inOrder)
            return Fail() << "following next from first does not visit the entries in key order";
        if (backward != m_inOrder)
            return Fail() << "following prev from last does not visit the entries in reverse key order";

        if (m_map.cachedNode) {
            if (m_map.cachedIndex < 0 || m_map.cachedIndex >= m_map.count ||
                m_inOrder[m_map.cachedIndex] != m_map.cachedNode)
                return Fail() << "cachedNode is not the entry at cachedIndex " << m_map.cachedIndex;
        }

        // Every pool node is either in the tree or on the free list.
        std::set<const Node *> inTree(m_inOrder.begin(), m_inOrder.end());
        int freeNodes = 0;
        for (const Node *n = m_map.freeList; n; n = FreeLink(n)) {
            if (!InPool(m_map, n) || inTree.count(n))
                return Fail() << "the free list holds a node outside the pool or in use";
            if (++freeNodes > CountBlocks(m_map) * m_map.nodesPerBlock)
                return Fail() << "the free list runs in a circle";
        }
        if (freeNodes + m_map.count != CountBlocks(m_map) * m_map.nodesPerBlock)
            return Fail() << freeNodes << " free and " << m_map.count << " used nodes in " << CountBlocks(m_map)
                          << " blocks";
        return ::testing::AssertionSuccess();
    }

private:
    ::testing::AssertionResult Fail()
    {
        m_failure = ::testing::AssertionFailure();
        return m_failure;
    }

    // In-order walk checking links, colours and key bounds; sets the number
    // of black nodes on every path below node (the sentinel counted once).
    bool Walk(const Node *node, const int *lower, const int *upper, int *blackHeight)
    {
        const Node *sentinel = &m_map.sentinel;
        if (node == sentinel) {
            *blackHeight = 1;
            return true;
        }
        if (m_inOrder.size() > static_cast<size_t>(m_map.count)) {
            m_failure = ::testing::AssertionFailure() << "more nodes in the tree than count";
            return false;
        }
        if (!InPool(m_map, node)) {
            m_failure = ::testing::AssertionFailure() << "node " << node->key << " is not in the pool";
            return false;
        }
        if ((lower && node->key <= *lower) || (upper && node->key >= *upper)) {
            m_failure = ::testing::AssertionFailure() << "key " << node->key << " is out of order";
            return false;
        }
        if (node->color != IntMap::kRed && node->color != IntMap::kBlack) {
            m_failure = ::testing::AssertionFailure() << "node " << node->key << " has colour " << int(node->color);
            return false;
        }
        for (const Node *child : {node->left, node->right}) {
            if (child == sentinel)
                continue;
            if (child->parent != node) {
                m_failure = ::testing::AssertionFailure() << "child of " << node->key << " has another parent";
                return false;
            }
            if (node->color == IntMap::kRed && child->color == IntMap::kRed) {
                m_failure = ::testing::AssertionFailure() << "red node " << node->key << " has a red child";
                return false;
            }
        }
        int leftHeight;
        int rightHeight;
        if (!Walk(node->left, lower, &node->key, &leftHeight))
            return false;
        m_inOrder.push_back(node);
        if (!Walk(node->right, &node->key, upper, &rightHeight))
            return false;
        if (leftHeight != rightHeight) {
            m_failure = ::testing::AssertionFailure() << "black heights " << leftHeight << " and " << rightHeight
                                                     << " below " << node->key;
            return false;
        }
        *blackHeight = leftHeight + (node->color == IntMap::kBlack ? 1 : 0);
        return true;
    }

    const IntMap &m_map;
    std::vector<const Node *> m_inOrder;
    ::testing::AssertionResult m_failure = ::testing::AssertionSuccess();
};

::testing::AssertionResult IsValid(const IntMap &map) { return CValidator(map).Run(); }

std::vector<int> KeysForward(const IntMap &map)
{
    std::vector<int> keys;
    for (const Node *n = map.count ? map.first : nullptr; n; n = n->next)
        keys.push_back(n->key);
    return keys;
}

int Height(const IntMap &map, const Node *node)
{
    if (node == &map.sentinel)
        return 0;
    return 1 + std::max(Height(map, node->left), Height(map, node->right));
}

const Node *Find(const IntMap &map, int key)
{
    for (const Node *n = map.count ? map.first : nullptr; n; n = n->next) {
        if (n->key == key)
            return n;
    }
    return nullptr;
}

}  // namespace

TEST(MapTest, KeyComparisonIsSignedAndThreeWay)
{
    struct Case {
        int a;
        int b;
        int expected;
    };
    const Case cases[] = {
        {1, 2, -1}, {2, 1, 1}, {5, 5, 0}, {-1, 1, -1}, {INT_MIN, INT_MAX, -1}, {INT_MAX, INT_MIN, 1}, {0, -1, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SValue::Compare(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

TEST(MapTest, NodeLayoutKeepsTheKeyFirst)
{
    // A free node links to the next one through its first field.
    EXPECT_EQ(offsetof(Node, key), 0u);
    const size_t offsets[] = {offsetof(Node, key),  offsetof(Node, value), offsetof(Node, parent),
                              offsetof(Node, left), offsetof(Node, right), offsetof(Node, prev),
                              offsetof(Node, next), offsetof(Node, color)};
    EXPECT_TRUE(std::is_sorted(std::begin(offsets), std::end(offsets)));
    EXPECT_EQ(std::adjacent_find(std::begin(offsets), std::end(offsets)), std::end(offsets));
}

TEST(MapTest, NewMap)
{
    IntMap map;
    EXPECT_EQ(map.count, 0);
    EXPECT_EQ(map.modCount, 0);
    EXPECT_EQ(map.cachedIndex, -1);
    EXPECT_EQ(map.cachedNode, nullptr);
    EXPECT_EQ(map.blocks, nullptr);
    EXPECT_EQ(map.freeList, nullptr);
    EXPECT_EQ(map.root, &map.sentinel);
    EXPECT_EQ(map.first, nullptr);
    EXPECT_EQ(map.last, nullptr);
    EXPECT_FALSE(map.Lookup(0));
    EXPECT_FALSE(map.Lookup(-7));
    EXPECT_TRUE(IsValid(map));
}

TEST(MapTest, SmallExample)
{
    IntMap map;
    for (int key : {5, 3, 8, 1, 4}) {
        ASSERT_TRUE(map.Set(key, true));
        ASSERT_TRUE(IsValid(map)) << "after " << key;
    }
    EXPECT_EQ(map.first->key, 1);
    EXPECT_EQ(map.last->key, 8);
    EXPECT_EQ(KeysForward(map), (std::vector<int>{1, 3, 4, 5, 8}));
    EXPECT_EQ(map.root->key, 5);
    EXPECT_EQ(map.root->color, IntMap::kBlack);
    EXPECT_EQ(map.count, 5);
    EXPECT_EQ(map.modCount, 5);
    for (int key : {5, 3, 8, 1, 4})
        EXPECT_TRUE(map.Lookup(key)) << key;
    for (int key : {0, 2, 6, 9, -5})
        EXPECT_FALSE(map.Lookup(key)) << key;
}

TEST(MapTest, InsertionOrdersKeepTheTreeValid)
{
    struct Case {
        const char *name;
        std::vector<int> keys;
    };
    std::vector<Case> cases;
    std::vector<int> ascending(300), descending(300), zigzag;
    for (int i = 0; i < 300; ++i) {
        ascending[i] = i;
        descending[i] = 300 - i;
    }
    for (int i = 0; i < 150; ++i) {
        zigzag.push_back(i);
        zigzag.push_back(1000 - i);
    }
    cases.push_back({"ascending", ascending});
    cases.push_back({"descending", descending});
    cases.push_back({"zigzag", zigzag});
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> anyKey(-2000, 2000);
    std::vector<int> randomKeys(1500);  // many repeats in this range
    for (int &key : randomKeys)
        key = anyKey(random);
    cases.push_back({"random", randomKeys});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IntMap map;
        std::map<int, bool> expected;
        int added = 0;
        for (size_t i = 0; i < c.keys.size(); ++i) {
            int key = c.keys[i];
            bool value = (i % 3) != 0;
            added += expected.count(key) ? 0 : 1;
            expected[key] = value;
            ASSERT_TRUE(map.Set(key, value));
            ASSERT_TRUE(IsValid(map)) << "after setting " << key << " (step " << i << ")";
            ASSERT_EQ(map.modCount, added);
        }
        std::vector<int> keys;
        for (const auto &entry : expected) {
            keys.push_back(entry.first);
            const Node *node = Find(map, entry.first);
            ASSERT_NE(node, nullptr);
            EXPECT_EQ(node->value, entry.second) << "value of " << entry.first;
        }
        EXPECT_EQ(KeysForward(map), keys);
        for (int probe = -2100; probe <= 2100; probe += 7)
            ASSERT_EQ(map.Lookup(probe), expected.count(probe) == 1) << "lookup of " << probe;
    }
}

TEST(MapTest, ThousandAscendingKeysStayShallow)
{
    IntMap map;
    for (int key = 1; key <= 1000; ++key)
        ASSERT_TRUE(map.Set(key, true));
    EXPECT_TRUE(IsValid(map));
    EXPECT_EQ(map.count, 1000);
    EXPECT_LE(Height(map, map.root), 20);
    std::vector<int> keys(1000);
    for (int i = 0; i < 1000; ++i)
        keys[i] = i + 1;
    EXPECT_EQ(KeysForward(map), keys);
    EXPECT_EQ(CountBlocks(map), (1000 + 6) / 7);
}

TEST(MapTest, NegativeKeysOrderBelowPositiveOnes)
{
    IntMap map;
    for (int key : {3, -1, INT_MAX, 0, -100, INT_MIN, 1})
        ASSERT_TRUE(map.Set(key, true));
    EXPECT_TRUE(IsValid(map));
    EXPECT_EQ(KeysForward(map), (std::vector<int>{INT_MIN, -100, -1, 0, 1, 3, INT_MAX}));
    EXPECT_TRUE(map.Lookup(-100));
    EXPECT_TRUE(map.Lookup(INT_MIN));
    EXPECT_FALSE(map.Lookup(100));
}

TEST(MapTest, NodesComeFromBlocksOfSeven)
{
    IntMap map;
    ASSERT_TRUE(map.Set(10, true));
    EXPECT_EQ(CountBlocks(map), 1);
    IntMap::SBlock *firstBlock = map.blocks;
    for (int key = 11; key < 17; ++key)
        ASSERT_TRUE(map.Set(key, true));
    EXPECT_EQ(map.count, 7);
    EXPECT_EQ(CountBlocks(map), 1) << "7 keys fit in one block";
    EXPECT_EQ(map.freeList, nullptr);

    ASSERT_TRUE(map.Set(17, true));
    EXPECT_EQ(CountBlocks(map), 2) << "the 8th key takes a second block";
    EXPECT_NE(map.blocks, firstBlock);
    EXPECT_EQ(map.blocks->previous, firstBlock) << "the newest block links to the older one";
    EXPECT_TRUE(IsValid(map)) << "6 nodes of the new block are free";

    // Setting existing keys takes no nodes.
    for (int key = 10; key < 18; ++key)
        ASSERT_TRUE(map.Set(key, false));
    EXPECT_EQ(CountBlocks(map), 2);
    EXPECT_TRUE(IsValid(map));
}

TEST(MapTest, ReplacingAValueChangesNothingElse)
{
    IntMap map;
    for (int key : {5, 3, 8, 1, 4, 9, 7})
        ASSERT_TRUE(map.Set(key, true));
    std::vector<const Node *> before;
    for (const Node *n = map.first; n; n = n->next)
        before.push_back(n);
    const Node *root = map.root;
    int modCount = map.modCount;

    ASSERT_TRUE(map.Set(4, false));
    EXPECT_FALSE(Find(map, 4)->value);
    EXPECT_EQ(map.count, 7);
    EXPECT_EQ(map.modCount, modCount);
    EXPECT_EQ(map.root, root);
    std::vector<const Node *> after;
    for (const Node *n = map.first; n; n = n->next)
        after.push_back(n);
    EXPECT_EQ(after, before);
    EXPECT_TRUE(map.Lookup(4));
    EXPECT_TRUE(IsValid(map));
}

TEST(MapTest, CachedNodeFollowsItsPosition)
{
    IntMap map;
    for (int key : {10, 20, 30, 40})
        ASSERT_TRUE(map.Set(key, true));
    map.cachedIndex = 2;
    map.cachedNode = const_cast<Node *>(Find(map, 30));

    struct Step {
        int key;
        int cachedKey;  // the entry expected at position 2 afterwards
    };
    const Step steps[] = {
        {5, 20},   // smaller: everything moves up, position 2 is now 20
        {35, 20},  // greater: nothing moves
        {20, 20},  // existing key: nothing moves
        {1, 10},
        {15, 10},  // greater than the remembered 10: nothing moves
        {7, 7},
    };
    for (const Step &s : steps) {
        ASSERT_TRUE(map.Set(s.key, true));
        ASSERT_TRUE(IsValid(map)) << "after " << s.key;  // cachedNode is the entry at cachedIndex
        EXPECT_EQ(map.cachedIndex, 2);
        EXPECT_EQ(map.cachedNode->key, s.cachedKey) << "after " << s.key;
    }

    // Remembering the first entry: a new smallest key takes its place.
    map.cachedIndex = 0;
    map.cachedNode = map.first;
    ASSERT_TRUE(map.Set(-3, true));
    EXPECT_EQ(map.cachedNode->key, -3);
    EXPECT_TRUE(IsValid(map));
}

TEST(MapTest, SetFailsCleanlyWhenNoBlockCanBeAllocated)
{
    IntMap empty;
    bool set;
    {
        HeapHooks::CFailAllocations fail;
        set = empty.Set(1, true);
    }
    EXPECT_FALSE(set);
    EXPECT_EQ(empty.count, 0);
    EXPECT_EQ(empty.modCount, 0);
    EXPECT_EQ(empty.blocks, nullptr);
    EXPECT_EQ(empty.root, &empty.sentinel);
    EXPECT_FALSE(empty.Lookup(1));
    EXPECT_TRUE(IsValid(empty));

    IntMap full;
    for (int key = 0; key < 7; ++key)
        ASSERT_TRUE(full.Set(key, true));
    bool added;
    bool replaced;
    {
        HeapHooks::CFailAllocations fail;
        added = full.Set(100, true);
        replaced = full.Set(3, false);  // needs no node
    }
    EXPECT_FALSE(added);
    EXPECT_TRUE(replaced);
    EXPECT_FALSE(Find(full, 3)->value);
    EXPECT_EQ(full.count, 7);
    EXPECT_EQ(full.modCount, 7);
    EXPECT_EQ(CountBlocks(full), 1);
    EXPECT_FALSE(full.Lookup(100));
    EXPECT_TRUE(IsValid(full));

    // Once memory is back, the same key goes in.
    EXPECT_TRUE(full.Set(100, true));
    EXPECT_TRUE(full.Lookup(100));
    EXPECT_TRUE(IsValid(full));
}

TEST(MapTest, DestructionFreesEveryBlock)
{
    for (int entries : {0, 1, 7, 8, 50}) {
        SCOPED_TRACE(entries);
        alignas(IntMap) unsigned char storage[sizeof(IntMap)];
        IntMap *map = new (storage) IntMap;
        std::mt19937 random(entries);
        while (map->count < entries)
            ASSERT_TRUE(map->Set(static_cast<int>(random() % 1000), true));
        std::vector<const void *> blocks;
        for (const IntMap::SBlock *block = map->blocks; block; block = block->previous)
            blocks.push_back(block);
        EXPECT_EQ(static_cast<int>(blocks.size()), (entries + 6) / 7);

        HeapHooks::CRecordFrees frees;
        map->~IntMap();
        frees.Stop();
        ASSERT_EQ(frees.Count(), static_cast<int>(blocks.size())) << "exactly the pool blocks are freed";
        for (const void *block : blocks)
            EXPECT_TRUE(frees.Contains(block));
    }
}
