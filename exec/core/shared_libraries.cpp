// Shared library modules: loaded by name (or from the library folder on C:), initialised with the
// table, kept on the table's library list and shared by every opener of the same name.
#include "core/library.hpp"

#include <pcplat/win32.h>

#include <cstdio>
#include <cstring>

namespace vantrel {

namespace {

constexpr uint32_t kIdRelease = 0x10006010;
constexpr uint32_t kIdLoad = 0x10006020;
constexpr uint32_t kIdUnload = 0x10006030;
constexpr uint32_t kIdOpen = 0x10006040;
constexpr uint32_t kIdClose = 0x10006050;

constexpr const char* kEntryName = "_SLL_Initialise";
constexpr const char* kLibraryFolder = "c:\\sll\\";
// 35 characters and the NUL.
constexpr size_t kPathBufferSize = 36;
constexpr uint16_t kMostOpens = 0xFFFF;

using SllInitialise = SllLibrary* (*)(ExecTable* exec, uint32_t argument);

static_assert(sizeof(Win32Module) == sizeof(uint32_t), "a module handle fits the record's field");

uint32_t to_field(Win32Module module) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(module));
}

Win32Module from_field(uint32_t handle) {
    return reinterpret_cast<Win32Module>(static_cast<uintptr_t>(handle));
}

// The record's name field holds at most 21 characters and its NUL; one without a NUL in the
// field names nothing we could have asked for.
bool record_is_named(const SllLibrary* record, const char* name) {
    const void* end = std::memchr(record->name, '\0', sizeof record->name);
    return end && std::strcmp(record->name, name) == 0;
}

void release(Win32Module& module) {
    TraceScope trace(kIdRelease);
    if (!module) return;
    win32_free_library(module);
    module = nullptr;
}

// Call with every event source locked.
bool on_library_list(const SllLibrary* record) {
    for (const ExecNode* node = exec()->libraries.head; node; node = node->next)
        if (node == &record->node) return true;
    return false;
}

// Call with every event source locked.
SllLibrary* find_by_name(const char* name) {
    for (ExecNode* node = exec()->libraries.head; node; node = node->next) {
        SllLibrary* record = reinterpret_cast<SllLibrary*>(node);
        if (record_is_named(record, name)) return record;
    }
    return nullptr;
}

// Loads the module from path into module; false when the path does not fit the buffer, which is
// never tried cut short: a shortened name could load some other module.
bool load_from(Win32Module& module, const char* folder, const char* name) {
    char path[kPathBufferSize];
    const int length = std::snprintf(path, sizeof path, "%s%s", folder, name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
    module = win32_load_library(path);
    return module != nullptr;
}

// Whether a record on the list holds the module, which is then in use under the name in its
// record.
bool held_by_a_record(Win32Module module) {
    EventLockAll lock;
    for (const ExecNode* node = exec()->libraries.head; node; node = node->next)
        if (from_field(reinterpret_cast<const SllLibrary*>(node)->module) == module) return true;
    return false;
}

SllLibrary* load(const char* name, uint32_t argument) {
    TraceScope trace(kIdLoad);
    Win32Module module = nullptr;
    if (!load_from(module, "", name)) load_from(module, kLibraryFolder, name);
    if (!module) return nullptr;
    // The same file under another name ("LAMPS.SLL" for "lamps.sll"): that name cannot be the
    // one in its record, and its entry must not set up a running module a second time.
    if (held_by_a_record(module)) {
        release(module);
        return nullptr;
    }
    SllLibrary* record = nullptr;
    if (auto entry = reinterpret_cast<SllInitialise>(win32_get_proc_address(module, kEntryName)))
        record = entry(exec(), argument);
    if (record && !record_is_named(record, name)) {
        // The module set itself up before we could see it is not the one asked for (a renamed
        // file, say): let it undo that before it goes, or its memory and callbacks would
        // outlive its code.
        if (record->cleanup) record->cleanup();
        record = nullptr;
    }
    if (!record) {
        release(module);
        return nullptr;
    }
    exec()->EXEC_NODEInit(&record->node);
    record->module = to_field(module);
    record->open_count = 1;
    return record;
}

// Call with every event source locked.
void unload(SllLibrary* record) {
    TraceScope trace(kIdUnload);
    Win32Module module = from_field(record->module);
    if (record->cleanup) record->cleanup();
    // The record lives in the module: nothing touches it after this.
    release(module);
}

} // namespace

} // namespace vantrel

using namespace vantrel;

extern "C" SllLibrary* EXEC_SLLOpen(const char* name, uint16_t /*version*/, uint32_t argument) {
    TraceScope trace(kIdOpen);
    if (!name) return nullptr;
    {
        EventLockAll lock;
        if (SllLibrary* found = find_by_name(name)) {
            // Counted before the unlock, so that no event callback's close can unload the
            // module between our finding it and our counting ourselves; a count that cannot
            // rise any further is refused rather than wrapped to nothing.
            if (found->open_count == kMostOpens) return nullptr;
            ++found->open_count;
            return found;
        }
    }
    SllLibrary* record = load(name, argument);
    if (!record) return nullptr;
    EventLockAll lock;
    exec()->EXEC_LISTAddTail(&exec()->libraries, &record->node);
    return record;
}

extern "C" void EXEC_SLLClose(SllLibrary* library) {
    TraceScope trace(kIdClose);
    EventLockAll lock;
    if (!library || !on_library_list(library)) return;
    // A count of 0 (a record a client reset) goes as the last user does.
    if (library->open_count > 1) {
        --library->open_count;
        return;
    }
    library->open_count = 0;
    exec()->EXEC_LISTRemove(&exec()->libraries, &library->node);
    exec()->EXEC_NODEInit(&library->node);
    unload(library);
}
