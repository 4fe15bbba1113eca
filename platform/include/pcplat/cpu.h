/* Processor services of the desk PC: the interrupt flag, port I/O, software interrupts and the
 * halt. Every call is also a safe point: pending hardware interrupts are delivered on entry while
 * the interrupt flag is set. */
#ifndef PCPLAT_CPU_H
#define PCPLAT_CPU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define PCPLAT_NORETURN [[noreturn]]
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define PCPLAT_NORETURN _Noreturn
#else
#define PCPLAT_NORETURN
#endif

#pragma pack(push, 1)
/* A 48-bit far pointer: 32-bit offset, then the 16-bit selector. */
typedef struct FarPtr {
    uint32_t offset;
    uint16_t selector;
} FarPtr;
#pragma pack(pop)

/* A protected-mode interrupt handler. It runs with the interrupt flag clear (an interrupt gate);
 * returning from it is the interrupt return, which restores the flag. */
typedef void (*InterruptHandler)(void);

/* The code selector of the program's flat code segment; a handler's far pointer is
 * { (uint32_t)handler, cpu_code_selector() }. */
uint16_t cpu_code_selector(void);
/* The program's flat data selector (DS and ES of the program). */
uint16_t cpu_data_selector(void);

/* The processor's flags. Only the platform writes them; cli and sti below are as cheap as the
 * instructions they stand for, and call the platform only when something may be waiting. */
typedef struct CpuFlags {
    uint8_t interrupts; /* the interrupt flag */
    uint8_t attention;  /* nonzero: an interrupt may be waiting, or a tick or key may be due */
} CpuFlags;
extern CpuFlags cpu_flags;
/* The work of a safe point: takes host input and due ticks, delivers what the flag allows. */
void cpu_serve(void);

#ifdef __cplusplus
} /* the watcher thread raises attention, so C++ reads it atomically */
#include <atomic>
inline uint8_t cpu_attention_(void) {
    return std::atomic_ref<uint8_t>(cpu_flags.attention).load(std::memory_order_relaxed);
}
extern "C" {
#else
static inline uint8_t cpu_attention_(void) {
    return *(volatile uint8_t*)&cpu_flags.attention;
}
#endif

/* A safe point, then the flag cleared. */
static inline void cpu_cli(void) {
    if (cpu_attention_()) cpu_serve();
    cpu_flags.interrupts = 0;
}
/* Sets the interrupt flag; anything pending is delivered before it returns. */
static inline void cpu_sti(void) {
    cpu_flags.interrupts = 1;
    if (cpu_attention_()) cpu_serve();
}
/* 1 while the interrupt flag is set. */
static inline int cpu_interrupts_enabled(void) {
    return cpu_flags.interrupts;
}
/* A safe point with nothing else to do: delivers pending interrupts when the flag is set. */
void cpu_poll(void);
/* Waits for the next hardware interrupt, like the hlt instruction with the flag set. */
void cpu_wait_interrupt(void);

/* Software interrupt n in protected mode: calls the protected-mode vector n. */
void cpu_int(uint8_t n);
/* Runs the handler a far pointer names, as an interrupt: the way a hook passes control on to the
 * handler it replaced (a far jump to the saved vector). */
void cpu_call_vector(FarPtr vector);

uint8_t io_inb(uint16_t port);
uint16_t io_inw(uint16_t port);
uint32_t io_inl(uint16_t port);
void io_outb(uint16_t port, uint8_t value);
void io_outw(uint16_t port, uint16_t value);
void io_outl(uint16_t port, uint32_t value);

/* Why a program halts; on the simulated desk the halt ends the process with this status unless
 * the desk profile asks it to wait forever as the desk does. */
enum { CPU_HALT_FAILED = 1, CPU_HALT_STOP = 2 };
PCPLAT_NORETURN void cpu_halt(int reason);

#ifdef __cplusplus
}
#endif

#endif
