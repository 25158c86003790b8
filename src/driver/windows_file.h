// File helpers the Windows platform files share. Only files that include
// the Windows headers themselves include this one.
#ifndef DXTC2TGA_DRIVER_WINDOWS_FILE_H
#define DXTC2TGA_DRIVER_WINDOWS_FILE_H

#include <windows.h>

#include <cstddef>

// The C runtime's error number for a Windows error, as msvcrt maps them when
// a file call fails (_dosmaperr): the text shown is then the one fopen would
// have left in errno for the same failure.
int windows_error_number(DWORD error);

// Writes all `size` bytes at the handle's position; 0 on success, otherwise
// -1 with errno set to the real reason. A write that stops short (Wine on a
// full disk) sets no error, and msvcrt then leaves a stale errno: writing the
// rest makes the system say why it cannot be written.
int windows_write(HANDLE file, const void *data, std::size_t size);

#endif
