// One poll of an interface card's command byte through EXEC_FARReadByte, as UPLOADPCIF's waits
// do it, on the default desk's card 0. A stalled card costs 2^24 of them (and a few more) before
// the upload gives up, so this figure sets how long an engineer waits for that diagnosis.
// Prints min/median/max ns per poll over alternating rounds and the stall wait they imply.
#include <vantrel/exec.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t kCardWindow = 0xD1000;
constexpr uint32_t kWindowLength = 0x10000;
constexpr uint32_t kPollsPerRound = 1u << 22;
constexpr int kRounds = 7;
constexpr double kStallPolls = (1u << 24) + 7; // a stalled upload's reads of the command byte
constexpr double kTargetNs = 20;

} // namespace

int main() {
    ExecTable* exec = EXEC_OpenExec(0);
    if (!exec) return 1;
    const uint16_t card = exec->EXEC_SELCreate(kCardWindow, kWindowLength);
    if (!card) return 1;
    std::vector<double> ns;
    unsigned sink = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < kPollsPerRound; ++i)
            sink += exec->EXEC_FARReadByte(card, 0);
        const std::chrono::duration<double, std::nano> took =
            std::chrono::steady_clock::now() - start;
        ns.push_back(took.count() / kPollsPerRound);
    }
    std::sort(ns.begin(), ns.end());
    const double median = ns[ns.size() / 2];
    std::printf("card poll (EXEC_FARReadByte of the command byte), %d rounds of %u polls:\n",
                kRounds, kPollsPerRound);
    std::printf("  ns per poll: min %.1f  median %.1f  max %.1f  (target %.0f)\n", ns.front(),
                median, ns.back(), kTargetNs);
    std::printf("  a stalled card is given up after %.2f s (median)%s\n",
                median * kStallPolls / 1e9, sink == 0 ? "" : " (card not idle?)");
    exec->EXEC_SELFree(card);
    EXEC_CloseExec();
    return 0;
}
