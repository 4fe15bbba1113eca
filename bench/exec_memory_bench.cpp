// FarMalloc + FarFree of 64 bytes through the Exec table against malloc + free, side by side in
// one run on the default simulated desk. Prints both costs and their ratio.
#include <vantrel/exec.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kPairs = 2'000'000;
constexpr int kRounds = 15;
constexpr uint32_t kBlockBytes = 64;
constexpr uint16_t kOwner = 1;

template <class Body>
double ns_per_pair(Body body) {
    for (int i = 0; i < kPairs; ++i)
        body(); // warm caches and the heap
    std::vector<double> rounds;
    for (int r = 0; r < kRounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kPairs; ++i)
            body();
        const std::chrono::duration<double, std::nano> took =
            std::chrono::steady_clock::now() - start;
        rounds.push_back(took.count() / kPairs);
    }
    // The fastest round: what is left when the machine's other work did not get in the way.
    return *std::min_element(rounds.begin(), rounds.end());
}

} // namespace

int main() {
    ExecTable* exec = EXEC_OpenExec(0);
    if (!exec) return 1;
    volatile uintptr_t sink = 0;
    const double plain = ns_per_pair([&] {
        void* p = std::malloc(kBlockBytes);
        sink = sink + reinterpret_cast<uintptr_t>(p);
        std::free(p);
    });
    const double tracked = ns_per_pair([&] {
        void* p = exec->EXEC_MEMFarMalloc(kBlockBytes, kOwner);
        sink = sink + reinterpret_cast<uintptr_t>(p);
        exec->EXEC_MEMFarFree(p, kOwner);
    });
    std::printf("malloc + free:                 %7.1f ns per pair\n", plain);
    std::printf("EXEC_MEMFarMalloc + FarFree:   %7.1f ns per pair\n", tracked);
    std::printf("ratio:                         %7.2f (target at most 3)\n", tracked / plain);
    EXEC_CloseExec();
    return 0;
}
