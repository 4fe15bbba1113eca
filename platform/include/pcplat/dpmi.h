/* The DPMI host (INT 31h): descriptors, conventional memory, physical mapping, exceptions,
 * real-mode interrupts and calls, and memory access through selectors.
 * Functions that mirror an INT 31h call return 1 when the host cleared the carry flag and 0 when
 * it set it. */
#ifndef PCPLAT_DPMI_H
#define PCPLAT_DPMI_H

#include <pcplat/cpu.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
/* The 50-byte real-mode call structure of functions 0300h and 0301h. */
typedef struct RealRegs {
    uint32_t edi;
    uint32_t esi;
    uint32_t ebp;
    uint32_t reserved;
    uint32_t ebx;
    uint32_t edx;
    uint32_t ecx;
    uint32_t eax;
    uint16_t flags;
    uint16_t es;
    uint16_t ds;
    uint16_t fs;
    uint16_t gs;
    uint16_t ip;
    uint16_t cs;
    uint16_t sp;
    uint16_t ss;
} RealRegs;

/* What an exception handler is given: the DPMI 0.9 exception frame (error code, faulting CS:EIP,
 * flags, SS:ESP), then what the processor knows of the fault.
 * Two kinds of fault arrive here. A fault of the desk's own hardware model (an access through
 * a bad selector) is raised inside a platform call: EIP and ESP, the general registers and the
 * selector fields FS/GS are not kept there and read 0, DS and ES are the program's data
 * selector. A fault of the host processor in the program (an access to memory that is not
 * mapped: exception 14 with the page-fault error code; a bus error or an invalid instruction:
 * exception 13 with error code 0) carries the faulting instruction's registers, and the
 * address that faulted as fault_offset. */
typedef struct DpmiExceptionFrame {
    uint32_t error_code;
    uint32_t eip;
    uint16_t cs;
    uint16_t reserved1;
    uint32_t eflags;
    uint32_t esp;
    uint16_t ss;
    uint16_t reserved2;
    uint8_t exception;       /* 13: general protection, 14: page fault */
    uint16_t fault_selector; /* the selector of the access that faulted */
    uint32_t fault_offset;   /* and its offset */
    uint32_t eax, ebx, ecx, edx, esi, edi, ebp;
    uint16_t ds, es;
} DpmiExceptionFrame;
#pragma pack(pop)

/* An exception handler. It runs with the interrupt flag clear. When it returns from a fault of
 * the hardware model, the faulting access is abandoned (a read gives all bits set, a write is
 * dropped) and the program goes on; a host fault cannot be resumed, so after the handlers the
 * program ends with status 3. */
typedef void (*DpmiExceptionHandler)(DpmiExceptionFrame* frame);

enum { DPMI_EXCEPTION_GP = 13, DPMI_EXCEPTION_PAGE = 14 };
enum { CARRY_FLAG = 0x0001 };

/* 0000h: allocate count consecutive LDT descriptors (base 0, limit 0). */
int dpmi_alloc_ldt(uint16_t count, uint16_t* first_selector);
/* 0001h */
int dpmi_free_ldt(uint16_t selector);
/* 0006h / 0007h */
int dpmi_get_base(uint16_t selector, uint32_t* base);
int dpmi_set_base(uint16_t selector, uint32_t base);
/* 0008h: a limit of 1 MiB or more is page granular, so its low 12 bits read back set. */
int dpmi_set_limit(uint16_t selector, uint32_t limit);
/* The effective limit (the lsl instruction). */
int dpmi_get_limit(uint16_t selector, uint32_t* limit);

/* 0100h / 0101h: conventional memory below 640 KiB, in 16-byte paragraphs. On failure,
 * *largest (when not null) receives the largest block available, in paragraphs. */
int dpmi_dos_alloc(uint16_t paragraphs, uint16_t* segment, uint16_t* selector, uint16_t* largest);
int dpmi_dos_free(uint16_t selector);

/* 0800h: map a physical range; fails for a size of 0 or a range that wraps past 4 GiB. */
int dpmi_phys_map(uint32_t physical, uint32_t size, uint32_t* linear);
/* 0801h: ends a mapping that 0800h made, by its linear address; fails for any other address. */
int dpmi_phys_unmap(uint32_t linear);

/* 0202h / 0203h for processor exceptions 0 to 31. */
int dpmi_get_exception(uint8_t exception, FarPtr* handler);
int dpmi_set_exception(uint8_t exception, FarPtr handler);
/* Passes an exception on to the handler a far pointer names (the handler saved at installation). */
void dpmi_chain_exception(FarPtr handler, DpmiExceptionFrame* frame);

/* 0300h: simulate real-mode interrupt n; the registers after it are written back into regs. */
int dpmi_real_int(uint8_t n, RealRegs* regs);
/* 0301h: call the real-mode far procedure at regs->cs:regs->ip. */
int dpmi_real_call(RealRegs* regs);

/* Memory access through a selector. Selector 0, a selector that is not allocated or an access
 * reaching past the limit raises exception 13. Each access is one bus cycle of its width. */
uint8_t far_read8(uint16_t selector, uint32_t offset);
uint16_t far_read16(uint16_t selector, uint32_t offset);
uint32_t far_read32(uint16_t selector, uint32_t offset);
void far_write8(uint16_t selector, uint32_t offset, uint8_t value);
void far_write16(uint16_t selector, uint32_t offset, uint16_t value);
void far_write32(uint16_t selector, uint32_t offset, uint32_t value);
/* Block moves, ascending: count / 2 word moves, then one byte move when count is odd. The fill's
 * word is the value byte twice. */
void far_copy_to(uint16_t selector, uint32_t offset, const void* source, uint32_t count);
void far_copy_from(void* destination, uint16_t selector, uint32_t offset, uint32_t count);
void far_fill(uint16_t selector, uint32_t offset, uint8_t value, uint32_t count);

#ifdef __cplusplus
}
static_assert(sizeof(RealRegs) == 50, "RealRegs is the 50-byte DPMI structure");
static_assert(sizeof(FarPtr) == 6, "a far pointer is 48 bits");
#endif

#endif
