// CMap: an ordered map, a red-black tree whose nodes are also linked in
// ascending key order (prev/next, first/last). Nodes come from a pool that is
// allocated from the C heap 7 at a time and never move; they are given back
// only when the map is destroyed. Keys and values are plain values: copied by
// assignment, never destroyed. The fields are public so that tests can check
// the tree; they are for reading only.
#pragma once

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "simple/semantics.h"

namespace Simple {

// K is the key type, V the value type, KeySemantics compares keys three ways
// (1, 0, -1), ArgK is the type a key is passed as. ValueSemantics names how
// values are held; this map holds plain values only, whatever it names.
template <typename K, typename V, typename KeySemantics, typename ValueSemantics, typename ArgK>
class CMap {
public:
    struct SNode {
        K key;  // while the node is free, its first bytes link to the next free node
        V value;
        SNode *parent;  // null for the root
        SNode *left;    // the map's sentinel where there is no child
        SNode *right;
        SNode *prev;  // neighbours in ascending key order; null at either end
        SNode *next;
        unsigned char color;  // kRed or kBlack
    };

    // A pool block: this link word, then nodesPerBlock nodes.
    struct SBlock {
        SBlock *previous;  // the block allocated before this one, or null
    };

    static constexpr unsigned char kBlack = 0;
    static constexpr unsigned char kRed = 1;

    SBlock *blocks;      // the most recently allocated pool block, or null
    SNode *freeList;     // first free node of the pool, or null
    int count;           // entries, which are the nodes in use
    int nodesPerBlock;   // 7
    SNode *root;         // &sentinel while the map is empty
    SNode *first;        // entry with the smallest key, null while empty
    SNode *last;         // entry with the largest key, null while empty
    SNode sentinel;      // every missing child; left = right = itself, parent null, black
    int cachedIndex;     // a remembered position in key order, or -1
    SNode *cachedNode;   // the entry at cachedIndex, or null
    int modCount;        // entries added since construction

    CMap()
        : blocks(nullptr), freeList(nullptr), count(0), nodesPerBlock(7), root(&sentinel),
          first(nullptr), last(nullptr), cachedIndex(-1), cachedNode(nullptr), modCount(0)
    {
        sentinel.parent = nullptr;
        sentinel.left = &sentinel;
        sentinel.right = &sentinel;
        sentinel.prev = nullptr;
        sentinel.next = nullptr;
        sentinel.color = kBlack;
    }
    // The sentinel lives inside the map, so a map cannot be copied or moved.
    CMap(const CMap &) = delete;
    CMap &operator=(const CMap &) = delete;

    // Gives every node back to the pool in post-order and frees every block.
    virtual ~CMap()
    {
        if (root != &sentinel)
            ReturnSubtree(root);
        FreeBlocks();
    }

    int GetCount() const { return count; }

    // Whether an entry with this key exists.
    bool Lookup(ArgK key) const
    {
        const K &wanted = key;
        const SNode *node = root;
        while (node != &sentinel) {
            int order = KeySemantics::Compare(wanted, node->key);
            if (order == 0)
                return true;
            node = order < 0 ? node->left : node->right;
        }
        return false;
    }

    // Adds an entry, or replaces the value of the entry with an equal key
    // (then nothing else changes: not count, not the links, not modCount).
    // Returns false when a pool block cannot be allocated; the map is then
    // unchanged.
    bool Set(ArgK key, const V &value)
    {
        const K &wanted = key;
        SNode *parent = nullptr;
        bool toLeft = false;
        for (SNode *node = root; node != &sentinel;) {
            int order = KeySemantics::Compare(wanted, node->key);
            if (order == 0) {
                node->value = value;
                node->key = wanted;
                return true;
            }
            parent = node;
            toLeft = order < 0;
            node = toLeft ? node->left : node->right;
        }

        SNode *node = TakeNode();
        if (!node)
            return false;
        node->left = &sentinel;
        node->right = &sentinel;
        node->parent = parent;
        node->color = kRed;
        node->value = value;
        node->key = wanted;

        if (!parent) {
            root = node;
            node->prev = nullptr;
            node->next = nullptr;
        } else if (toLeft) {
            parent->left = node;
            node->next = parent;
            node->prev = parent->prev;
        } else {
            parent->right = node;
            node->prev = parent;
            node->next = parent->next;
        }
        if (node->prev)
            node->prev->next = node;
        else
            first = node;
        if (node->next)
            node->next->prev = node;
        else
            last = node;

        // Every entry from the new one onward moved up one position, so the
        // entry now at cachedIndex is the remembered one's predecessor.
        if (cachedNode && KeySemantics::Compare(wanted, cachedNode->key) < 0)
            cachedNode = cachedNode->prev;

        Rebalance(node);
        ++modCount;
        return true;
    }

private:
    // Offset of the first node in a block: the link word, rounded up to the
    // nodes' alignment.
    static size_t NodesOffset() { return (sizeof(SBlock) + alignof(SNode) - 1) / alignof(SNode) * alignof(SNode); }

    static SNode *FreeLink(SNode *node)
    {
        SNode *next;
        memcpy(&next, node, sizeof next);
        return next;
    }
    static void SetFreeLink(SNode *node, SNode *next) { memcpy(node, &next, sizeof next); }

    // Takes a node from the free list, allocating a pool block when it is
    // empty. Returns null when the block cannot be allocated.
    SNode *TakeNode()
    {
        if (!freeList) {
            SBlock *block = static_cast<SBlock *>(malloc(NodesOffset() + nodesPerBlock * sizeof(SNode)));
            if (!block)
                return nullptr;
            block->previous = blocks;
            blocks = block;
            SNode *nodes = reinterpret_cast<SNode *>(reinterpret_cast<char *>(block) + NodesOffset());
            for (int i = 0; i < nodesPerBlock; ++i)
                SetFreeLink(&nodes[i], i + 1 < nodesPerBlock ? &nodes[i + 1] : nullptr);
            freeList = nodes;
        }
        SNode *node = freeList;
        freeList = FreeLink(node);
        ++count;
        return node;
    }

    // Gives a node back to the pool; the last node in use takes every block
    // with it.
    void ReturnNode(SNode *node)
    {
        if (count == 1) {
            FreeBlocks();
            return;
        }
        SetFreeLink(node, freeList);
        freeList = node;
        --count;
    }

    // Returns a subtree in post-order. The depth is the height of the tree,
    // at most about 2 log2(count + 1).
    void ReturnSubtree(SNode *node)
    {
        if (node->left != &sentinel)
            ReturnSubtree(node->left);
        if (node->right != &sentinel)
            ReturnSubtree(node->right);
        ReturnNode(node);
    }

    void FreeBlocks()
    {
        while (blocks) {
            SBlock *previous = blocks->previous;
            free(blocks);
            blocks = previous;
        }
        freeList = nullptr;
        count = 0;
    }

    void RotateLeft(SNode *x)
    {
        SNode *y = x->right;
        x->right = y->left;
        y->left->parent = x;
        y->parent = x->parent;
        if (!x->parent)
            root = y;
        else if (x == x->parent->left)
            x->parent->left = y;
        else
            x->parent->right = y;
        y->left = x;
        x->parent = y;
        sentinel.parent = nullptr;
    }

    void RotateRight(SNode *x)
    {
        SNode *y = x->left;
        x->left = y->right;
        y->right->parent = x;
        y->parent = x->parent;
        if (!x->parent)
            root = y;
        else if (x == x->parent->right)
            x->parent->right = y;
        else
            x->parent->left = y;
        y->right = x;
        x->parent = y;
        sentinel.parent = nullptr;
    }

    // Restores the red-black rules after x was attached red. The sentinel
    // counts as black and is never recoloured: an uncle that is red is a node.
    void Rebalance(SNode *x)
    {
        while (x != root && x->parent->color == kRed) {
            SNode *grand = x->parent->parent;
            if (x->parent == grand->left) {
                SNode *uncle = grand->right;
                if (uncle->color == kRed) {
                    x->parent->color = kBlack;
                    uncle->color = kBlack;
                    grand->color = kRed;
                    x = grand;
                } else {
                    if (x == x->parent->right) {
                        x = x->parent;
                        RotateLeft(x);
                    }
                    x->parent->color = kBlack;
                    x->parent->parent->color = kRed;
                    RotateRight(x->parent->parent);
                }
            } else {
                SNode *uncle = grand->left;
                if (uncle->color == kRed) {
                    x->parent->color = kBlack;
                    uncle->color = kBlack;
                    grand->color = kRed;
                    x = grand;
                } else {
                    if (x == x->parent->left) {
                        x = x->parent;
                        RotateRight(x);
                    }
                    x->parent->color = kBlack;
                    x->parent->parent->color = kRed;
                    RotateLeft(x->parent->parent);
                }
            }
        }
        root->color = kBlack;
    }
};

}  // namespace Simple
