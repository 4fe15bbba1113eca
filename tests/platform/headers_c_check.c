/* The platform headers are C headers: this file only has to compile as C99. */
#include <pcplat/cpu.h>
#include <pcplat/dos.h>
#include <pcplat/desk_card.h>
#include <pcplat/dpmi.h>
#include <pcplat/host.h>
#include <pcplat/mouse.h>
#include <pcplat/win32.h>

#include <stddef.h>

typedef char real_regs_is_50_bytes[sizeof(RealRegs) == 50 ? 1 : -1];
typedef char far_ptr_is_6_bytes[sizeof(FarPtr) == 6 ? 1 : -1];
typedef char eax_at_28[offsetof(RealRegs, eax) == 28 ? 1 : -1];
typedef char ss_at_48[offsetof(RealRegs, ss) == 48 ? 1 : -1];

int pcplat_c_check(void) {
    RealRegs r = {0};
    return dpmi_real_int(0x1A, &r);
}
