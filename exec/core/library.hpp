// The library's private state and the helpers every service uses. Services reach each other
// through the table (exec()->EXEC_...), never directly, so a client that replaces a slot is
// honoured everywhere.
#pragma once

#include <pcplat/cpu.h>
#include <vantrel/exec.h>

#include <cstdint>
#include <cstdio>

namespace vantrel {

constexpr uint16_t kVersion = 3;
constexpr uint16_t kRevision = 7;
constexpr uint16_t kSubrevision = 1;
constexpr int kFunctionStackEntries = 501;
constexpr int kOwnerCount = 14;
constexpr uint16_t kOwnerTotal = 14;
constexpr uint16_t kModeDebug = 0x0001;
constexpr uint16_t kModeDebugFileKept = 3;
constexpr size_t kFormatBufferSize = 1024;

struct OwnerUsage {
    uint32_t peak = 0;
    uint32_t current = 0;
};

// A live memory block as allocated: its header and the bytes it spans, header included.
struct LiveBlock {
    MemBlockHeader* header = nullptr; // null: an empty slot
    uint32_t size = 0;
};

// The live blocks, so that a free can tell our blocks from foreign pointers without reading
// foreign memory: an open-addressing hash set keyed by header address (linear probing,
// power-of-two capacity, at most half full). Grows by rehash; never allocates per block.
struct LiveBlockSet {
    LiveBlock* slots = nullptr;
    uint32_t capacity = 0;
    // 32 - log2(capacity): the hash bits that index the slots, kept because every allocation
    // and free needs it.
    uint32_t shift = 32;
    uint32_t count = 0;
};

// Small blocks released by a free, kept for the next allocation of their size class, so that the
// many short-lived small blocks (tree nodes, records) cost no heap call; at most about 68 KiB
// wait here. The pointers live here, not in the released blocks, so a client writing to memory
// it freed cannot corrupt the cache.
constexpr uint32_t kSizeClassStep = 16;
constexpr uint32_t kSizeClassCount = 16; // blocks of up to 256 bytes, header included
constexpr uint32_t kCachedPerClass = 32;
struct SmallBlockCache {
    MemBlockHeader* blocks[kSizeClassCount][kCachedPerClass]{};
    uint32_t count[kSizeClassCount]{};
};

// Everything the library keeps between calls; one instance per process.
struct LibraryState {
    ExecTable* table = nullptr; // the library's own pointer: null before the first open
    uint16_t mode = 0;
    FILE* debug_file = nullptr;
    uint16_t debug_file_open = 0;
    uint32_t function_stack[kFunctionStackEntries]{};
    int32_t function_depth = 0;
    uint32_t reserved_words[2]{};
    int16_t int_nesting = 0;
    uint32_t trace_sink = 0; // marks of entries deeper than the function stack
    // Memory service.
    MemBlockHeader* newest_block = nullptr;
    uint32_t failed_allocations = 0;
    uint32_t rejected_frees = 0;
    OwnerUsage owners[kOwnerCount]{};
    uint16_t statistics_initialised = 0;
    LiveBlockSet live_blocks;
    SmallBlockCache small_blocks;
    // Called once by the crash handler before its report (E_SetGFXActive).
    void (*graphics_restore)(void) = nullptr;
    // The crash report: written at most once per process.
    uint8_t crash_exception = 0;
    uint32_t crash_error_code = 0;
    uint8_t crash_report_written = 0;
};

// One instance per process.
inline LibraryState g_library_state;
inline LibraryState& state() {
    return g_library_state;
}
// Once per library lifetime: totals and owner figures to 0, free memory at start measured.
void initialise_memory_statistics();
// The crash report's handlers of the general-protection fault and the page fault, in place from
// the open to the close; the handlers found before are passed each exception on.
void install_exception_handlers();
void restore_exception_handlers();
// The event machinery: the sources cleared, the timer list made, the timer and mouse hooks
// installed (at the open); every hook removed and the timers freed (at the close).
void start_event_machinery();
void stop_event_machinery();
// The table the services call through (valid between the open and the close).
inline ExecTable* exec() {
    return state().table;
}

// Pushes a function id on the function stack for its lifetime; step() marks progress in the
// id's low four bits. Deeper than the stack's 500 entries the depth still counts, but nothing is
// written outside the array.
class TraceScope {
  public:
    explicit TraceScope(uint32_t id) : base_(id & ~0xFu) {
        LibraryState& s = state();
        ++s.function_depth;
        // Our entry keeps its index while we run: whatever we call pops what it pushes. Past
        // the array's end the marks go to a word of their own, so step() needs no test.
        entry_ = in_range(s.function_depth) ? &s.function_stack[s.function_depth] : &s.trace_sink;
        *entry_ = id;
    }
    ~TraceScope() { --state().function_depth; }
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;
    void step(unsigned n) { *entry_ = base_ | n; }

  private:
    static bool in_range(int32_t depth) { return depth > 0 && depth < kFunctionStackEntries; }
    uint32_t* entry_;
    uint32_t base_;
};

} // namespace vantrel

// The services this library fills its slots with; C linkage, named as their slots.
extern "C" {
// Memory
void* EXEC_MEMFarMalloc(uint32_t size, uint16_t owner);
void EXEC_MEMFarFree(void* block, uint16_t owner);
void* EXEC_MEMAlloc(uint32_t size, uint16_t owner);
void EXEC_MEMFree(void* block, uint16_t owner);
void* EXEC_MEMCalloc(uint32_t count, uint32_t item_size, uint16_t owner);
void* EXEC_MEMAllocClear(uint32_t size, uint16_t owner);
uint32_t EXEC_MEMCoreLeft(void);
void EXEC_MEMGetUsage(uint16_t owner, uint32_t* peak, uint32_t* current, char* name);
void EXEC_MEMGetErrors(uint32_t* failed, uint32_t* rejected);
MemBlockHeader* EXEC_MEMFirstBlock(void);
MemBlockHeader* EXEC_MEMNextBlock(MemBlockHeader* block);
// Lists, locks and interrupt nesting
ExecList* EXEC_LISTInit(ExecList* list, uint16_t kind, ExecCompareFunc compare);
ExecNode* EXEC_NODEInit(ExecNode* node);
void EXEC_LISTAddHead(ExecList* list, ExecNode* node);
void EXEC_LISTAddTail(ExecList* list, ExecNode* node);
void EXEC_LISTInsert(ExecList* list, ExecNode* node, ExecNode* before);
void EXEC_LISTEnqueue(ExecList* list, ExecNode* node);
void EXEC_LISTRemove(ExecList* list, ExecNode* node);
void EXEC_EVENTLock(uint16_t source);
void EXEC_EVENTUnlock(uint16_t source);
void EXEC_INTDisable(void);
void EXEC_INTEnable(void);
// Timers, keyboard and mouse events
TimerNode* EXEC_TIMERAdd(void (*callback)(void), int16_t period);
void EXEC_TIMERRemove(TimerNode* timer);
void EXEC_KEYSetHandler(void (*handler)(uint16_t scan_code));
void EXEC_MOUSESetHandler(void (*handler)(MouseRegs* state));
uint16_t EXEC_MOUSESetRange(int16_t left, int16_t top, int16_t right, int16_t bottom,
                            int16_t ratio_x, int16_t ratio_y);
// Files and console
FILE* EXEC_FILEOpen(const char* name, const char* mode);
void EXEC_FILEClose(FILE* file);
uint32_t EXEC_FILERead(void* buffer, uint32_t size, uint32_t count, FILE* file);
uint32_t EXEC_FILEWrite(const void* buffer, uint32_t size, uint32_t count, FILE* file);
int32_t EXEC_FILESeek(FILE* file, int32_t offset, int32_t origin);
int32_t EXEC_FILETell(FILE* file);
int32_t EXEC_FILEFlush(FILE* file);
uint32_t EXEC_FILELength(FILE* file);
int32_t EXEC_FILEPrintf(FILE* file, const char* format, ...);
int32_t EXEC_Printf(const char* format, ...);
// Function stack and debug output
void EXEC_DEBUGPrintf(const char* format, ...);
// Shared library modules
SllLibrary* EXEC_SLLOpen(const char* name, uint16_t version, uint32_t argument);
void EXEC_SLLClose(SllLibrary* library);
// Clock, dates and strings
void EXEC_CLOCKGetDate(ExecDate* date);
void EXEC_CLOCKSetDate(ExecDate* date);
void EXEC_CLOCKGetTime(ExecTime* time);
void EXEC_CLOCKSetTime(ExecTime* time);
void EXEC_DATEFormat(char* text, ExecDate* date);
void EXEC_TIMEFormat(char* text, ExecTime* time);
void EXEC_STRCopy(char* destination, const char* source, uint32_t size);
void EXEC_STRAppend(char* destination, const char* source, uint16_t maximum);
int16_t EXEC_STRCompare(const char* first, const char* second, uint16_t count);
int16_t EXEC_STRCompareNoCase(const char* first, const char* second, uint16_t count);
// Far memory and selectors
uint16_t EXEC_DOSAlloc(uint16_t* segment, uint16_t* selector, uint16_t size);
uint16_t EXEC_DOSFree(uint16_t selector);
void EXEC_FARWriteByte(uint16_t selector, uint32_t offset, uint8_t value);
void EXEC_FARWriteWord(uint16_t selector, uint32_t offset, uint16_t value);
void EXEC_FARWriteLong(uint16_t selector, uint32_t offset, uint32_t value);
uint8_t EXEC_FARReadByte(uint16_t selector, uint32_t offset);
uint16_t EXEC_FARReadWord(uint16_t selector, uint32_t offset);
uint16_t EXEC_FARGetWord(uint16_t selector, uint32_t offset);
uint32_t EXEC_FARReadLong(uint16_t selector, uint32_t offset);
void EXEC_FARCopyTo(uint16_t selector, const void* source, uint32_t count, uint32_t offset);
void EXEC_FARFill(uint16_t selector, uint8_t value, uint32_t count, uint32_t offset);
void EXEC_FARCopyFrom(uint16_t selector, void* destination, uint32_t count, uint32_t offset);
uint16_t EXEC_SELCreate(uint32_t base, uint32_t length);
void EXEC_SELFree(uint16_t selector);
uint32_t EXEC_PHYSMap(uint32_t physical, uint32_t size);
// Real-mode interrupts and far calls
uint16_t EXEC_DPMIRealInt(uint16_t interrupt, ExecRealRegs* regs);
uint16_t EXEC_DPMIRealCall(ExecRealRegs* regs);
// The crash report
void E_SetGFXActive(void (*restore)(void));
// Speaker and PCI configuration (also exported by name)
void E_Sound(uint16_t divisor);
void E_NoSound(void);
uint32_t E_GetBaseAddress0(uint32_t config_address, uint32_t offset);
// Diskette tracks
uint16_t EXEC_DISKGetGeometry(uint16_t drive, uint16_t* cylinders, uint16_t* heads,
                              uint16_t* sectors);
uint16_t EXEC_DISKWriteTrack(uint16_t cylinder, uint16_t head, const void* data);
uint16_t EXEC_DISKReadTrack(uint16_t cylinder, uint16_t head, void* destination);
// Packed blocks
uint32_t EXEC_PACKCompress(uint8_t method, const void* source, void* destination, uint32_t length);
uint16_t EXEC_PACKDecompress(const void* packed, void* destination, uint32_t packed_length);
// Buffered streams
ExecStream* EXEC_STREAMOpen(FILE* file, uint32_t size, uint16_t mode);
uint16_t EXEC_STREAMClose(ExecStream* stream);
uint32_t EXEC_STREAMRead(void* destination, uint32_t count, ExecStream* stream);
uint32_t EXEC_STREAMWrite(const void* source, uint32_t count, ExecStream* stream);
// Extended-real arithmetic
long double EXEC_MATHFromLong(int32_t n);
int32_t EXEC_MATHToLong(long double x);
int32_t EXEC_MATHCompare(long double a, long double b);
long double EXEC_MATHAdd(long double a, long double b);
long double EXEC_MATHSub(long double a, long double b);
long double EXEC_MATHMul(long double a, long double b);
long double EXEC_MATHDiv(long double a, long double b);
// Resource files, and the byte comparison they use
uint16_t EXEC_MEMCompare(const void* a, const void* b, uint32_t count);
uint16_t EXEC_RSCCreate(const char* path);
RSCFile* EXEC_RSCOpen(const char* path);
void EXEC_RSCClose(RSCFile* rsc);
uint16_t EXEC_RSCAdd(RSCFile* rsc, const void* type, uint16_t id, uint32_t size);
uint16_t EXEC_RSCDelete(RSCFile* rsc, const void* type, uint16_t id);
uint32_t EXEC_RSCFind(RSCFile* rsc, const void* type, uint16_t id);
uint32_t EXEC_RSCFindFirst(RSCFile* rsc, void* type, uint16_t* id);
uint32_t EXEC_RSCFindNext(RSCFile* rsc, void* type, uint16_t* id);
uint32_t EXEC_RSCRead(RSCFile* rsc, uint32_t count, void* destination);
uint32_t EXEC_RSCWrite(RSCFile* rsc, uint32_t count, const void* source);
void EXEC_RSCSavePacked(const void* data, uint32_t size, const char* path, const void* type,
                        uint16_t id, uint8_t method);
uint32_t EXEC_RSCPackedSize(const char* path, const void* type, uint16_t id);
uint16_t EXEC_RSCLoadPacked(void* destination, uint32_t capacity, const char* path,
                            const void* type, uint16_t id);
uint16_t EXEC_RSCBuildIndex(RSCFile* rsc);
// Sorted key tree
void EXEC_TREEInit(KeyTree* tree);
void EXEC_TREEInitNode(KeyTreeNode* node, uint32_t key);
void EXEC_TREEInsert(KeyTree* tree, KeyTreeNode* node);
void EXEC_TREERemove(KeyTree* tree, KeyTreeNode* node);
KeyTreeNode* EXEC_TREEFirst(KeyTree* tree);
KeyTreeNode* EXEC_TREELast(KeyTree* tree);
KeyTreeNode* EXEC_TREENext(KeyTreeNode* node);
KeyTreeNode* EXEC_TREEPrev(KeyTreeNode* node);
KeyTreeNode* EXEC_TREEFind(KeyTree* tree, uint32_t key);
uint32_t EXEC_TREECount(KeyTree* tree);
}

namespace vantrel {

// --- Interrupt nesting and event locks, as the library's own services use them ---------------
// A lock helper calls a service directly (inlined) while its slot still holds this library's own
// function, and through the slot once a client has put another there: the same behaviour as a
// call through the table, without an indirect call in every memory, list and tree service.

constexpr uint32_t kIdEventUnlock = 0x10001010;
constexpr uint32_t kIdEventLock = 0x10001020;
constexpr int kEventSourceCount = 4;

inline void int_disable() {
    cpu_cli();
    ++state().int_nesting;
}

// The enable for a straight path that cleared the flag itself a few instructions before: the cli
// that starts an enable would only take in host input, which the sti takes in as well.
inline void int_enable_while_off() {
    LibraryState& s = state();
    if (--s.int_nesting > 0) return;
    s.int_nesting = 0;
    cpu_sti();
}

// The count changes only with interrupts off, so no interrupt sees it torn.
inline void int_enable() {
    cpu_cli();
    int_enable_while_off();
}

inline void call_int_disable(ExecTable* t) {
    if (t->EXEC_INTDisable == &EXEC_INTDisable)
        int_disable();
    else
        t->EXEC_INTDisable();
}

inline void call_int_enable(ExecTable* t) {
    if (t->EXEC_INTEnable == &EXEC_INTEnable)
        int_enable();
    else
        t->EXEC_INTEnable();
}

inline int16_t locked_once_more(int16_t count) {
    return static_cast<int16_t>(count + 1);
}

// An unlock without a lock is absorbed here rather than leaving a source locked ahead.
inline int16_t locked_once_less(int16_t count) {
    return static_cast<int16_t>(count > 0 ? count - 1 : 0);
}

// Every memory, list and tree service changes all four counts twice, so they are written out.
template <int16_t (*change)(int16_t)>
inline void change_every_count(EventSource* events) {
    events[0].lock_count = change(events[0].lock_count);
    events[1].lock_count = change(events[1].lock_count);
    events[2].lock_count = change(events[2].lock_count);
    events[3].lock_count = change(events[3].lock_count);
}

// Applies change to the lock count of the sources a source argument names; with interrupts off
// so that the dispatcher never sees a half-updated set. Interrupt slots are called through the
// table when a client replaced them.
template <int16_t (*change)(int16_t)>
void change_lock_counts(uint16_t source, uint32_t id) {
    TraceScope trace(id);
    ExecTable* t = exec();
    call_int_disable(t);
    EventSource* events = t->events;
    if (source == EXEC_EVENT_ALL) {
        change_every_count<change>(events);
    } else if (source < kEventSourceCount) {
        events[source].lock_count = change(events[source].lock_count);
    }
    call_int_enable(t);
}

inline void event_lock(uint16_t source) {
    change_lock_counts<locked_once_more>(source, kIdEventLock);
}

inline void event_unlock(uint16_t source) {
    change_lock_counts<locked_once_less>(source, kIdEventUnlock);
}

// The all-sources lock of the memory, list and tree services, kept straight: it runs only while
// the lock service and both interrupt slots are the library's own, and otherwise leaves the work
// to the lock slot.
template <int16_t (*change)(int16_t)>
inline void change_all_lock_counts(ExecTable* t, EXEC_EVENTLockFn service, EXEC_EVENTLockFn own,
                                   uint32_t id) {
    if (service != own || t->EXEC_INTDisable != &EXEC_INTDisable ||
        t->EXEC_INTEnable != &EXEC_INTEnable) {
        service(EXEC_EVENT_ALL);
        return;
    }
    TraceScope trace(id);
    int_disable();
    change_every_count<change>(t->events);
    int_enable_while_off();
}

// Holds every event source locked for its lifetime, as EXEC_EVENTLock / EXEC_EVENTUnlock in the
// table do.
class EventLockAll {
  public:
    EventLockAll() {
        ExecTable* t = exec();
        change_all_lock_counts<locked_once_more>(t, t->EXEC_EVENTLock, &EXEC_EVENTLock,
                                                 kIdEventLock);
    }
    ~EventLockAll() {
        ExecTable* t = exec();
        change_all_lock_counts<locked_once_less>(t, t->EXEC_EVENTUnlock, &EXEC_EVENTUnlock,
                                                 kIdEventUnlock);
    }
    EventLockAll(const EventLockAll&) = delete;
    EventLockAll& operator=(const EventLockAll&) = delete;
};

// Interrupts off for its lifetime (nesting), as EXEC_INTDisable / EXEC_INTEnable do.
class InterruptsOff {
  public:
    InterruptsOff() { call_int_disable(exec()); }
    ~InterruptsOff() { call_int_enable(exec()); }
    InterruptsOff(const InterruptsOff&) = delete;
    InterruptsOff& operator=(const InterruptsOff&) = delete;
};

} // namespace vantrel
