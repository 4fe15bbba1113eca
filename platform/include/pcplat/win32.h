/* What the DOS extender's kernel32 emulation gives a program: the extender probe, modules,
 * memory status, the console, directory search, directory creation, C streams by DOS path and
 * the file calls behind a safe replace (flush to the disk, move over an existing file). */
#ifndef PCPLAT_WIN32_H
#define PCPLAT_WIN32_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* Win32Module;

enum {
    WIN32_ERROR_FILE_NOT_FOUND = 2,
    WIN32_ERROR_PATH_NOT_FOUND = 3,
    WIN32_ERROR_ACCESS_DENIED = 5,
    WIN32_ERROR_INVALID_HANDLE = 6,
    WIN32_ERROR_WRITE_FAULT = 29,
    WIN32_ERROR_MOD_NOT_FOUND = 126,
    WIN32_ERROR_PROC_NOT_FOUND = 127,
    WIN32_ERROR_BAD_EXE_FORMAT = 193,
};

/* GetModuleHandleA: "kernel32.dll" (any case) is always loaded. */
Win32Module win32_get_module_handle(const char* name);
/* GetProcAddress. In kernel32 the extender's mark "Borland32" is found only under the extender
 * (a desk profile can take it away). In a loaded module a name is looked up as given, then
 * without its leading underscore. */
void* win32_get_proc_address(Win32Module module, const char* name);
/* LoadLibraryA by DOS path; FreeLibrary; GetLastError. */
Win32Module win32_load_library(const char* path);
int win32_free_library(Win32Module module);
uint32_t win32_get_last_error(void);

#pragma pack(push, 1)
typedef struct Win32MemoryStatus {
    uint32_t length;
    uint32_t memory_load;
    uint32_t total_phys;
    uint32_t avail_phys;
    uint32_t total_page_file;
    uint32_t avail_page_file;
    uint32_t total_virtual;
    uint32_t avail_virtual;
} Win32MemoryStatus;
#pragma pack(pop)

/* GlobalMemoryStatus */
void win32_global_memory_status(Win32MemoryStatus* status);

/* The console: 1 when a key is waiting; one key without echo or line buffering, waiting for it
 * (an extended key comes as 0, then its scan code on the next call); cursor to column 1, row 1. */
int console_key_waiting(void);
int console_read_key(void);
void console_cursor_home(void);

enum {
    DOS_ATTR_READONLY = 0x01,
    DOS_ATTR_HIDDEN = 0x02,
    DOS_ATTR_SYSTEM = 0x04,
    DOS_ATTR_DIRECTORY = 0x10,
    DOS_ATTR_ARCHIVE = 0x20,
};

/* One directory search. The pattern's last component may hold '*' and '?'. With no attribute
 * bits asked only ordinary files are found; 0x10 adds directories, 0x02 hidden entries, 0x04
 * system entries. Matches come by name, ignoring case. */
typedef struct DosFindData {
    uint32_t attrib;
    uint32_t size;
    uint16_t time; /* DOS packed time and date of the last write */
    uint16_t date;
    char name[256];
    void* search; /* the platform's state of this search */
} DosFindData;

/* 0 with the first (next) match in *find, -1 when there is none (the search is then closed). */
int win32_find_first(const char* pattern, uint32_t attrib, DosFindData* find);
int win32_find_next(DosFindData* find);
/* Ends a search early; harmless after -1. */
void win32_find_close(DosFindData* find);

/* Makes one directory; 0 on success, -1 on failure (parent missing, name taken, bad path). */
int win32_make_directory(const char* path);

/* fopen by DOS path. Without 'b' in the mode the stream is in text mode: CR LF reads as LF and
 * LF writes as CR LF. */
FILE* win32_fopen(const char* path, const char* mode);

/* FlushFileBuffers on a stream from win32_fopen: its buffer, then the file, out to the disk.
 * 0 on success, -1 on failure. */
int win32_flush_file_buffers(FILE* file);

/* MoveFileExA with MOVEFILE_REPLACE_EXISTING, within one drive: the file at from takes the name
 * to in one step, replacing an ordinary file of that name. 0 on success, -1 on failure (from
 * missing or not an ordinary file, to a directory or read-only, bad paths). */
int win32_move_file_replace(const char* from, const char* to);

#ifdef __cplusplus
}
static_assert(sizeof(Win32MemoryStatus) == 32, "MEMORYSTATUS is 32 bytes");
#endif

#endif
