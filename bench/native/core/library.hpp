// Just enough of the runtime library for its coders to build for the host: memory from malloc,
// a sorted list as the Huffman packer's queue (ascending keys, an equal key after those present,
// as the key tree orders them), no function stack. Only native_bench.sh uses it.
#pragma once

#include <cstdint>
#include <cstdlib>

struct KeyTreeNode {
    uint32_t key;
    KeyTreeNode* next;
};
struct KeyTree {
    KeyTreeNode* head;
};

namespace vantrel {

struct TraceScope {
    explicit TraceScope(uint32_t) {}
    void step(unsigned) {}
};

struct HostExec {
    void* EXEC_MEMFarMalloc(uint32_t n, uint16_t) { return std::malloc(n); }
    void EXEC_MEMFarFree(void* p, uint16_t) { std::free(p); }
    void EXEC_TREEInit(KeyTree* t) { t->head = nullptr; }
    void EXEC_TREEInitNode(KeyTreeNode* n, uint32_t key) { *n = {key, nullptr}; }
    void EXEC_TREEInsert(KeyTree* t, KeyTreeNode* n) {
        KeyTreeNode** at = &t->head;
        while (*at && (*at)->key <= n->key)
            at = &(*at)->next;
        n->next = *at;
        *at = n;
    }
    void EXEC_TREERemove(KeyTree* t, KeyTreeNode* n) {
        KeyTreeNode** at = &t->head;
        while (*at != n)
            at = &(*at)->next;
        *at = n->next;
    }
    KeyTreeNode* EXEC_TREEFirst(KeyTree* t) { return t->head; }
    KeyTreeNode* EXEC_TREENext(KeyTreeNode* n) { return n->next; }
};

inline HostExec* exec() {
    static HostExec host;
    return &host;
}

} // namespace vantrel
