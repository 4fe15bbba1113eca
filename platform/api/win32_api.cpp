#include "machine/host_console.hpp"
#include "machine/machine.hpp"

#include <pcplat/win32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <unistd.h>

using pcplat::Machine;

namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kLargestFigure = 0x7FFFFFFF; // so that two figures still add up in 32 bits
constexpr uint32_t kUserAddressSpace = 0x7FFE0000;
constexpr const char* kExtenderMark = "Borland32";
constexpr const char* kCursorHome = "\x1b[H";

// The extender's kernel32 is not a file: it has a handle of its own and one entry that matters.
char g_kernel32_tag;
void extender_mark() {}

Machine& at_safe_point() {
    Machine& m = Machine::current();
    m.safe_point();
    return m;
}

bool equal_no_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool is_kernel32(const char* name) {
    return equal_no_case(name, "kernel32.dll") || equal_no_case(name, "kernel32");
}

uint32_t clamp_figure(uint64_t bytes) {
    return static_cast<uint32_t>(std::min<uint64_t>(bytes, kLargestFigure));
}

// The host's figures from /proc/meminfo, in bytes.
void host_memory(uint64_t& total, uint64_t& available, uint64_t& swap_total, uint64_t& swap_free) {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t value = 0;
    std::string unit;
    while (in >> key >> value) {
        std::getline(in, unit);
        if (key == "MemTotal:") total = value * kKiB;
        if (key == "MemAvailable:") available = value * kKiB;
        if (key == "SwapTotal:") swap_total = value * kKiB;
        if (key == "SwapFree:") swap_free = value * kKiB;
    }
}

} // namespace

extern "C" {

Win32Module win32_get_module_handle(const char* name) {
    Machine& m = at_safe_point();
    if (name && is_kernel32(name)) return &g_kernel32_tag;
    m.last_error = WIN32_ERROR_MOD_NOT_FOUND;
    return nullptr;
}

void* win32_get_proc_address(Win32Module module, const char* name) {
    Machine& m = at_safe_point();
    if (!module || !name) {
        m.last_error = WIN32_ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (module == &g_kernel32_tag) {
        if (std::strcmp(name, kExtenderMark) == 0 && m.profile().extender_present)
            return reinterpret_cast<void*>(&extender_mark);
        m.last_error = WIN32_ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    if (!m.modules.contains(module)) {
        m.last_error = WIN32_ERROR_INVALID_HANDLE;
        return nullptr;
    }
    void* entry = dlsym(module, name);
    // The desk's toolchain exports C names with a leading underscore; ours does not.
    if (!entry && name[0] == '_') entry = dlsym(module, name + 1);
    if (!entry) m.last_error = WIN32_ERROR_PROC_NOT_FOUND;
    return entry;
}

Win32Module win32_load_library(const char* path) {
    Machine& m = at_safe_point();
    if (!path) {
        m.last_error = WIN32_ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    if (is_kernel32(path)) return &g_kernel32_tag;
    const auto host = m.drives().resolve(path);
    std::error_code ec;
    if (!host || !std::filesystem::is_regular_file(*host, ec)) {
        m.last_error = WIN32_ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    void* handle = dlopen(host->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        m.last_error = WIN32_ERROR_BAD_EXE_FORMAT;
        return nullptr;
    }
    ++m.modules[handle];
    return handle;
}

int win32_free_library(Win32Module module) {
    Machine& m = at_safe_point();
    if (module == &g_kernel32_tag) return 1;
    if (!module || !m.modules.contains(module)) {
        m.last_error = WIN32_ERROR_INVALID_HANDLE;
        return 0;
    }
    // Each load is matched by one free, as the loader counts them.
    if (--m.modules[module] == 0) m.modules.erase(module);
    dlclose(module);
    return 1;
}

uint32_t win32_get_last_error(void) {
    return Machine::current().last_error;
}

void win32_global_memory_status(Win32MemoryStatus* status) {
    Machine& m = at_safe_point();
    if (!status) return;
    uint64_t total = 0, available = 0, swap_total = 0, swap_free = 0;
    const pcplat::Profile& p = m.profile();
    if (p.memory_from_host) {
        host_memory(total, available, swap_total, swap_free);
    } else {
        available = uint64_t{p.memory_available_kib} * kKiB;
        total = available;
        swap_free = swap_total = uint64_t{p.memory_swap_kib} * kKiB;
    }
    *status = Win32MemoryStatus{};
    status->length = sizeof(Win32MemoryStatus);
    status->total_phys = clamp_figure(total);
    status->avail_phys = clamp_figure(available);
    status->total_page_file = clamp_figure(swap_total);
    status->avail_page_file = clamp_figure(swap_free);
    status->memory_load =
        total ? static_cast<uint32_t>(100 - std::min<uint64_t>(100, available * 100 / total)) : 0;
    status->total_virtual = kUserAddressSpace;
    status->avail_virtual = kUserAddressSpace;
}

int console_key_waiting(void) {
    Machine& m = at_safe_point();
    if (m.pending_extended() || m.bios_key_waiting()) return 1;
    // On a temporary or unattended desk nothing else can answer (no panel program reaches it),
    // so a program polling for a key after piped input ended would wait for ever.
    if ((m.desk_is_temporary() || m.unattended()) && m.keyboard_input_ended())
        m.end_input_exhausted();
    // Programs poll this in a tight loop while a person thinks; on the desk each poll costs
    // the extender's console emulation some time, here a short rest keeps a core free.
    m.idle();
    return 0;
}

int console_read_key(void) {
    Machine& m = at_safe_point();
    if (auto& pending = m.pending_extended(); pending) {
        const int code = *pending;
        pending.reset();
        return code;
    }
    // Like the BIOS, the read lets the keyboard interrupt in while it waits.
    const bool was_enabled = m.interrupts_enabled();
    if (!was_enabled) m.sti();
    while (!m.bios_key_waiting()) {
        if (m.keyboard_input_ended()) m.end_input_exhausted();
        m.wait_interrupt();
    }
    if (!was_enabled) m.cli();
    const uint16_t key = m.bios_read_key();
    const uint8_t ascii = static_cast<uint8_t>(key);
    if (ascii == 0 || ascii == 0xE0) {
        m.pending_extended() = static_cast<uint8_t>(key >> 8);
        return 0;
    }
    return ascii;
}

void console_cursor_home(void) {
    Machine& m = at_safe_point();
    // Only a terminal understands it; a log of the run stays plain text.
    const bool terminal =
        m.host_console() ? m.host_console()->stdout_is_terminal() : isatty(STDOUT_FILENO) != 0;
    if (terminal) std::fputs(kCursorHome, stdout);
}

} // extern "C"
