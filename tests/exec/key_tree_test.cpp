// The sorted key tree: shape after AVL insertion, stable order of equal keys, removal, the lookup
// cache, locks and function ids, and trees too deep for any recursion.
#include "core/library.hpp"
#include "exec_fixture.hpp"

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace vantrel::testing {
namespace {

struct Item {
    KeyTreeNode node;
    uint32_t order; // insertion order, to see that equal keys keep it
};

struct Shape {
    uint32_t key;
    int16_t balance;
    uint32_t left_key;  // 0: no child
    uint32_t right_key; // 0: no child
};

uint32_t key_of(const KeyTreeNode* n) {
    return n ? n->key : 0;
}

class KeyTreeTest : public ExecTest {
  protected:
    void SetUp() override {
        ExecTest::SetUp();
        exec_->EXEC_TREEInit(&tree_);
    }

    Item* add(uint32_t key) {
        items_.push_back(std::make_unique<Item>());
        Item* item = items_.back().get();
        item->order = static_cast<uint32_t>(items_.size());
        exec_->EXEC_TREEInitNode(&item->node, key);
        exec_->EXEC_TREEInsert(&tree_, &item->node);
        return item;
    }
    static const Item* item(const KeyTreeNode* n) { return reinterpret_cast<const Item*>(n); }

    Shape shape(const KeyTreeNode* n) {
        return {n->key, int16_t{n->balance}, key_of(n->left), key_of(n->right)};
    }

    // Walks the whole tree without recursion and checks what every service must leave behind:
    // exact parents, keys in order with equal keys in insertion order, the count and, while the
    // tree is balanced, exact balance factors. Returns the keys in order.
    std::vector<uint32_t> check() {
        std::vector<uint32_t> keys;
        if (tree_.root) {
            EXPECT_EQ(tree_.root->parent, nullptr);
        }
        std::vector<KeyTreeNode*> stack;
        const Item* previous = nullptr;
        for (KeyTreeNode* at = tree_.root; at || !stack.empty();) {
            while (at) {
                if (at->left) {
                    EXPECT_EQ(at->left->parent, at) << "left child of " << at->key;
                }
                if (at->right) {
                    EXPECT_EQ(at->right->parent, at) << "right child of " << at->key;
                }
                stack.push_back(at);
                at = at->left;
            }
            at = stack.back();
            stack.pop_back();
            const Item* it = item(at);
            if (previous) {
                EXPECT_LE(previous->node.key, at->key);
                if (previous->node.key == at->key) {
                    EXPECT_LT(previous->order, it->order);
                }
            }
            previous = it;
            keys.push_back(at->key);
            at = at->right;
        }
        EXPECT_EQ(tree_.count, keys.size());
        if (tree_.balanced) check_heights(tree_.root);
        return keys;
    }

    // Height of a subtree, checking balance factors on the way (recursion is fine: balanced).
    int check_heights(const KeyTreeNode* n) {
        if (!n) return 0;
        const int left = check_heights(n->left);
        const int right = check_heights(n->right);
        EXPECT_EQ(n->balance, left - right) << "balance of " << n->key;
        return 1 + std::max(left, right);
    }

    std::vector<uint32_t> walk_forward() {
        std::vector<uint32_t> keys;
        for (KeyTreeNode* n = exec_->EXEC_TREEFirst(&tree_); n; n = exec_->EXEC_TREENext(n))
            keys.push_back(n->key);
        return keys;
    }
    std::vector<uint32_t> walk_backward() {
        std::vector<uint32_t> keys;
        for (KeyTreeNode* n = exec_->EXEC_TREELast(&tree_); n; n = exec_->EXEC_TREEPrev(n))
            keys.push_back(n->key);
        return keys;
    }

    KeyTree tree_{};
    std::vector<std::unique_ptr<Item>> items_;
};

bool operator==(const Shape& a, const Shape& b) {
    return a.key == b.key && a.balance == b.balance && a.left_key == b.left_key &&
           a.right_key == b.right_key;
}
std::ostream& operator<<(std::ostream& out, const Shape& s) {
    return out << "{" << s.key << " bal " << s.balance << " L" << s.left_key << " R" << s.right_key
               << "}";
}

TEST_F(KeyTreeTest, InitGivesAnEmptyBalancedTree) {
    tree_.count = 9;
    tree_.cache_valid = 1;
    exec_->EXEC_TREEInit(&tree_);
    EXPECT_EQ(tree_.root, nullptr);
    EXPECT_EQ(tree_.cached_node, nullptr);
    EXPECT_EQ(tree_.cache_valid, 0);
    EXPECT_EQ(tree_.balanced, 1);
    EXPECT_EQ(exec_->EXEC_TREECount(&tree_), 0u);
    EXPECT_EQ(exec_->EXEC_TREEFirst(&tree_), nullptr);
    EXPECT_EQ(exec_->EXEC_TREELast(&tree_), nullptr);
}

TEST_F(KeyTreeTest, AscendingOneToSevenIsPerfectlyBalanced) {
    for (uint32_t k = 1; k <= 7; ++k)
        add(k);
    check();
    EXPECT_EQ(shape(tree_.root), (Shape{4, 0, 2, 6}));
    EXPECT_EQ(shape(tree_.root->left), (Shape{2, 0, 1, 3}));
    EXPECT_EQ(shape(tree_.root->right), (Shape{6, 0, 5, 7}));
    EXPECT_EQ(exec_->EXEC_TREECount(&tree_), 7u);
}

TEST_F(KeyTreeTest, DoubleRotationsOnBothSides) {
    add(3);
    add(1);
    add(2); // left-right case
    check();
    EXPECT_EQ(shape(tree_.root), (Shape{2, 0, 1, 3}));

    exec_->EXEC_TREEInit(&tree_);
    add(1);
    add(3);
    add(2); // right-left case
    check();
    EXPECT_EQ(shape(tree_.root), (Shape{2, 0, 1, 3}));
}

TEST_F(KeyTreeTest, DoubleRotationBelowTheRootSetsBalancesByTheMiddleNode) {
    // 50 / (20 80) / (10 30) then 25 makes 20 the rebalancing point under 50... as the left-right
    // case one level down with a non-zero middle balance.
    for (uint32_t k : {50, 20, 80, 10, 30, 90, 25})
        add(k);
    check();
    for (uint32_t k : {27, 26})
        add(k);
    EXPECT_EQ(check(), (std::vector<uint32_t>{10, 20, 25, 26, 27, 30, 50, 80, 90}));
}

TEST_F(KeyTreeTest, EqualKeysComeOutInInsertionOrder) {
    Item* a = add(5);
    Item* b = add(5);
    Item* c = add(5);
    KeyTreeNode* n = exec_->EXEC_TREEFirst(&tree_);
    EXPECT_EQ(n, &a->node);
    n = exec_->EXEC_TREENext(n);
    EXPECT_EQ(n, &b->node);
    n = exec_->EXEC_TREENext(n);
    EXPECT_EQ(n, &c->node);
    EXPECT_EQ(exec_->EXEC_TREENext(n), nullptr);
    EXPECT_EQ(exec_->EXEC_TREELast(&tree_), &c->node);
    EXPECT_EQ(exec_->EXEC_TREEPrev(&a->node), nullptr);
    EXPECT_EQ(exec_->EXEC_TREECount(&tree_), 3u);
}

TEST_F(KeyTreeTest, RandomInsertsKeepOrderParentsAndBalance) {
    std::mt19937 random(7);
    std::vector<uint32_t> expected;
    for (int i = 0; i < 3000; ++i) {
        // Few distinct keys, so that rotations move runs of equal keys; some at the extremes.
        uint32_t key = i % 97 == 0 ? UINT32_MAX : random() % 300;
        add(key);
        expected.push_back(key);
        if (i % 100 == 0) check();
    }
    std::stable_sort(expected.begin(), expected.end());
    EXPECT_EQ(check(), expected);
    EXPECT_EQ(walk_forward(), expected);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(walk_backward(), expected);
}

TEST_F(KeyTreeTest, RemovingTheRootHangsTheRightSubtreeUnderTheLargestOnTheLeft) {
    for (uint32_t k = 1; k <= 7; ++k)
        add(k);
    KeyTreeNode* old_root = tree_.root;
    exec_->EXEC_TREERemove(&tree_, old_root);
    EXPECT_EQ(tree_.balanced, 0);
    EXPECT_EQ(old_root->left, nullptr);
    EXPECT_EQ(old_root->right, nullptr);
    EXPECT_EQ(old_root->parent, nullptr);
    ASSERT_EQ(key_of(tree_.root), 2u);
    EXPECT_EQ(key_of(tree_.root->right), 3u);
    EXPECT_EQ(key_of(tree_.root->right->right), 6u);
    EXPECT_EQ(check(), (std::vector<uint32_t>{1, 2, 3, 5, 6, 7}));
}

TEST_F(KeyTreeTest, RemovalCoversEveryLinkCase) {
    // Leaf, node with only a right subtree, node with only a left one, inner node: each unlinked
    // from both sides of its parent.
    for (uint32_t k : {40, 20, 60, 10, 30, 50, 70, 5, 35, 65})
        add(k);
    auto find = [&](uint32_t key) { return exec_->EXEC_TREEFind(&tree_, key); };
    for (uint32_t k : {5, 50, 10, 60, 40, 35, 20}) {
        exec_->EXEC_TREERemove(&tree_, find(k));
        check();
    }
    EXPECT_EQ(walk_forward(), (std::vector<uint32_t>{30, 65, 70}));
    EXPECT_EQ(walk_backward(), (std::vector<uint32_t>{70, 65, 30}));
}

TEST_F(KeyTreeTest, AfterRemovalInsertionIsPlainForGood) {
    for (uint32_t k : {1, 2, 3})
        add(k);
    while (KeyTreeNode* first = exec_->EXEC_TREEFirst(&tree_))
        exec_->EXEC_TREERemove(&tree_, first);
    EXPECT_EQ(exec_->EXEC_TREECount(&tree_), 0u);
    EXPECT_EQ(tree_.root, nullptr);
    for (uint32_t k : {10, 11, 12, 13})
        add(k);
    // A chain of right links: no rotation.
    KeyTreeNode* n = tree_.root;
    for (uint32_t k : {10, 11, 12, 13}) {
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(n->key, k);
        EXPECT_EQ(n->left, nullptr);
        n = n->right;
    }
    EXPECT_EQ(tree_.balanced, 0);
    check();
}

TEST_F(KeyTreeTest, RandomInsertsAndRemovalsKeepOrderAndParents) {
    std::mt19937 random(11);
    std::vector<Item*> in_tree;
    for (int round = 0; round < 4000; ++round) {
        if (in_tree.empty() || random() % 3 != 0) {
            in_tree.push_back(add(random() % 50));
        } else {
            size_t pick = random() % in_tree.size();
            exec_->EXEC_TREERemove(&tree_, &in_tree[pick]->node);
            in_tree.erase(in_tree.begin() + static_cast<std::ptrdiff_t>(pick));
        }
        if (round % 200 == 0) check();
    }
    std::vector<uint32_t> expected;
    std::vector<Item*> sorted = in_tree;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Item* a, const Item* b) { return a->order < b->order; });
    for (Item* it : sorted)
        expected.push_back(it->node.key);
    std::stable_sort(expected.begin(), expected.end());
    EXPECT_EQ(check(), expected);
    EXPECT_EQ(walk_forward(), expected);
}

TEST_F(KeyTreeTest, FindCachesHitsAndMissesUntilTheNextChange) {
    for (uint32_t k : {4, 2, 6})
        add(k);
    EXPECT_EQ(exec_->EXEC_TREEFind(&tree_, 9), nullptr);
    EXPECT_EQ(tree_.cache_valid, 1);
    EXPECT_EQ(tree_.cached_key, 9u);
    EXPECT_EQ(exec_->EXEC_TREEFind(&tree_, 9), nullptr);

    KeyTreeNode* six = exec_->EXEC_TREEFind(&tree_, 6);
    ASSERT_NE(six, nullptr);
    // A key rewritten in place is not noticed: the repeated lookup is answered from the cache.
    six->key = 7;
    EXPECT_EQ(exec_->EXEC_TREEFind(&tree_, 6), six);
    six->key = 6;

    Item* nine = add(9);
    EXPECT_EQ(tree_.cache_valid, 0);
    EXPECT_EQ(tree_.cached_node, nullptr);
    EXPECT_EQ(exec_->EXEC_TREEFind(&tree_, 9), &nine->node);
    exec_->EXEC_TREERemove(&tree_, &nine->node);
    EXPECT_EQ(tree_.cache_valid, 0);
    EXPECT_EQ(exec_->EXEC_TREEFind(&tree_, 9), nullptr);
}

TEST_F(KeyTreeTest, FindReturnsTheFirstEqualKeyOnThePath) {
    for (uint32_t k : {5, 5, 5})
        add(k);
    // The middle one became the root by rotation; it is met first.
    EXPECT_EQ(exec_->EXEC_TREEFind(&tree_, 5), tree_.root);
    EXPECT_EQ(item(tree_.root)->order, 2u);
}

TEST_F(KeyTreeTest, NullArgumentsDoNothing) {
    exec_->EXEC_TREEInit(nullptr);
    exec_->EXEC_TREEInitNode(nullptr, 3);
    exec_->EXEC_TREEInsert(nullptr, nullptr);
    exec_->EXEC_TREEInsert(&tree_, nullptr);
    exec_->EXEC_TREERemove(&tree_, nullptr);
    EXPECT_EQ(exec_->EXEC_TREEFirst(nullptr), nullptr);
    EXPECT_EQ(exec_->EXEC_TREELast(nullptr), nullptr);
    EXPECT_EQ(exec_->EXEC_TREENext(nullptr), nullptr);
    EXPECT_EQ(exec_->EXEC_TREEPrev(nullptr), nullptr);
    EXPECT_EQ(exec_->EXEC_TREEFind(nullptr, 1), nullptr);
    EXPECT_EQ(exec_->EXEC_TREECount(nullptr), 0u);
    EXPECT_EQ(tree_.count, 0u);
    EXPECT_EQ(depth(), 0);
}

// The service that holds the event lock, seen from inside the lock.
std::vector<uint32_t> g_locked_by;
EXEC_EVENTLockFn g_real_lock;
void recording_lock(uint16_t source) {
    EXPECT_EQ(source, EXEC_EVENT_ALL);
    ExecTable* t = state().table;
    g_locked_by.push_back(t->function_stack[*t->function_depth]);
    g_real_lock(source);
}

TEST_F(KeyTreeTest, EveryServiceButInitNodeRunsUnderTheEventLockWithItsId) {
    Item* a = add(1);
    g_real_lock = exec_->EXEC_EVENTLock;
    exec_->EXEC_EVENTLock = recording_lock;
    g_locked_by.clear();
    KeyTree other{};
    exec_->EXEC_TREEInit(&other);
    Item b{};
    exec_->EXEC_TREEInitNode(&b.node, 2);
    exec_->EXEC_TREEInsert(&tree_, &b.node);
    exec_->EXEC_TREEFirst(&tree_);
    exec_->EXEC_TREELast(&tree_);
    exec_->EXEC_TREENext(&a->node);
    exec_->EXEC_TREEPrev(&b.node);
    exec_->EXEC_TREEFind(&tree_, 2);
    exec_->EXEC_TREECount(&tree_);
    exec_->EXEC_TREERemove(&tree_, &b.node);
    exec_->EXEC_EVENTLock = g_real_lock;
    // Find marks its progress in the low bits while it holds the lock.
    EXPECT_EQ(g_locked_by,
              (std::vector<uint32_t>{0x10008010, 0x10008030, 0x10008050, 0x10008060, 0x10008070,
                                     0x10008080, 0x10008090, 0x100080a0, 0x10008040}));
    EXPECT_EQ(depth(), 0);
    for (const EventSource& e : exec_->events)
        EXPECT_EQ(int16_t{e.lock_count}, 0);
}

// Trees that have degenerated into chains are as deep as they are long; no service may need
// stack in proportion. A removal has turned balancing off; the chain is linked by hand because
// building it by plain insertion would take n²/2 steps.
TEST_F(KeyTreeTest, AMillionDeepChainWorksWithoutRecursion) {
    constexpr uint32_t kNodes = 1'000'000;
    std::vector<Item> chain(kNodes);
    for (uint32_t i = 0; i < kNodes; ++i) {
        KeyTreeNode& n = chain[i].node;
        exec_->EXEC_TREEInitNode(&n, 2 * i);
        chain[i].order = i;
        n.parent = i ? &chain[i - 1].node : nullptr;
        if (i) chain[i - 1].node.right = &n;
    }
    tree_.root = &chain[0].node;
    tree_.count = kNodes;
    tree_.balanced = 0;

    Item extra{};
    exec_->EXEC_TREEInitNode(&extra.node, 2 * kNodes - 3); // between the last two
    extra.order = kNodes;
    exec_->EXEC_TREEInsert(&tree_, &extra.node);
    EXPECT_EQ(extra.node.parent, &chain[kNodes - 1].node);
    EXPECT_EQ(chain[kNodes - 1].node.left, &extra.node);

    exec_->EXEC_TREERemove(&tree_, &chain[kNodes / 2].node);
    EXPECT_EQ(chain[kNodes / 2 + 1].node.parent, &chain[kNodes / 2 - 1].node);
    EXPECT_EQ(exec_->EXEC_TREEFind(&tree_, 2 * (kNodes - 2)), &chain[kNodes - 2].node);
    EXPECT_EQ(exec_->EXEC_TREECount(&tree_), kNodes);

    uint32_t walked = 0;
    uint32_t last_key = 0;
    for (KeyTreeNode* n = exec_->EXEC_TREEFirst(&tree_); n; n = exec_->EXEC_TREENext(n)) {
        EXPECT_GE(n->key, last_key);
        last_key = n->key;
        ++walked;
    }
    EXPECT_EQ(walked, kNodes);
    EXPECT_EQ(check().size(), kNodes);
    EXPECT_EQ(exec_->EXEC_TREEPrev(exec_->EXEC_TREELast(&tree_)), &extra.node);
}

} // namespace
} // namespace vantrel::testing
