// The attention flag of the processor's flags: raised by whatever may give a safe point work (the
// host watcher thread, a test moving the manual clock, keys arriving, a request the interrupt
// controller still holds), cleared by the safe point that takes the work.
#pragma once

#include <pcplat/cpu.h>

#include <atomic>

namespace pcplat {

inline void raise_attention() {
    std::atomic_ref<uint8_t>(cpu_flags.attention).store(1, std::memory_order_relaxed);
}

inline void clear_attention() {
    std::atomic_ref<uint8_t>(cpu_flags.attention).store(0, std::memory_order_relaxed);
}

inline bool attention_raised() {
    return cpu_attention_() != 0;
}

} // namespace pcplat
