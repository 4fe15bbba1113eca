// Lists, event source locks and interrupt nesting.
#include "core/library.hpp"
#include "exec_fixture.hpp"

#include <pcplat/cpu.h>

#include <vector>

namespace vantrel::testing {
namespace {

struct Item {
    ExecNode node;
    int key;
};

int16_t by_key(ExecNode* a, ExecNode* b) {
    return static_cast<int16_t>(reinterpret_cast<Item*>(a)->key - reinterpret_cast<Item*>(b)->key);
}
int16_t always_after(ExecNode*, ExecNode*) {
    return 1;
}

using Keys = std::vector<int>;
using Counts = std::vector<int16_t>;

class ListTest : public ExecTest {
  protected:
    void SetUp() override {
        ExecTest::SetUp();
        exec_->EXEC_LISTInit(&list_, EXEC_LIST_UNORDERED, nullptr);
    }
    // Keys head to tail, checking back links, tail and count on the way.
    Keys keys() {
        Keys out;
        ExecNode* previous = nullptr;
        for (ExecNode* n = list_.head; n; previous = n, n = n->next) {
            EXPECT_EQ(n->prev, previous);
            out.push_back(reinterpret_cast<Item*>(n)->key);
        }
        EXPECT_EQ(list_.tail, previous);
        EXPECT_EQ(list_.count, out.size());
        return out;
    }
    Counts lock_counts() {
        Counts out;
        for (const EventSource& e : exec_->events)
            out.push_back(int16_t{e.lock_count}); // a copy: the field is unaligned
        return out;
    }
    void enqueue(std::initializer_list<Item*> items) {
        for (Item* item : items)
            exec_->EXEC_LISTEnqueue(&list_, &item->node);
    }

    ExecList list_{};
    Item a_{{}, 1}, b_{{}, 2}, c_{{}, 3}, d_{{}, 4};
};

TEST_F(ListTest, InitKeepsACompareFunctionOnlyForOrderedLists) {
    ExecList list{&a_.node, &b_.node, 9, always_after, 7};
    EXPECT_EQ(exec_->EXEC_LISTInit(&list, EXEC_LIST_ORDERED, by_key), &list);
    EXPECT_TRUE(!list.head && !list.tail && list.count == 0);
    EXPECT_EQ(list.kind, EXEC_LIST_ORDERED);
    EXPECT_EQ(ExecCompareFunc{list.compare}, by_key);
    exec_->EXEC_LISTInit(&list, EXEC_LIST_ORDERED, nullptr);
    EXPECT_EQ(list.kind, EXEC_LIST_UNORDERED);
    exec_->EXEC_LISTInit(&list, 3, by_key);
    EXPECT_EQ(list.kind, EXEC_LIST_UNORDERED);
    EXPECT_EQ(ExecCompareFunc{list.compare}, nullptr);
    EXPECT_EQ(exec_->EXEC_LISTInit(nullptr, EXEC_LIST_ORDERED, by_key), nullptr);

    a_.node = {&b_.node, &c_.node};
    EXPECT_EQ(exec_->EXEC_NODEInit(&a_.node), &a_.node);
    EXPECT_TRUE(!a_.node.next && !a_.node.prev);
}

TEST_F(ListTest, AddAndInsert) {
    exec_->EXEC_LISTAddHead(&list_, &b_.node); // empty list: head and tail
    EXPECT_EQ(list_.head, &b_.node);
    EXPECT_EQ(keys(), Keys({2}));
    d_.node = {&a_.node, &a_.node}; // stale links are cleared
    exec_->EXEC_LISTAddTail(&list_, &d_.node);
    exec_->EXEC_LISTInsert(&list_, &a_.node, &b_.node); // before the head: as AddHead
    exec_->EXEC_LISTInsert(&list_, &c_.node, &d_.node); // between b and d
    EXPECT_EQ(keys(), Keys({1, 2, 3, 4}));
    Item e{{}, 5};
    exec_->EXEC_LISTInsert(&list_, &e.node, nullptr); // as AddTail
    EXPECT_EQ(keys(), Keys({1, 2, 3, 4, 5}));
}

TEST_F(ListTest, EnqueueFollowsTheCompareFunctionOrPutsAtTheHead) {
    exec_->EXEC_LISTInit(&list_, EXEC_LIST_ORDERED, by_key);
    Item second_c{{}, 3};
    enqueue({&c_, &a_, &d_, &b_, &second_c});
    EXPECT_EQ(keys(), Keys({1, 2, 3, 3, 4}));
    EXPECT_EQ(list_.head->next->next, &second_c.node); // in front of its equal

    exec_->EXEC_LISTInit(&list_, EXEC_LIST_ORDERED, always_after);
    enqueue({&c_, &a_, &b_});
    EXPECT_EQ(keys(), Keys({3, 1, 2}));

    exec_->EXEC_LISTInit(&list_, EXEC_LIST_UNORDERED, nullptr);
    enqueue({&a_, &b_});
    list_.kind = EXEC_LIST_ORDERED; // but no compare function
    enqueue({&c_});
    EXPECT_EQ(keys(), Keys({3, 2, 1}));
    EXPECT_EQ(list_.kind, EXEC_LIST_UNORDERED);
}

TEST_F(ListTest, RemoveFromEveryPositionAndIgnoreNodesNotListed) {
    exec_->EXEC_LISTRemove(&list_, &a_.node); // empty
    exec_->EXEC_LISTAddTail(&list_, &a_.node);
    exec_->EXEC_LISTRemove(&list_, &b_.node); // one node, another one
    EXPECT_EQ(keys(), Keys({1}));
    exec_->EXEC_LISTRemove(&list_, &a_.node); // the only node
    EXPECT_TRUE(!list_.head && !list_.tail && list_.count == 0);

    for (Item* item : {&a_, &b_, &c_, &d_})
        exec_->EXEC_LISTAddTail(&list_, &item->node);
    exec_->EXEC_LISTRemove(&list_, &c_.node); // middle
    exec_->EXEC_LISTRemove(&list_, &c_.node); // again: no longer listed
    exec_->EXEC_LISTRemove(&list_, &d_.node); // tail
    EXPECT_EQ(keys(), Keys({1, 2}));
    exec_->EXEC_LISTRemove(&list_, &a_.node); // head of two
    EXPECT_EQ(keys(), Keys({2}));
    EXPECT_EQ(b_.node.prev, nullptr);
    for (Item* item : {&a_, &c_, &d_})
        EXPECT_TRUE(!item->node.next && !item->node.prev);
}

// Slot spies; the originals are kept to pass the calls on.
Counts g_locked_at_unlock;
EXEC_EVENTUnlockFn g_unlock = nullptr;
EXEC_LISTAddHeadFn g_add_head = nullptr;
EXEC_LISTAddTailFn g_add_tail = nullptr;
EXEC_LISTInsertFn g_insert = nullptr;
ExecTable* g_table = nullptr;
std::vector<char> g_calls;
EXEC_INTDisableFn g_int_disable = nullptr;
int g_disables = 0;

TEST_F(ListTest, OperationsHoldAllSourcesLockedEvenForNullArguments) {
    g_locked_at_unlock.clear();
    g_unlock = exec_->EXEC_EVENTUnlock;
    g_table = exec_;
    exec_->EXEC_EVENTUnlock = [](uint16_t source) {
        int16_t locked_sources = 0;
        for (const EventSource& e : g_table->events)
            locked_sources += e.lock_count > 0;
        g_locked_at_unlock.push_back(locked_sources);
        g_unlock(source);
    };
    const Counts before = lock_counts();
    exec_->EXEC_LISTAddHead(nullptr, &a_.node);
    exec_->EXEC_LISTAddTail(&list_, nullptr);
    exec_->EXEC_LISTInsert(nullptr, &a_.node, nullptr);
    exec_->EXEC_LISTEnqueue(&list_, nullptr);
    exec_->EXEC_LISTRemove(nullptr, &a_.node);
    exec_->EXEC_EVENTUnlock = g_unlock;
    EXPECT_EQ(g_locked_at_unlock, Counts(5, 4));
    EXPECT_EQ(lock_counts(), before);
    EXPECT_EQ(keys(), Keys());
}

TEST_F(ListTest, EnqueueAndInsertGoThroughTheTable) {
    g_calls.clear();
    g_add_head = exec_->EXEC_LISTAddHead;
    g_add_tail = exec_->EXEC_LISTAddTail;
    g_insert = exec_->EXEC_LISTInsert;
    exec_->EXEC_LISTAddHead = [](ExecList* l, ExecNode* n) {
        g_calls.push_back('H');
        g_add_head(l, n);
    };
    exec_->EXEC_LISTAddTail = [](ExecList* l, ExecNode* n) {
        g_calls.push_back('T');
        g_add_tail(l, n);
    };
    exec_->EXEC_LISTInsert = [](ExecList* l, ExecNode* n, ExecNode* before) {
        g_calls.push_back('I');
        g_insert(l, n, before);
    };
    enqueue({&a_, &b_}); // empty: off the end, at the tail; then before the head
    exec_->EXEC_LISTAddHead = g_add_head;
    exec_->EXEC_LISTAddTail = g_add_tail;
    exec_->EXEC_LISTInsert = g_insert;
    EXPECT_EQ(g_calls, std::vector<char>({'I', 'T', 'I', 'H'}));
    EXPECT_EQ(keys(), Keys({2, 1}));
}

TEST_F(ListTest, LockCountsPerSourceClampedAtZero) {
    const Counts before = lock_counts();
    exec_->EXEC_EVENTLock(EXEC_EVENT_TIMER);
    exec_->EXEC_EVENTLock(EXEC_EVENT_ALL);
    // Source 7 changes no count, but still runs with interrupts off, through the table.
    g_disables = 0;
    g_int_disable = exec_->EXEC_INTDisable;
    exec_->EXEC_INTDisable = [] {
        ++g_disables;
        g_int_disable();
    };
    exec_->EXEC_EVENTLock(7);
    EXPECT_EQ(exec_->function_stack[depth() + 1], 0x10001020u);
    exec_->EXEC_EVENTUnlock(7);
    EXPECT_EQ(exec_->function_stack[depth() + 1], 0x10001010u);
    exec_->EXEC_INTDisable = g_int_disable;
    EXPECT_EQ(g_disables, 2);
    Counts expected = before;
    for (int16_t& c : expected)
        ++c;
    ++expected[EXEC_EVENT_TIMER];
    EXPECT_EQ(lock_counts(), expected);
    exec_->EXEC_EVENTUnlock(EXEC_EVENT_ALL);
    exec_->EXEC_EVENTUnlock(EXEC_EVENT_TIMER);
    EXPECT_EQ(lock_counts(), before);

    for (EventSource& e : exec_->events)
        e.lock_count = 0;
    exec_->events[EXEC_EVENT_MOUSE].lock_count = -3; // as a client might leave it
    exec_->EXEC_EVENTUnlock(EXEC_EVENT_ALL);
    exec_->EXEC_EVENTUnlock(EXEC_EVENT_KEYBOARD);
    EXPECT_EQ(lock_counts(), Counts({0, 0, 0, 0}));
    exec_->EXEC_EVENTLock(EXEC_EVENT_KEYBOARD);
    EXPECT_EQ(lock_counts(), Counts({1, 0, 0, 0}));
    exec_->EXEC_EVENTUnlock(EXEC_EVENT_KEYBOARD);
    EXPECT_EQ(cpu_interrupts_enabled(), 1);
}

TEST_F(ListTest, OnlyTheOutermostInterruptEnableSwitchesOn) {
    ASSERT_EQ(state().int_nesting, 0);
    for (int i = 0; i < 3; ++i)
        exec_->EXEC_INTDisable();
    exec_->EXEC_INTEnable();
    exec_->EXEC_INTEnable();
    EXPECT_EQ(cpu_interrupts_enabled(), 0);
    exec_->EXEC_INTEnable();
    EXPECT_EQ(cpu_interrupts_enabled(), 1);
    exec_->EXEC_INTEnable(); // unmatched
    EXPECT_EQ(state().int_nesting, 0);
    EXPECT_EQ(cpu_interrupts_enabled(), 1);
    // No debt carried over: two disables still need two enables.
    exec_->EXEC_INTDisable();
    exec_->EXEC_INTDisable();
    exec_->EXEC_INTEnable();
    EXPECT_EQ(cpu_interrupts_enabled(), 0);
    exec_->EXEC_INTEnable();
    EXPECT_EQ(cpu_interrupts_enabled(), 1);
}

} // namespace
} // namespace vantrel::testing
