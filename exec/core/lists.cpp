// Doubly linked lists, event source locks and the interrupt nesting count.
#include "core/library.hpp"

#include <pcplat/cpu.h>

namespace vantrel {

namespace {

void clear_links(ExecNode* node) {
    node->next = nullptr;
    node->prev = nullptr;
}

} // namespace

} // namespace vantrel

using namespace vantrel;

extern "C" ExecList* EXEC_LISTInit(ExecList* list, uint16_t kind, ExecCompareFunc compare) {
    if (!list) return nullptr;
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
    const bool ordered = kind == EXEC_LIST_ORDERED && compare;
    list->kind = ordered ? EXEC_LIST_ORDERED : EXEC_LIST_UNORDERED;
    list->compare = ordered ? compare : nullptr;
    return list;
}

extern "C" ExecNode* EXEC_NODEInit(ExecNode* node) {
    if (node) clear_links(node);
    return node;
}

extern "C" void EXEC_LISTAddHead(ExecList* list, ExecNode* node) {
    EventLockAll lock;
    if (!list || !node) return;
    clear_links(node);
    if (ExecNode* old_head = list->head) {
        node->next = old_head;
        old_head->prev = node;
    } else {
        list->tail = node;
    }
    list->head = node;
    ++list->count;
}

extern "C" void EXEC_LISTAddTail(ExecList* list, ExecNode* node) {
    EventLockAll lock;
    if (!list || !node) return;
    clear_links(node);
    if (ExecNode* old_tail = list->tail) {
        node->prev = old_tail;
        old_tail->next = node;
    } else {
        list->head = node;
    }
    list->tail = node;
    ++list->count;
}

extern "C" void EXEC_LISTInsert(ExecList* list, ExecNode* node, ExecNode* before) {
    EventLockAll lock;
    if (!list || !node) return;
    clear_links(node);
    // AddTail and AddHead count the node themselves.
    if (!before) {
        exec()->EXEC_LISTAddTail(list, node);
    } else if (before == list->head) {
        exec()->EXEC_LISTAddHead(list, node);
    } else {
        ExecNode* after = before->prev;
        node->prev = after;
        node->next = before;
        after->next = node;
        before->prev = node;
        ++list->count;
    }
}

extern "C" void EXEC_LISTEnqueue(ExecList* list, ExecNode* node) {
    EventLockAll lock;
    if (!list || !node) return;
    ExecNode* listed = list->head;
    for (; listed; listed = listed->next) {
        int16_t order = 0;
        if (list->kind == EXEC_LIST_ORDERED && list->compare)
            order = list->compare(node, listed);
        else
            list->kind = EXEC_LIST_UNORDERED;
        if (order <= 0) break;
    }
    exec()->EXEC_LISTInsert(list, node, listed);
}

extern "C" void EXEC_LISTRemove(ExecList* list, ExecNode* node) {
    EventLockAll lock;
    if (!list || !node || !list->head) return;
    if (list->head == list->tail) {
        if (list->head != node) return;
        list->head = nullptr;
        list->tail = nullptr;
    } else if (node == list->head) {
        list->head = node->next;
        list->head->prev = nullptr;
    } else if (node == list->tail) {
        list->tail = node->prev;
        list->tail->next = nullptr;
    } else {
        // A node in the middle has both neighbours; one without them (already removed, never
        // added) is not on this list and is left alone rather than followed through null.
        if (!node->prev || !node->next) return;
        node->prev->next = node->next;
        node->next->prev = node->prev;
    }
    clear_links(node);
    --list->count;
}

extern "C" void EXEC_EVENTLock(uint16_t source) {
    event_lock(source);
}

extern "C" void EXEC_EVENTUnlock(uint16_t source) {
    event_unlock(source);
}

extern "C" void EXEC_INTDisable(void) {
    int_disable();
}

extern "C" void EXEC_INTEnable(void) {
    int_enable();
}
