// Real-mode interrupts and far calls through the DPMI host, for the services that need the BIOS
// or real-mode code.
#include "core/library.hpp"

#include <pcplat/dpmi.h>

static_assert(sizeof(ExecRealRegs) == sizeof(RealRegs), "the DPMI real-mode call structure");

extern "C" uint16_t EXEC_DPMIRealInt(uint16_t interrupt, ExecRealRegs* regs) {
    if (!regs) return 0;
    // The host writes the registers after the interrupt back into the block; the interrupt's
    // own carry flag is in it, for the caller to test.
    return dpmi_real_int(static_cast<uint8_t>(interrupt), reinterpret_cast<RealRegs*>(regs)) ? 1
                                                                                             : 0;
}

extern "C" uint16_t EXEC_DPMIRealCall(ExecRealRegs* regs) {
    if (!regs) return 0;
    // The procedure at the block's CS:IP runs with the block's registers and leaves its own in it.
    return dpmi_real_call(reinterpret_cast<RealRegs*>(regs)) ? 1 : 0;
}
