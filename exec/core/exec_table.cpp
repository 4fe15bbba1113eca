// The Exec table, and the open and close of the library.
#include "core/library.hpp"

#include <pcplat/win32.h>

#include <cstring>

// Tools that look for version tags in files find the library's own here.
extern "C" const char vantrel_version_tag[] = "$VER:VANTREL.DLL V3.7.1 14:16:38 13/4/2000.";

namespace vantrel {

namespace {

constexpr ExecDate kBuildDate{2000, 13, 4};
constexpr ExecTime kBuildTime{16, 14, 78, 38};
constexpr const char* kWrongPlatform = "EXEC will only run under Borland 32RTM.EXE\n";

ExecTable g_table{};

bool under_extender() {
    Win32Module kernel = win32_get_module_handle("kernel32.dll");
    return kernel && win32_get_proc_address(kernel, "Borland32");
}

void fill_slots(ExecTable& t) {
    t.EXEC_FILEOpen = EXEC_FILEOpen;
    t.EXEC_FILEClose = EXEC_FILEClose;
    t.EXEC_FILERead = EXEC_FILERead;
    t.EXEC_FILEWrite = EXEC_FILEWrite;
    t.EXEC_FILESeek = EXEC_FILESeek;
    t.EXEC_FILETell = EXEC_FILETell;
    t.EXEC_FILEFlush = EXEC_FILEFlush;
    t.EXEC_FILELength = EXEC_FILELength;
    t.EXEC_FILEPrintf = EXEC_FILEPrintf;
    t.EXEC_Printf = EXEC_Printf;
    t.EXEC_CLOCKGetDate = EXEC_CLOCKGetDate;
    t.EXEC_CLOCKSetDate = EXEC_CLOCKSetDate;
    t.EXEC_CLOCKGetTime = EXEC_CLOCKGetTime;
    t.EXEC_CLOCKSetTime = EXEC_CLOCKSetTime;
    t.EXEC_DATEFormat = EXEC_DATEFormat;
    t.EXEC_TIMEFormat = EXEC_TIMEFormat;
    t.EXEC_STRCopy = EXEC_STRCopy;
    t.EXEC_STRAppend = EXEC_STRAppend;
    t.EXEC_STRCompare = EXEC_STRCompare;
    t.EXEC_STRCompareNoCase = EXEC_STRCompareNoCase;
    t.EXEC_MATHFromLong = EXEC_MATHFromLong;
    t.EXEC_MATHToLong = EXEC_MATHToLong;
    t.EXEC_MATHCompare = EXEC_MATHCompare;
    t.EXEC_MATHAdd = EXEC_MATHAdd;
    t.EXEC_MATHSub = EXEC_MATHSub;
    t.EXEC_MATHMul = EXEC_MATHMul;
    t.EXEC_MATHDiv = EXEC_MATHDiv;
    t.EXEC_DOSAlloc = EXEC_DOSAlloc;
    t.EXEC_DOSFree = EXEC_DOSFree;
    t.EXEC_FARWriteByte = EXEC_FARWriteByte;
    t.EXEC_FARWriteWord = EXEC_FARWriteWord;
    t.EXEC_FARWriteLong = EXEC_FARWriteLong;
    t.EXEC_FARReadByte = EXEC_FARReadByte;
    t.EXEC_FARReadWord = EXEC_FARReadWord;
    t.EXEC_FARGetWord = EXEC_FARGetWord;
    t.EXEC_FARReadLong = EXEC_FARReadLong;
    t.EXEC_FARCopyTo = EXEC_FARCopyTo;
    t.EXEC_FARFill = EXEC_FARFill;
    t.EXEC_FARCopyFrom = EXEC_FARCopyFrom;
    t.EXEC_SELCreate = EXEC_SELCreate;
    t.EXEC_SELFree = EXEC_SELFree;
    t.EXEC_PHYSMap = EXEC_PHYSMap;
    t.EXEC_DPMIRealInt = EXEC_DPMIRealInt;
    t.EXEC_DPMIRealCall = EXEC_DPMIRealCall;
    t.E_Sound = E_Sound;
    t.E_NoSound = E_NoSound;
    t.EXEC_DISKGetGeometry = EXEC_DISKGetGeometry;
    t.EXEC_DISKWriteTrack = EXEC_DISKWriteTrack;
    t.EXEC_DISKReadTrack = EXEC_DISKReadTrack;
    t.EXEC_INTDisable = EXEC_INTDisable;
    t.EXEC_INTEnable = EXEC_INTEnable;
    t.EXEC_EVENTUnlock = EXEC_EVENTUnlock;
    t.EXEC_EVENTLock = EXEC_EVENTLock;
    t.EXEC_TIMERAdd = EXEC_TIMERAdd;
    t.EXEC_TIMERRemove = EXEC_TIMERRemove;
    t.EXEC_KEYSetHandler = EXEC_KEYSetHandler;
    t.EXEC_MOUSESetHandler = EXEC_MOUSESetHandler;
    t.EXEC_MOUSESetRange = EXEC_MOUSESetRange;
    t.EXEC_DEBUGPrintf = EXEC_DEBUGPrintf;
    t.EXEC_SLLOpen = EXEC_SLLOpen;
    t.EXEC_SLLClose = EXEC_SLLClose;
    t.EXEC_LISTInit = EXEC_LISTInit;
    t.EXEC_NODEInit = EXEC_NODEInit;
    t.EXEC_LISTAddHead = EXEC_LISTAddHead;
    t.EXEC_LISTAddTail = EXEC_LISTAddTail;
    t.EXEC_LISTInsert = EXEC_LISTInsert;
    t.EXEC_LISTEnqueue = EXEC_LISTEnqueue;
    t.EXEC_LISTRemove = EXEC_LISTRemove;
    t.EXEC_MEMAlloc = EXEC_MEMAlloc;
    t.EXEC_MEMCalloc = EXEC_MEMCalloc;
    t.EXEC_MEMFree = EXEC_MEMFree;
    t.EXEC_MEMAllocClear = EXEC_MEMAllocClear;
    t.EXEC_MEMFarFree = EXEC_MEMFarFree;
    t.EXEC_MEMFarMalloc = EXEC_MEMFarMalloc;
    t.EXEC_MEMCoreLeft = EXEC_MEMCoreLeft;
    t.EXEC_MEMGetUsage = EXEC_MEMGetUsage;
    t.EXEC_MEMGetErrors = EXEC_MEMGetErrors;
    t.EXEC_MEMFirstBlock = EXEC_MEMFirstBlock;
    t.EXEC_MEMNextBlock = EXEC_MEMNextBlock;
    t.EXEC_STREAMOpen = EXEC_STREAMOpen;
    t.EXEC_STREAMClose = EXEC_STREAMClose;
    t.EXEC_STREAMRead = EXEC_STREAMRead;
    t.EXEC_STREAMWrite = EXEC_STREAMWrite;
    t.EXEC_PACKCompress = EXEC_PACKCompress;
    t.EXEC_PACKDecompress = EXEC_PACKDecompress;
    t.EXEC_RSCCreate = EXEC_RSCCreate;
    t.EXEC_RSCOpen = EXEC_RSCOpen;
    t.EXEC_RSCClose = EXEC_RSCClose;
    t.EXEC_RSCAdd = EXEC_RSCAdd;
    t.EXEC_RSCDelete = EXEC_RSCDelete;
    t.EXEC_RSCFind = EXEC_RSCFind;
    t.EXEC_RSCFindFirst = EXEC_RSCFindFirst;
    t.EXEC_RSCFindNext = EXEC_RSCFindNext;
    t.EXEC_RSCRead = EXEC_RSCRead;
    t.EXEC_RSCWrite = EXEC_RSCWrite;
    t.EXEC_RSCSavePacked = EXEC_RSCSavePacked;
    t.EXEC_RSCPackedSize = EXEC_RSCPackedSize;
    t.EXEC_RSCLoadPacked = EXEC_RSCLoadPacked;
    t.EXEC_RSCBuildIndex = EXEC_RSCBuildIndex;
    t.EXEC_MEMCompare = EXEC_MEMCompare;
    t.EXEC_TREEInit = EXEC_TREEInit;
    t.EXEC_TREEInitNode = EXEC_TREEInitNode;
    t.EXEC_TREEInsert = EXEC_TREEInsert;
    t.EXEC_TREERemove = EXEC_TREERemove;
    t.EXEC_TREEFirst = EXEC_TREEFirst;
    t.EXEC_TREELast = EXEC_TREELast;
    t.EXEC_TREENext = EXEC_TREENext;
    t.EXEC_TREEPrev = EXEC_TREEPrev;
    t.EXEC_TREEFind = EXEC_TREEFind;
    t.EXEC_TREECount = EXEC_TREECount;
    t.E_SetGFXActive = E_SetGFXActive;
}

// Printed at the close in debug mode. The library keeps no stdio or debug buffer of its own, so
// both framed sections are empty.
void closing_report(const ExecTable& t) {
    t.EXEC_Printf("----------------STDIO Buffer-----------------\n");
    t.EXEC_Printf("\n---------------------------------------------\n");
    t.EXEC_Printf("----------------DEBUG Buffer-----------------\n");
    t.EXEC_Printf("\n---------------------------------------------\n");
    t.EXEC_Printf("Memory:\n");
    t.EXEC_Printf("Maximum allocated == %lu bytes\n", static_cast<unsigned long>(t.peak_allocated));
    t.EXEC_Printf("Coreleft at start == %lu bytes\n", static_cast<unsigned long>(t.free_at_start));
}

} // namespace

} // namespace vantrel

using vantrel::g_library_state;
using vantrel::g_table;

extern "C" ExecTable* EXEC_OpenExec(uint16_t mode) {
    if (!vantrel::under_extender()) {
        std::fputs(vantrel::kWrongPlatform, stdout);
        g_library_state.table = nullptr;
        return nullptr;
    }
    vantrel::fill_slots(g_table);
    g_library_state.table = &g_table;
    vantrel::install_exception_handlers();
    g_library_state.mode = mode;
    ExecDate date = vantrel::kBuildDate;
    ExecTime time = vantrel::kBuildTime;
    g_table.EXEC_TIMEFormat(g_table.build_time, &time);
    g_table.EXEC_DATEFormat(g_table.build_date, &date);
    g_table.tick_count = 0;
    g_table.version = vantrel::kVersion;
    g_table.revision = vantrel::kRevision;
    g_table.subrevision = vantrel::kSubrevision;
    g_table.function_stack = g_library_state.function_stack;
    g_table.function_depth = &g_library_state.function_depth;
    g_table.reserved_pointer1 = &g_library_state.reserved_words[0];
    g_table.reserved_pointer2 = &g_library_state.reserved_words[1];
    g_table.reserved42 = 0;
    g_table.reserved_area_pointer = g_table.reserved_area;
    g_table.quiet = 0;
    g_table.reserved53 = 0;
    g_table.reserved61 = 0;
    if (mode == vantrel::kModeDebugFileKept) {
        if (FILE* f = g_table.EXEC_FILEOpen("debug.txt", "at")) {
            g_library_state.debug_file = f;
            g_library_state.debug_file_open = 1;
        }
    }
    vantrel::initialise_memory_statistics();
    // The identification dword of bus 0, device 0, function 0: the host bridge.
    g_table.base_address = E_GetBaseAddress0(0x80000000u, 0);
    vantrel::start_event_machinery();
    return &g_table;
}

extern "C" void EXEC_CloseExec(void) {
    if (!g_library_state.table) return;
    vantrel::stop_event_machinery();
    if (g_library_state.mode & vantrel::kModeDebug) vantrel::closing_report(g_table);
    if (g_library_state.debug_file_open) {
        g_table.EXEC_FILEClose(g_library_state.debug_file);
        g_library_state.debug_file = nullptr;
        g_library_state.debug_file_open = 0;
    }
    vantrel::restore_exception_handlers();
}
