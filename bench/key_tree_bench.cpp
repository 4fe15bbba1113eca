// 1,000,000 inserts of random keys and one in-order walk: the key tree through the Exec table
// against std::multiset doing the same, side by side in one run. Prints both and their ratio.
#include <vantrel/exec.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <vector>

namespace {

constexpr uint32_t kKeys = 1'000'000;
constexpr int kRounds = 5;

template <class Body>
double fastest_ms(Body body) {
    double best = 1e300;
    for (int r = 0; r < kRounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

} // namespace

int main() {
    ExecTable* exec = EXEC_OpenExec(0);
    if (!exec) return 1;
    std::mt19937 random(1);
    std::vector<uint32_t> keys(kKeys);
    for (uint32_t& k : keys)
        k = static_cast<uint32_t>(random());

    // The nodes live in the caller's records, as the tree never allocates.
    std::vector<KeyTreeNode> nodes(kKeys);
    uint64_t tree_sum = 0;
    const double tree_ms = fastest_ms([&] {
        KeyTree tree;
        exec->EXEC_TREEInit(&tree);
        for (uint32_t i = 0; i < kKeys; ++i) {
            exec->EXEC_TREEInitNode(&nodes[i], keys[i]);
            exec->EXEC_TREEInsert(&tree, &nodes[i]);
        }
        tree_sum = 0;
        for (KeyTreeNode* n = exec->EXEC_TREEFirst(&tree); n; n = exec->EXEC_TREENext(n))
            tree_sum += n->key;
    });

    uint64_t set_sum = 0;
    const double set_ms = fastest_ms([&] {
        std::multiset<uint32_t> set;
        for (uint32_t k : keys)
            set.insert(k);
        set_sum = 0;
        for (uint32_t k : set)
            set_sum += k;
    });
    EXEC_CloseExec();
    if (tree_sum != set_sum) {
        std::fprintf(stderr, "key_tree_bench: the walks differ\n");
        return 1;
    }
    std::printf("key tree: 1M random inserts + walk: tree %.1f ms, std::multiset %.1f ms, "
                "ratio %.2f (target <= 2)\n",
                tree_ms, set_ms, tree_ms / set_ms);
    return 0;
}
