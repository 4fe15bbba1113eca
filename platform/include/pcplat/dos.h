/* DOS services (INT 21h). Paths are DOS paths: drive letters, backslashes, names without regard
 * to case. Calls that can fail return 0 on success and a DOS error code otherwise. */
#ifndef PCPLAT_DOS_H
#define PCPLAT_DOS_H

#include <pcplat/cpu.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    DOS_ERROR_FILE_NOT_FOUND = 2,
    DOS_ERROR_PATH_NOT_FOUND = 3,
    DOS_ERROR_ACCESS_DENIED = 5,
    DOS_ERROR_INVALID_HANDLE = 6,
    DOS_ERROR_WRITE_FAULT = 29,
};

/* 35h / 25h: the protected-mode interrupt vectors. */
void dos_get_vector(uint8_t n, FarPtr* vector);
void dos_set_vector(uint8_t n, FarPtr vector);

/* 41h: delete a file. Directories and read-only files are refused (access denied). */
int dos_delete(const char* path);

/* 40h: write to a handle (1 standard output, 2 standard error). */
int dos_write(uint16_t handle, const void* data, uint16_t count, uint16_t* written);

#ifdef __cplusplus
}
#endif

#endif
