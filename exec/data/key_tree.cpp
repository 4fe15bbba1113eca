// The sorted key tree: an intrusive binary search tree over unsigned 32-bit keys that keeps equal
// keys in insertion order, balanced by the AVL rule until its first removal.
//
// Parent pointers are kept exact by fixing only the links that an insertion, a rotation or an
// unlink changes. Nothing here recurses, so a tree degenerated into a long chain by removals and
// plain insertions costs no stack.
#include "core/library.hpp"

namespace vantrel {

namespace {

constexpr uint32_t kInitId = 0x10008010;
constexpr uint32_t kInitNodeId = 0x10008020;
constexpr uint32_t kInsertId = 0x10008030;
constexpr uint32_t kRemoveId = 0x10008040;
constexpr uint32_t kFirstId = 0x10008050;
constexpr uint32_t kLastId = 0x10008060;
constexpr uint32_t kNextId = 0x10008070;
constexpr uint32_t kPrevId = 0x10008080;
constexpr uint32_t kFindId = 0x10008090;
constexpr uint32_t kCountId = 0x100080a0;
constexpr uint32_t kAvlInsertId = 0x100080b0;
constexpr uint32_t kPlainInsertId = 0x100080c0;
constexpr uint32_t kRotateRightId = 0x100080d0;
constexpr uint32_t kRotateLeftId = 0x100080e0;

void clear_cache(KeyTree* tree) {
    tree->cached_node = nullptr;
    tree->cached_key = 0;
    tree->cache_valid = 0;
}

KeyTreeNode* leftmost(KeyTreeNode* node) {
    while (node->left)
        node = node->left;
    return node;
}

KeyTreeNode* rightmost(KeyTreeNode* node) {
    while (node->right)
        node = node->right;
    return node;
}

// Rotations relink children only; the caller fixes the parents of what moved and hangs the new
// subtree root where the old one was.
KeyTreeNode* rotate_right(KeyTreeNode* node) {
    TraceScope trace(kRotateRightId);
    KeyTreeNode* left = node->left;
    node->left = left->right;
    left->right = node;
    return left;
}

KeyTreeNode* rotate_left(KeyTreeNode* node) {
    TraceScope trace(kRotateLeftId);
    KeyTreeNode* right = node->right;
    node->right = right->left;
    right->left = node;
    return right;
}

void adopt_children(KeyTreeNode* node) {
    if (node->left) node->left->parent = node;
    if (node->right) node->right->parent = node;
}

void plain_insert(KeyTree* tree, KeyTreeNode* node) {
    TraceScope trace(kPlainInsertId);
    node->left = node->right = node->parent = nullptr;
    KeyTreeNode* last = nullptr;
    bool go_left = false;
    for (KeyTreeNode* at = tree->root; at; at = go_left ? at->left : at->right) {
        last = at;
        go_left = node->key < at->key;
    }
    if (!last) {
        tree->root = node;
        return;
    }
    (go_left ? last->left : last->right) = node;
    node->parent = last;
}

// One top-down pass with a single rebalancing point S (the deepest node on the path with a
// non-zero balance), as in the classic algorithm.
void avl_insert(KeyTree* tree, KeyTreeNode* node) {
    TraceScope trace(kAvlInsertId);
    node->parent = node->left = node->right = nullptr;
    node->balance = 0;
    const uint32_t key = node->key;
    if (!tree->root) {
        tree->root = node;
        return;
    }
    trace.step(1);
    KeyTreeNode* s = tree->root;
    KeyTreeNode* t = nullptr;
    KeyTreeNode* q = tree->root;
    for (KeyTreeNode* at = tree->root;;) {
        q = at;
        KeyTreeNode* next = key < at->key ? at->left : at->right;
        if (!next) break;
        if (next->balance != 0) {
            t = at;
            s = next;
        }
        at = next;
    }
    trace.step(2);
    trace.step(3);
    (q->key > key ? q->left : q->right) = node;
    node->parent = q;

    KeyTreeNode* r = key < s->key ? s->left : s->right;
    trace.step(4);
    for (KeyTreeNode* at = r; at != node;) {
        if (key < at->key) {
            at->balance = 1;
            at = at->left;
        } else {
            at->balance = -1;
            at = at->right;
        }
    }
    trace.step(5);
    const int16_t a = key < s->key ? 1 : -1;
    trace.step(6);
    if (s->balance == 0) {
        s->balance = a;
    } else if (s->balance == -a) {
        s->balance = 0;
    } else {
        KeyTreeNode* top;
        if (r->balance == a) {
            top = a == 1 ? rotate_right(s) : rotate_left(s);
            s->balance = r->balance = 0;
        } else {
            KeyTreeNode* x = a == 1 ? r->right : r->left;
            if (a == 1) {
                rotate_left(r);
                s->left = x;
                top = rotate_right(s);
            } else {
                s->right = x;
                rotate_right(r);
                top = rotate_left(s);
            }
            if (x->balance == 0) {
                s->balance = r->balance = 0;
            } else if (x->balance == a) {
                s->balance = static_cast<int16_t>(-a);
                r->balance = 0;
            } else {
                s->balance = 0;
                r->balance = a;
            }
            x->balance = 0;
        }
        if (!t)
            tree->root = top;
        else if (t->right == s)
            t->right = top;
        else
            t->left = top;
        // Only the rotated nodes and the subtrees they swapped changed parents.
        top->parent = t;
        adopt_children(top);
        if (top->left) adopt_children(top->left);
        if (top->right) adopt_children(top->right);
    }
    trace.step(15);
}

} // namespace

} // namespace vantrel

using vantrel::EventLockAll;
using vantrel::TraceScope;

extern "C" {

void EXEC_TREEInit(KeyTree* tree) {
    TraceScope trace(vantrel::kInitId);
    if (!tree) return;
    EventLockAll lock;
    tree->root = nullptr;
    vantrel::clear_cache(tree);
    tree->balanced = 1;
    tree->count = 0;
}

void EXEC_TREEInitNode(KeyTreeNode* node, uint32_t key) {
    TraceScope trace(vantrel::kInitNodeId);
    if (!node) return;
    node->parent = node->left = node->right = nullptr;
    node->key = key;
}

void EXEC_TREEInsert(KeyTree* tree, KeyTreeNode* node) {
    TraceScope trace(vantrel::kInsertId);
    if (!tree || !node) return;
    EventLockAll lock;
    vantrel::clear_cache(tree);
    if (tree->balanced == 1)
        vantrel::avl_insert(tree, node);
    else
        vantrel::plain_insert(tree, node);
    ++tree->count;
}

// Unlinks without rebalancing; balance factors are no longer kept, so the tree is plain from now
// on.
void EXEC_TREERemove(KeyTree* tree, KeyTreeNode* node) {
    TraceScope trace(vantrel::kRemoveId);
    if (!tree || !node) return;
    EventLockAll lock;
    vantrel::clear_cache(tree);
    tree->balanced = 0;
    if (node->right) {
        if (node->left) {
            KeyTreeNode* largest = vantrel::rightmost(node->left);
            largest->right = node->right;
            node->right->parent = largest;
        } else {
            node->left = node->right;
        }
        node->right = nullptr;
    }
    KeyTreeNode* child = node->left;
    if (child) child->parent = node->parent;
    if (KeyTreeNode* parent = node->parent) {
        if (parent->left == node) parent->left = child;
        if (parent->right == node) parent->right = child;
    } else {
        tree->root = child;
    }
    node->parent = node->left = node->right = nullptr;
    --tree->count;
}

KeyTreeNode* EXEC_TREEFirst(KeyTree* tree) {
    TraceScope trace(vantrel::kFirstId);
    if (!tree) return nullptr;
    EventLockAll lock;
    return tree->root ? vantrel::leftmost(tree->root) : nullptr;
}

KeyTreeNode* EXEC_TREELast(KeyTree* tree) {
    TraceScope trace(vantrel::kLastId);
    if (!tree) return nullptr;
    EventLockAll lock;
    return tree->root ? vantrel::rightmost(tree->root) : nullptr;
}

KeyTreeNode* EXEC_TREENext(KeyTreeNode* node) {
    TraceScope trace(vantrel::kNextId);
    if (!node) return nullptr;
    EventLockAll lock;
    if (node->right) return vantrel::leftmost(node->right);
    for (KeyTreeNode* at = node; at->parent; at = at->parent)
        if (at->parent->right != at) return at->parent;
    return nullptr;
}

KeyTreeNode* EXEC_TREEPrev(KeyTreeNode* node) {
    TraceScope trace(vantrel::kPrevId);
    if (!node) return nullptr;
    EventLockAll lock;
    if (node->left) return vantrel::rightmost(node->left);
    for (KeyTreeNode* at = node; at->parent; at = at->parent)
        if (at->parent->left != at) return at->parent;
    return nullptr;
}

KeyTreeNode* EXEC_TREEFind(KeyTree* tree, uint32_t key) {
    TraceScope trace(vantrel::kFindId);
    if (!tree) return nullptr;
    EventLockAll lock;
    trace.step(1);
    if (tree->cache_valid && tree->cached_key == key) {
        trace.step(2);
        return tree->cached_node;
    }
    trace.step(3);
    KeyTreeNode* found = nullptr;
    for (KeyTreeNode* at = tree->root; at;) {
        trace.step(4);
        if (at->key == key) {
            trace.step(5);
            found = at;
            break;
        }
        trace.step(6);
        at = key < at->key ? at->left : at->right;
        trace.step(7);
    }
    trace.step(14);
    tree->cache_valid = 1;
    tree->cached_key = key;
    tree->cached_node = found;
    trace.step(15);
    return found;
}

uint32_t EXEC_TREECount(KeyTree* tree) {
    TraceScope trace(vantrel::kCountId);
    if (!tree) return 0;
    EventLockAll lock;
    return tree->count;
}

} // extern "C"
