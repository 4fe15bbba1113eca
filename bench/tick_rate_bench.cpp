// The timer tick the library sets up, counted on the host clock: the table's tick count over
// 10 s of real time, against the rate the timer divisor promises (1193182 / 30392 Hz). The
// program polls without pause and notes when each tick is seen; the rate is the slope of a
// least-squares line through those notes, so the latency of a single sighting (the first ones
// come while the emulator still translates code) hardly counts.
#include <vantrel/exec.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr double kInputHz = 1193182.0;
constexpr double kDivisor = 30392.0;
constexpr auto kWindow = std::chrono::seconds(10);

struct Sighting {
    double count;
    double seconds;
};

// Ticks per second: the slope of count over time.
double slope(const std::vector<Sighting>& points) {
    double mean_t = 0, mean_c = 0;
    for (const Sighting& p : points) {
        mean_t += p.seconds;
        mean_c += p.count;
    }
    mean_t /= points.size();
    mean_c /= points.size();
    double covariance = 0, variance = 0;
    for (const Sighting& p : points) {
        covariance += (p.seconds - mean_t) * (p.count - mean_c);
        variance += (p.seconds - mean_t) * (p.seconds - mean_t);
    }
    return covariance / variance;
}

} // namespace

int main() {
    using Clock = std::chrono::steady_clock;
    ExecTable* exec = EXEC_OpenExec(0);
    if (!exec) return 1;
    const uint32_t at_open = exec->tick_count;
    uint32_t seen = at_open;
    std::vector<Sighting> sightings;
    sightings.reserve(1024);
    const Clock::time_point start = Clock::now();
    for (Clock::time_point now = start; now - start < kWindow; now = Clock::now()) {
        exec->EXEC_INTEnable(); // interrupts on: a point where a due tick is delivered
        const uint32_t count = exec->tick_count;
        if (count == seen) continue;
        seen = count;
        sightings.push_back({static_cast<double>(count),
                             std::chrono::duration<double>(Clock::now() - start).count()});
    }
    EXEC_CloseExec();
    if (sightings.size() < 2) {
        std::printf("tick rate: fewer than two ticks seen in %lld s\n",
                    static_cast<long long>(kWindow.count()));
        return 1;
    }
    const double exact = kInputHz / kDivisor;
    const double measured = slope(sightings);
    std::printf("tick rate on the host clock, %lld s of real time:\n",
                static_cast<long long>(kWindow.count()));
    std::printf("  ticks:         %u (%.2f expected)\n", seen - at_open,
                exact * static_cast<double>(kWindow.count()));
    std::printf("  measured rate: %.6f Hz (least squares over %zu sightings)\n", measured,
                sightings.size());
    std::printf("  exact rate:    %.6f Hz (1193182 / 30392)\n", exact);
    std::printf("  error:         %+.1f ppm\n", (measured / exact - 1.0) * 1e6);
    return 0;
}
