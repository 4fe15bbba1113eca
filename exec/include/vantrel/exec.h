/* The runtime library's binary interface: the Exec table a program receives from
 * EXEC_OpenExec, its records and the types of its 111 service slots. Every record is byte-packed,
 * little-endian, with 32-bit pointers (i386). */
#ifndef VANTREL_EXEC_H
#define VANTREL_EXEC_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* The head of every record kept on an ExecList. */
typedef struct ExecNode {
    struct ExecNode* next;
    struct ExecNode* prev;
} ExecNode;

/* > 0: the new node belongs after the listed one. */
typedef int16_t (*ExecCompareFunc)(ExecNode* new_node, ExecNode* listed);

enum { EXEC_LIST_UNORDERED = 0, EXEC_LIST_ORDERED = 5 };

typedef struct ExecList {
    ExecNode* head;
    ExecNode* tail;
    uint16_t kind;
    ExecCompareFunc compare;
    uint16_t count;
} ExecList;

enum {
    EXEC_EVENT_KEYBOARD = 0,
    EXEC_EVENT_MOUSE = 1,
    EXEC_EVENT_TIMER = 2,
    EXEC_EVENT_SPARE = 3,
    EXEC_EVENT_ALL = 0xff
};

typedef struct EventSource {
    int16_t lock_count;
    int16_t pending_count;
    int16_t busy_count;
    uint8_t reserved[12];
} EventSource;

#define EXEC_MEM_SIGNATURE 0x0F0F1234u

typedef struct MemBlockHeader {
    uint32_t signature;
    uint32_t size; /* requested size plus the 16 bytes of this header */
    struct MemBlockHeader* newer;
    struct MemBlockHeader* older;
} MemBlockHeader;

typedef struct ExecDate {
    int32_t year;
    uint8_t day;
    uint8_t month;
} ExecDate;

typedef struct ExecTime {
    uint8_t minute;
    uint8_t hour;
    uint8_t hundredths;
    uint8_t second;
} ExecTime;

typedef struct KeyTreeNode {
    uint32_t key;
    struct KeyTreeNode* left;
    struct KeyTreeNode* right;
    struct KeyTreeNode* parent;
    int16_t balance;
} KeyTreeNode;

typedef struct KeyTree {
    KeyTreeNode* root;
    KeyTreeNode* cached_node;
    uint32_t cached_key;
    uint16_t cache_valid;
    uint16_t balanced;
    uint32_t count;
} KeyTree;

/* A periodic timer callback on the library's timer list. */
typedef struct TimerNode {
    ExecNode node;
    int16_t counter;
    int16_t period;
    void (*callback)(void);
} TimerNode;

/* The mouse driver's registers at an event: AX, BX, CX, DX, SI, DI. */
typedef struct MouseRegs {
    uint16_t event_mask;
    uint16_t buttons;
    uint16_t x;
    uint16_t y;
    uint16_t mickeys_x;
    uint16_t mickeys_y;
} MouseRegs;

/* A shared library module's record, returned by its "_SLL_Initialise" entry. */
typedef struct SllLibrary {
    ExecNode node;
    char name[22];
    uint32_t module;
    uint16_t open_count;
    void (*cleanup)(void);
} SllLibrary;

/* An open resource file. */
typedef struct RSCFile {
    FILE* file;
    char type[4];
    uint16_t id;
} RSCFile;

/* A buffered reader or writer in front of an open file. */
typedef struct ExecStream ExecStream;

/* The DPMI real-mode call structure. */
typedef struct ExecRealRegs {
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
} ExecRealRegs;

/* The slot types, in slot order. */
typedef uint16_t (*EXEC_RSCCreateFn)(const char* path);
typedef RSCFile* (*EXEC_RSCOpenFn)(const char* path);
typedef void (*EXEC_RSCCloseFn)(RSCFile* rsc);
typedef uint16_t (*EXEC_RSCAddFn)(RSCFile* rsc, const void* type, uint16_t id, uint32_t size);
typedef uint16_t (*EXEC_RSCDeleteFn)(RSCFile* rsc, const void* type, uint16_t id);
typedef uint32_t (*EXEC_RSCFindFn)(RSCFile* rsc, const void* type, uint16_t id);
typedef uint32_t (*EXEC_RSCFindFirstFn)(RSCFile* rsc, void* type, uint16_t* id);
typedef uint32_t (*EXEC_RSCFindNextFn)(RSCFile* rsc, void* type, uint16_t* id);
typedef uint32_t (*EXEC_RSCReadFn)(RSCFile* rsc, uint32_t count, void* destination);
typedef uint32_t (*EXEC_RSCWriteFn)(RSCFile* rsc, uint32_t count, const void* source);
typedef void (*EXEC_RSCSavePackedFn)(const void* data, uint32_t size, const char* path,
                                     const void* type, uint16_t id, uint8_t method);
typedef uint32_t (*EXEC_RSCPackedSizeFn)(const char* path, const void* type, uint16_t id);
typedef uint16_t (*EXEC_RSCLoadPackedFn)(void* destination, uint32_t capacity, const char* path,
                                         const void* type, uint16_t id);
typedef uint16_t (*EXEC_RSCBuildIndexFn)(RSCFile* rsc);
typedef uint16_t (*EXEC_DISKGetGeometryFn)(uint16_t drive, uint16_t* cylinders, uint16_t* heads,
                                           uint16_t* sectors);
typedef uint16_t (*EXEC_DISKWriteTrackFn)(uint16_t cylinder, uint16_t head, const void* data);
typedef uint16_t (*EXEC_DISKReadTrackFn)(uint16_t cylinder, uint16_t head, void* destination);
typedef ExecStream* (*EXEC_STREAMOpenFn)(FILE* file, uint32_t size, uint16_t mode);
typedef uint16_t (*EXEC_STREAMCloseFn)(ExecStream* stream);
typedef uint32_t (*EXEC_STREAMReadFn)(void* destination, uint32_t count, ExecStream* stream);
typedef uint32_t (*EXEC_STREAMWriteFn)(const void* source, uint32_t count, ExecStream* stream);
typedef uint32_t (*EXEC_PACKCompressFn)(uint8_t method, const void* source, void* destination,
                                        uint32_t length);
typedef uint16_t (*EXEC_PACKDecompressFn)(const void* packed, void* destination,
                                          uint32_t packed_length);
typedef FILE* (*EXEC_FILEOpenFn)(const char* name, const char* mode);
typedef void (*EXEC_FILECloseFn)(FILE* file);
typedef uint32_t (*EXEC_FILEReadFn)(void* buffer, uint32_t size, uint32_t count, FILE* file);
typedef uint32_t (*EXEC_FILEWriteFn)(const void* buffer, uint32_t size, uint32_t count, FILE* file);
typedef int32_t (*EXEC_FILESeekFn)(FILE* file, int32_t offset, int32_t origin);
typedef int32_t (*EXEC_FILETellFn)(FILE* file);
typedef int32_t (*EXEC_FILEFlushFn)(FILE* file);
typedef uint32_t (*EXEC_FILELengthFn)(FILE* file);
typedef int32_t (*EXEC_FILEPrintfFn)(FILE* file, const char* format, ...);
typedef int32_t (*EXEC_PrintfFn)(const char* format, ...);
typedef void (*EXEC_TREEInitFn)(KeyTree* tree);
typedef void (*EXEC_TREEInitNodeFn)(KeyTreeNode* node, uint32_t key);
typedef void (*EXEC_TREEInsertFn)(KeyTree* tree, KeyTreeNode* node);
typedef void (*EXEC_TREERemoveFn)(KeyTree* tree, KeyTreeNode* node);
typedef KeyTreeNode* (*EXEC_TREEFirstFn)(KeyTree* tree);
typedef KeyTreeNode* (*EXEC_TREELastFn)(KeyTree* tree);
typedef KeyTreeNode* (*EXEC_TREENextFn)(KeyTreeNode* node);
typedef KeyTreeNode* (*EXEC_TREEPrevFn)(KeyTreeNode* node);
typedef KeyTreeNode* (*EXEC_TREEFindFn)(KeyTree* tree, uint32_t key);
typedef uint32_t (*EXEC_TREECountFn)(KeyTree* tree);
typedef void (*E_SetGFXActiveFn)(void (*restore)(void));
typedef void (*EXEC_CLOCKGetDateFn)(ExecDate* date);
typedef void (*EXEC_CLOCKSetDateFn)(ExecDate* date);
typedef void (*EXEC_CLOCKGetTimeFn)(ExecTime* time);
typedef void (*EXEC_CLOCKSetTimeFn)(ExecTime* time);
typedef void (*EXEC_DATEFormatFn)(char* text, ExecDate* date);
typedef void (*EXEC_TIMEFormatFn)(char* text, ExecTime* time);
typedef void (*EXEC_STRCopyFn)(char* destination, const char* source, uint32_t size);
typedef void (*EXEC_STRAppendFn)(char* destination, const char* source, uint16_t maximum);
typedef int16_t (*EXEC_STRCompareFn)(const char* first, const char* second, uint16_t count);
typedef int16_t (*EXEC_STRCompareNoCaseFn)(const char* first, const char* second, uint16_t count);
typedef long double (*EXEC_MATHFromLongFn)(int32_t n);
typedef int32_t (*EXEC_MATHToLongFn)(long double x);
typedef int32_t (*EXEC_MATHCompareFn)(long double a, long double b);
typedef long double (*EXEC_MATHAddFn)(long double a, long double b);
typedef long double (*EXEC_MATHSubFn)(long double a, long double b);
typedef long double (*EXEC_MATHMulFn)(long double a, long double b);
typedef long double (*EXEC_MATHDivFn)(long double a, long double b);
typedef uint16_t (*EXEC_DOSAllocFn)(uint16_t* segment, uint16_t* selector, uint16_t size);
typedef uint16_t (*EXEC_DOSFreeFn)(uint16_t selector);
typedef void (*EXEC_FARWriteByteFn)(uint16_t selector, uint32_t offset, uint8_t value);
typedef void (*EXEC_FARWriteWordFn)(uint16_t selector, uint32_t offset, uint16_t value);
typedef void (*EXEC_FARWriteLongFn)(uint16_t selector, uint32_t offset, uint32_t value);
typedef uint8_t (*EXEC_FARReadByteFn)(uint16_t selector, uint32_t offset);
typedef uint16_t (*EXEC_FARReadWordFn)(uint16_t selector, uint32_t offset);
typedef uint16_t (*EXEC_FARGetWordFn)(uint16_t selector, uint32_t offset);
typedef uint32_t (*EXEC_FARReadLongFn)(uint16_t selector, uint32_t offset);
typedef void (*EXEC_FARCopyToFn)(uint16_t selector, const void* source, uint32_t count,
                                 uint32_t offset);
typedef void (*EXEC_FARFillFn)(uint16_t selector, uint8_t value, uint32_t count, uint32_t offset);
typedef void (*EXEC_FARCopyFromFn)(uint16_t selector, void* destination, uint32_t count,
                                   uint32_t offset);
typedef uint16_t (*EXEC_SELCreateFn)(uint32_t base, uint32_t length);
typedef void (*EXEC_SELFreeFn)(uint16_t selector);
typedef uint32_t (*EXEC_PHYSMapFn)(uint32_t physical, uint32_t size);
typedef void (*E_SoundFn)(uint16_t divisor);
typedef void (*E_NoSoundFn)(void);
typedef void (*EXEC_INTDisableFn)(void);
typedef void (*EXEC_INTEnableFn)(void);
typedef void (*EXEC_EVENTUnlockFn)(uint16_t source);
typedef void (*EXEC_EVENTLockFn)(uint16_t source);
typedef TimerNode* (*EXEC_TIMERAddFn)(void (*callback)(void), int16_t period);
typedef void (*EXEC_TIMERRemoveFn)(TimerNode* timer);
typedef void (*EXEC_KEYSetHandlerFn)(void (*handler)(uint16_t scan_code));
typedef void (*EXEC_MOUSESetHandlerFn)(void (*handler)(MouseRegs* state));
typedef uint16_t (*EXEC_MOUSESetRangeFn)(int16_t left, int16_t top, int16_t right, int16_t bottom,
                                         int16_t ratio_x, int16_t ratio_y);
typedef void (*EXEC_DEBUGPrintfFn)(const char* format, ...);
typedef SllLibrary* (*EXEC_SLLOpenFn)(const char* name, uint16_t version, uint32_t argument);
typedef void (*EXEC_SLLCloseFn)(SllLibrary* library);
typedef ExecList* (*EXEC_LISTInitFn)(ExecList* list, uint16_t kind, ExecCompareFunc compare);
typedef ExecNode* (*EXEC_NODEInitFn)(ExecNode* node);
typedef void (*EXEC_LISTAddHeadFn)(ExecList* list, ExecNode* node);
typedef void (*EXEC_LISTAddTailFn)(ExecList* list, ExecNode* node);
typedef void (*EXEC_LISTInsertFn)(ExecList* list, ExecNode* node, ExecNode* before);
typedef void (*EXEC_LISTEnqueueFn)(ExecList* list, ExecNode* node);
typedef void (*EXEC_LISTRemoveFn)(ExecList* list, ExecNode* node);
typedef void* (*EXEC_MEMAllocFn)(uint32_t size, uint16_t owner);
typedef void* (*EXEC_MEMCallocFn)(uint32_t count, uint32_t item_size, uint16_t owner);
typedef void (*EXEC_MEMFreeFn)(void* block, uint16_t owner);
typedef void* (*EXEC_MEMAllocClearFn)(uint32_t size, uint16_t owner);
typedef void (*EXEC_MEMFarFreeFn)(void* block, uint16_t owner);
typedef void* (*EXEC_MEMFarMallocFn)(uint32_t size, uint16_t owner);
typedef uint32_t (*EXEC_MEMCoreLeftFn)(void);
typedef void (*EXEC_MEMGetUsageFn)(uint16_t owner, uint32_t* peak, uint32_t* current, char* name);
typedef void (*EXEC_MEMGetErrorsFn)(uint32_t* failed, uint32_t* rejected);
typedef uint16_t (*EXEC_MEMCompareFn)(const void* a, const void* b, uint32_t count);
typedef MemBlockHeader* (*EXEC_MEMFirstBlockFn)(void);
typedef MemBlockHeader* (*EXEC_MEMNextBlockFn)(MemBlockHeader* block);
typedef uint16_t (*EXEC_DPMIRealIntFn)(uint16_t interrupt, ExecRealRegs* regs);
typedef uint16_t (*EXEC_DPMIRealCallFn)(ExecRealRegs* regs);

typedef struct ExecTable {
    uint16_t version;
    uint16_t revision;
    uint16_t subrevision;
    char build_time[10];
    char build_date[14];
    ExecList libraries;
    uint32_t tick_count;
    uint32_t* function_stack;
    int32_t* function_depth;
    uint32_t* reserved_pointer1;
    uint32_t* reserved_pointer2;
    uint16_t reserved42;
    uint8_t* reserved_area_pointer; /* points to reserved_area */
    uint8_t reserved_area[9];
    uint16_t quiet;
    uint16_t reserved53;
    uint32_t bytes_allocated;
    uint32_t peak_allocated;
    uint32_t free_at_start;
    uint32_t reserved61;
    uint8_t reserved65[2];
    EventSource events[4];

    EXEC_RSCCreateFn EXEC_RSCCreate;
    EXEC_RSCOpenFn EXEC_RSCOpen;
    EXEC_RSCCloseFn EXEC_RSCClose;
    EXEC_RSCAddFn EXEC_RSCAdd;
    EXEC_RSCDeleteFn EXEC_RSCDelete;
    EXEC_RSCFindFn EXEC_RSCFind;
    EXEC_RSCFindFirstFn EXEC_RSCFindFirst;
    EXEC_RSCFindNextFn EXEC_RSCFindNext;
    EXEC_RSCReadFn EXEC_RSCRead;
    EXEC_RSCWriteFn EXEC_RSCWrite;
    EXEC_RSCSavePackedFn EXEC_RSCSavePacked;
    EXEC_RSCPackedSizeFn EXEC_RSCPackedSize;
    EXEC_RSCLoadPackedFn EXEC_RSCLoadPacked;
    EXEC_RSCBuildIndexFn EXEC_RSCBuildIndex;
    EXEC_DISKGetGeometryFn EXEC_DISKGetGeometry;
    EXEC_DISKWriteTrackFn EXEC_DISKWriteTrack;
    EXEC_DISKReadTrackFn EXEC_DISKReadTrack;
    EXEC_STREAMOpenFn EXEC_STREAMOpen;
    EXEC_STREAMCloseFn EXEC_STREAMClose;
    EXEC_STREAMReadFn EXEC_STREAMRead;
    EXEC_STREAMWriteFn EXEC_STREAMWrite;
    EXEC_PACKCompressFn EXEC_PACKCompress;
    EXEC_PACKDecompressFn EXEC_PACKDecompress;
    EXEC_FILEOpenFn EXEC_FILEOpen;
    EXEC_FILECloseFn EXEC_FILEClose;
    EXEC_FILEReadFn EXEC_FILERead;
    EXEC_FILEWriteFn EXEC_FILEWrite;
    EXEC_FILESeekFn EXEC_FILESeek;
    EXEC_FILETellFn EXEC_FILETell;
    EXEC_FILEFlushFn EXEC_FILEFlush;
    EXEC_FILELengthFn EXEC_FILELength;
    EXEC_FILEPrintfFn EXEC_FILEPrintf;
    EXEC_PrintfFn EXEC_Printf;
    EXEC_TREEInitFn EXEC_TREEInit;
    EXEC_TREEInitNodeFn EXEC_TREEInitNode;
    EXEC_TREEInsertFn EXEC_TREEInsert;
    EXEC_TREERemoveFn EXEC_TREERemove;
    EXEC_TREEFirstFn EXEC_TREEFirst;
    EXEC_TREELastFn EXEC_TREELast;
    EXEC_TREENextFn EXEC_TREENext;
    EXEC_TREEPrevFn EXEC_TREEPrev;
    EXEC_TREEFindFn EXEC_TREEFind;
    EXEC_TREECountFn EXEC_TREECount;
    E_SetGFXActiveFn E_SetGFXActive;
    EXEC_CLOCKGetDateFn EXEC_CLOCKGetDate;
    EXEC_CLOCKSetDateFn EXEC_CLOCKSetDate;
    EXEC_CLOCKGetTimeFn EXEC_CLOCKGetTime;
    EXEC_CLOCKSetTimeFn EXEC_CLOCKSetTime;
    EXEC_DATEFormatFn EXEC_DATEFormat;
    EXEC_TIMEFormatFn EXEC_TIMEFormat;
    EXEC_STRCopyFn EXEC_STRCopy;
    EXEC_STRAppendFn EXEC_STRAppend;
    EXEC_STRCompareFn EXEC_STRCompare;
    EXEC_STRCompareNoCaseFn EXEC_STRCompareNoCase;
    EXEC_MATHFromLongFn EXEC_MATHFromLong;
    EXEC_MATHToLongFn EXEC_MATHToLong;
    EXEC_MATHCompareFn EXEC_MATHCompare;
    EXEC_MATHAddFn EXEC_MATHAdd;
    EXEC_MATHSubFn EXEC_MATHSub;
    EXEC_MATHMulFn EXEC_MATHMul;
    EXEC_MATHDivFn EXEC_MATHDiv;
    EXEC_DOSAllocFn EXEC_DOSAlloc;
    EXEC_DOSFreeFn EXEC_DOSFree;
    EXEC_FARWriteByteFn EXEC_FARWriteByte;
    EXEC_FARWriteWordFn EXEC_FARWriteWord;
    EXEC_FARWriteLongFn EXEC_FARWriteLong;
    EXEC_FARReadByteFn EXEC_FARReadByte;
    EXEC_FARReadWordFn EXEC_FARReadWord;
    EXEC_FARGetWordFn EXEC_FARGetWord;
    EXEC_FARReadLongFn EXEC_FARReadLong;
    EXEC_FARCopyToFn EXEC_FARCopyTo;
    EXEC_FARFillFn EXEC_FARFill;
    EXEC_FARCopyFromFn EXEC_FARCopyFrom;
    EXEC_SELCreateFn EXEC_SELCreate;
    EXEC_SELFreeFn EXEC_SELFree;
    EXEC_PHYSMapFn EXEC_PHYSMap;
    E_SoundFn E_Sound;
    E_NoSoundFn E_NoSound;
    EXEC_INTDisableFn EXEC_INTDisable;
    EXEC_INTEnableFn EXEC_INTEnable;
    EXEC_EVENTUnlockFn EXEC_EVENTUnlock;
    EXEC_EVENTLockFn EXEC_EVENTLock;
    EXEC_TIMERAddFn EXEC_TIMERAdd;
    EXEC_TIMERRemoveFn EXEC_TIMERRemove;
    EXEC_KEYSetHandlerFn EXEC_KEYSetHandler;
    EXEC_MOUSESetHandlerFn EXEC_MOUSESetHandler;
    EXEC_MOUSESetRangeFn EXEC_MOUSESetRange;
    EXEC_DEBUGPrintfFn EXEC_DEBUGPrintf;
    EXEC_SLLOpenFn EXEC_SLLOpen;
    EXEC_SLLCloseFn EXEC_SLLClose;
    EXEC_LISTInitFn EXEC_LISTInit;
    EXEC_NODEInitFn EXEC_NODEInit;
    EXEC_LISTAddHeadFn EXEC_LISTAddHead;
    EXEC_LISTAddTailFn EXEC_LISTAddTail;
    EXEC_LISTInsertFn EXEC_LISTInsert;
    EXEC_LISTEnqueueFn EXEC_LISTEnqueue;
    EXEC_LISTRemoveFn EXEC_LISTRemove;
    EXEC_MEMAllocFn EXEC_MEMAlloc;
    EXEC_MEMCallocFn EXEC_MEMCalloc;
    EXEC_MEMFreeFn EXEC_MEMFree;
    EXEC_MEMAllocClearFn EXEC_MEMAllocClear;
    EXEC_MEMFarFreeFn EXEC_MEMFarFree;
    EXEC_MEMFarMallocFn EXEC_MEMFarMalloc;
    EXEC_MEMCoreLeftFn EXEC_MEMCoreLeft;
    EXEC_MEMGetUsageFn EXEC_MEMGetUsage;
    EXEC_MEMGetErrorsFn EXEC_MEMGetErrors;
    EXEC_MEMCompareFn EXEC_MEMCompare;
    EXEC_MEMFirstBlockFn EXEC_MEMFirstBlock;
    EXEC_MEMNextBlockFn EXEC_MEMNextBlock;
    EXEC_DPMIRealIntFn EXEC_DPMIRealInt;
    EXEC_DPMIRealCallFn EXEC_DPMIRealCall;

    uint32_t base_address;
} ExecTable;

#pragma pack(pop)

/* Opens the library: the table, or null where it cannot run. Mode bit 0: debug output to
 * "debug.txt" and a closing report; the value 3: the debug file kept open until the close. */
ExecTable* EXEC_OpenExec(uint16_t mode);
void EXEC_CloseExec(void);
/* Registers the routine that puts the screen back into a text mode before a crash report (0:
 * none); it is called at most once. Also the table's slot E_SetGFXActive. */
void E_SetGFXActive(void (*restore)(void));

/* The hardware entries exported by name. E_Sound starts the speaker tone of 1193182 Hz / divisor,
 * E_NoSound ends it; both are in the table too. E_GetBaseAddress0 reads the PCI configuration
 * dword at config_address + offset (bit 31 enable, bus in bits 16-23, device 11-15, function
 * 8-10; offset 0x10 is base address register 0). */
void E_Sound(uint16_t divisor);
void E_NoSound(void);
uint32_t E_GetBaseAddress0(uint32_t config_address, uint32_t offset);

#define VANTREL_CHECK_OFFSET(type, field, offset)                                                  \
    VANTREL_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field)
#ifdef __cplusplus
#define VANTREL_STATIC_ASSERT(condition, text) static_assert(condition, text)
#else
#define VANTREL_STATIC_ASSERT(condition, text)                                                     \
    typedef char VANTREL_CONCAT(vantrel_check_, __LINE__)[(condition) ? 1 : -1]
#define VANTREL_CONCAT(a, b) VANTREL_CONCAT2(a, b)
#define VANTREL_CONCAT2(a, b) a##b
#endif

VANTREL_STATIC_ASSERT(sizeof(ExecNode) == 8, "ExecNode");
VANTREL_CHECK_OFFSET(ExecList, tail, 4);
VANTREL_CHECK_OFFSET(ExecList, kind, 8);
VANTREL_CHECK_OFFSET(ExecList, compare, 10);
VANTREL_CHECK_OFFSET(ExecList, count, 14);
VANTREL_STATIC_ASSERT(sizeof(ExecList) == 16, "ExecList");
VANTREL_CHECK_OFFSET(EventSource, pending_count, 2);
VANTREL_CHECK_OFFSET(EventSource, busy_count, 4);
VANTREL_CHECK_OFFSET(EventSource, reserved, 6);
VANTREL_STATIC_ASSERT(sizeof(EventSource) == 18, "EventSource");
VANTREL_CHECK_OFFSET(MemBlockHeader, size, 4);
VANTREL_CHECK_OFFSET(MemBlockHeader, newer, 8);
VANTREL_CHECK_OFFSET(MemBlockHeader, older, 12);
VANTREL_STATIC_ASSERT(sizeof(MemBlockHeader) == 16, "MemBlockHeader");
VANTREL_CHECK_OFFSET(ExecDate, day, 4);
VANTREL_CHECK_OFFSET(ExecDate, month, 5);
VANTREL_STATIC_ASSERT(sizeof(ExecDate) == 6, "ExecDate");
VANTREL_CHECK_OFFSET(ExecTime, hour, 1);
VANTREL_CHECK_OFFSET(ExecTime, hundredths, 2);
VANTREL_CHECK_OFFSET(ExecTime, second, 3);
VANTREL_STATIC_ASSERT(sizeof(ExecTime) == 4, "ExecTime");
VANTREL_CHECK_OFFSET(KeyTreeNode, left, 4);
VANTREL_CHECK_OFFSET(KeyTreeNode, right, 8);
VANTREL_CHECK_OFFSET(KeyTreeNode, parent, 12);
VANTREL_CHECK_OFFSET(KeyTreeNode, balance, 16);
VANTREL_STATIC_ASSERT(sizeof(KeyTreeNode) == 18, "KeyTreeNode");
VANTREL_CHECK_OFFSET(KeyTree, cached_node, 4);
VANTREL_CHECK_OFFSET(KeyTree, cached_key, 8);
VANTREL_CHECK_OFFSET(KeyTree, cache_valid, 12);
VANTREL_CHECK_OFFSET(KeyTree, balanced, 14);
VANTREL_CHECK_OFFSET(KeyTree, count, 16);
VANTREL_STATIC_ASSERT(sizeof(KeyTree) == 20, "KeyTree");
VANTREL_CHECK_OFFSET(TimerNode, counter, 8);
VANTREL_CHECK_OFFSET(TimerNode, period, 10);
VANTREL_CHECK_OFFSET(TimerNode, callback, 12);
VANTREL_STATIC_ASSERT(sizeof(TimerNode) == 16, "TimerNode");
VANTREL_STATIC_ASSERT(sizeof(MouseRegs) == 12, "MouseRegs");
VANTREL_CHECK_OFFSET(SllLibrary, name, 8);
VANTREL_CHECK_OFFSET(SllLibrary, module, 30);
VANTREL_CHECK_OFFSET(SllLibrary, open_count, 34);
VANTREL_CHECK_OFFSET(SllLibrary, cleanup, 36);
VANTREL_CHECK_OFFSET(ExecRealRegs, eax, 28);
VANTREL_CHECK_OFFSET(ExecRealRegs, flags, 32);
VANTREL_CHECK_OFFSET(ExecRealRegs, ss, 48);
VANTREL_STATIC_ASSERT(sizeof(ExecRealRegs) == 50, "ExecRealRegs");

VANTREL_CHECK_OFFSET(ExecTable, revision, 0x02);
VANTREL_CHECK_OFFSET(ExecTable, subrevision, 0x04);
VANTREL_CHECK_OFFSET(ExecTable, build_time, 0x06);
VANTREL_CHECK_OFFSET(ExecTable, build_date, 0x10);
VANTREL_CHECK_OFFSET(ExecTable, libraries, 0x1e);
VANTREL_CHECK_OFFSET(ExecTable, tick_count, 0x2e);
VANTREL_CHECK_OFFSET(ExecTable, function_stack, 0x32);
VANTREL_CHECK_OFFSET(ExecTable, function_depth, 0x36);
VANTREL_CHECK_OFFSET(ExecTable, reserved_pointer1, 0x3a);
VANTREL_CHECK_OFFSET(ExecTable, reserved_pointer2, 0x3e);
VANTREL_CHECK_OFFSET(ExecTable, reserved42, 0x42);
VANTREL_CHECK_OFFSET(ExecTable, reserved_area_pointer, 0x44);
VANTREL_CHECK_OFFSET(ExecTable, reserved_area, 0x48);
VANTREL_CHECK_OFFSET(ExecTable, quiet, 0x51);
VANTREL_CHECK_OFFSET(ExecTable, reserved53, 0x53);
VANTREL_CHECK_OFFSET(ExecTable, bytes_allocated, 0x55);
VANTREL_CHECK_OFFSET(ExecTable, peak_allocated, 0x59);
VANTREL_CHECK_OFFSET(ExecTable, free_at_start, 0x5d);
VANTREL_CHECK_OFFSET(ExecTable, reserved61, 0x61);
VANTREL_CHECK_OFFSET(ExecTable, reserved65, 0x65);
VANTREL_CHECK_OFFSET(ExecTable, events, 0x67);
VANTREL_CHECK_OFFSET(ExecTable, events[1], 0x79);
VANTREL_CHECK_OFFSET(ExecTable, events[2], 0x8b);
VANTREL_CHECK_OFFSET(ExecTable, events[3], 0x9d);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_RSCCreate, 0xaf);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_RSCBuildIndex, 0xe3);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_DISKGetGeometry, 0xe7);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_STREAMOpen, 0xf3);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_PACKCompress, 0x103);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_PACKDecompress, 0x107);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_FILEOpen, 0x10b);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_FILELength, 0x127);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_Printf, 0x12f);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_TREEInit, 0x133);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_TREECount, 0x157);
VANTREL_CHECK_OFFSET(ExecTable, E_SetGFXActive, 0x15b);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_CLOCKGetDate, 0x15f);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_STRCompareNoCase, 0x183);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MATHFromLong, 0x187);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MATHDiv, 0x19f);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_DOSAlloc, 0x1a3);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_FARCopyTo, 0x1c7);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_SELCreate, 0x1d3);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_PHYSMap, 0x1db);
VANTREL_CHECK_OFFSET(ExecTable, E_Sound, 0x1df);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_INTDisable, 0x1e7);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_EVENTUnlock, 0x1ef);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_EVENTLock, 0x1f3);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_TIMERAdd, 0x1f7);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_DEBUGPrintf, 0x20b);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_SLLOpen, 0x20f);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_LISTInit, 0x217);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_LISTRemove, 0x22f);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MEMAlloc, 0x233);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MEMFarFree, 0x243);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MEMFarMalloc, 0x247);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MEMCoreLeft, 0x24b);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MEMCompare, 0x257);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_MEMNextBlock, 0x25f);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_DPMIRealInt, 0x263);
VANTREL_CHECK_OFFSET(ExecTable, EXEC_DPMIRealCall, 0x267);
VANTREL_CHECK_OFFSET(ExecTable, base_address, 0x26b);
VANTREL_STATIC_ASSERT(sizeof(ExecTable) == 0x26f, "ExecTable");

#ifdef __cplusplus
}
#endif

#endif
