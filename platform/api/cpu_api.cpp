#include "machine/machine.hpp"

#include <pcplat/cpu.h>

#include <cstdio>
#include <cstdlib>

using pcplat::Machine;
using pcplat::Width;

extern "C" {

uint16_t cpu_code_selector(void) {
    return pcplat::Descriptors::kCodeSelector;
}
uint16_t cpu_data_selector(void) {
    return pcplat::Descriptors::kDataSelector;
}

// Interrupts on and something to look at, so that the first call builds the machine.
CpuFlags cpu_flags = {1, 1};

void cpu_serve(void) {
    Machine::current().safe_point();
}

void cpu_poll(void) {
    Machine::current().safe_point();
}

void cpu_wait_interrupt(void) {
    Machine::current().wait_interrupt();
}

void cpu_int(uint8_t n) {
    Machine& m = Machine::current();
    m.safe_point();
    m.software_int(n);
}

void cpu_call_vector(FarPtr vector) {
    Machine::current().call_vector(vector);
}

uint8_t io_inb(uint16_t port) {
    Machine& m = Machine::current();
    m.safe_point();
    return m.ports().in8(port);
}

uint16_t io_inw(uint16_t port) {
    Machine& m = Machine::current();
    m.safe_point();
    return m.ports().in16(port);
}

uint32_t io_inl(uint16_t port) {
    Machine& m = Machine::current();
    m.safe_point();
    return m.ports().in32(port);
}

void io_outb(uint16_t port, uint8_t value) {
    Machine& m = Machine::current();
    m.safe_point();
    m.ports().out8(port, value);
}

void io_outw(uint16_t port, uint16_t value) {
    Machine& m = Machine::current();
    m.safe_point();
    m.ports().out16(port, value);
}

void io_outl(uint16_t port, uint32_t value) {
    Machine& m = Machine::current();
    m.safe_point();
    m.ports().out32(port, value);
}

void cpu_halt(int reason) {
    Machine& m = Machine::current();
    std::fflush(stdout);
    std::fflush(stderr);
    if (m.profile().halt == pcplat::HaltMode::wait) {
        // As on the desk: the screens stay as they are and only interrupts run.
        m.sti();
        for (;;)
            m.wait_interrupt();
    }
    std::exit(reason);
}

} // extern "C"
