// The platform layer on Windows: a modal message box for every message and
// the common save dialog for the output name. This is the only file that
// includes the Windows headers.
#include "convert.h"
#include "messages.h"
#include "platform.h"

// windows.h first: commdlg.h needs the types it declares.
#include <windows.h>

#include <cerrno>
#include <commdlg.h>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <io.h>

static_assert(message_error == (MB_OK | MB_ICONERROR), "the kind is the message box style");
static_assert(message_information == (MB_OK | MB_ICONINFORMATION),
              "the kind is the message box style");

// The filter list: pairs of display text and pattern, each piece terminated,
// the list ended by an empty text (the literal's own terminator).
static const char save_filter[] = "TGA Files (*.tga)\0*.tga\0All Files (*.*)\0*.*\0";

// Appended when the user types a name without an extension (no dot).
static const char save_default_extension[] = "tga";

// The size of the request record up to its last field before the Windows
// 2000 extensions (OPENFILENAME_SIZE_VERSION_400A), as this target's headers
// lay it out: 76 bytes in a 32-bit program but 136 in a 64-bit one, where
// the pointers are wider. The dialog refuses a size it does not know with
// CDERR_STRUCTSIZE, so the 32-bit figure must not be stored in a 64-bit build.
constexpr DWORD save_request_size =
    offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(OPENFILENAMEA::lpTemplateName);
static_assert(sizeof(void *) != 4 || save_request_size == 76, "the 32-bit record is 76 bytes");
static_assert(sizeof(void *) != 8 || save_request_size == 136, "the 64-bit record is 136 bytes");

// The box shows the text alone: the file it is about is the one the user
// dropped or chose.
int platform_show_message(int kind, const char *, const char *text) {
    // No owner window: the program has none.
    return MessageBoxA(nullptr, text, message_caption, static_cast<UINT>(kind));
}

const char platform_manual[] = "README.txt beside dxtc2tga.exe";

int platform_is_folder(const char *name) {
    const DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The dialog opens in the folder of a name that holds a path, and otherwise
// in the folder it last used, which may be anywhere: the driver hands it the
// input's full path.
int platform_full_path(const char *name, char *path, unsigned size) {
    // 0: failed; `size` or more: the length the path needs.
    const DWORD length = GetFullPathNameA(name, size, path, nullptr);
    return length != 0 && length < size;
}

dialog_outcome platform_save_dialog(char *name, unsigned size, const char *folder,
                                    unsigned long *error) {
    OPENFILENAMEA request = {};
    request.lStructSize = save_request_size;
    request.lpstrFilter = save_filter;
    request.lpstrFile = name;
    request.nMaxFile = size;
    request.lpstrInitialDir = folder;
    request.Flags = OFN_OVERWRITEPROMPT;
    request.lpstrDefExt = save_default_extension;

    *error = 0;
    if (GetSaveFileNameA(&request))
        return dialog_confirmed; // the dialog itself asked before replacing a file
    // 0: the user cancelled; anything else is the dialog's own failure.
    *error = CommDlgExtendedError();
    return dialog_no_name;
}

std::FILE *platform_open_input(const char *name) {
    return std::fopen(name, "rb");
}

// Writing the output file: a file that can be replaced whole is written as a
// temporary file in the output's folder and moved over the name only once it
// is complete, so a failed conversion leaves the old file as it was.
static char output_path[MAX_PATH];    // the name as given
static char temporary_path[MAX_PATH]; // the temporary file, while it exists
static int output_may_replace;

// The C library's error number for what a file call left in GetLastError.
static int error_number(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

// What is there under `name` now, if anything: a handle that only reads
// the file's attributes, opened through to what the name points at.
static int file_information(const char *name, BY_HANDLE_FILE_INFORMATION *information,
                            DWORD *type) {
    HANDLE file = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    *type = GetFileType(file);
    const BOOL known = GetFileInformationByHandle(file, information);
    CloseHandle(file);
    if (!known) // a device has no file information
        std::memset(information, 0, sizeof *information);
    return 1;
}

static int same_file(const BY_HANDLE_FILE_INFORMATION *a, const BY_HANDLE_FILE_INFORMATION *b) {
    return a->dwVolumeSerialNumber == b->dwVolumeSerialNumber &&
           a->nFileIndexHigh == b->nFileIndexHigh && a->nFileIndexLow == b->nFileIndexLow;
}

// Makes the temporary file in the folder of output_path; 0 when none can be made.
static int make_temporary() {
    char folder[MAX_PATH];
    std::memcpy(folder, output_path, sizeof folder);
    char *end = std::strrchr(folder, '\\');
    char *slash = std::strrchr(folder, '/');
    if (slash != nullptr && (end == nullptr || slash > end))
        end = slash;
    if (end == nullptr)
        std::memcpy(folder, ".", sizeof ".");
    else
        end[1] = '\0';
    return GetTempFileNameA(folder, "dxt", 0, temporary_path) != 0;
}

std::FILE *platform_open_output(const char *name, int may_replace, std::FILE *input,
                                const char **reason) {
    temporary_path[0] = '\0';
    output_may_replace = may_replace;
    BY_HANDLE_FILE_INFORMATION status, input_status;
    DWORD type = FILE_TYPE_UNKNOWN;
    const int exists = file_information(name, &status, &type);
    if (exists && !may_replace) {
        *reason = std::strerror(EEXIST);
        return nullptr;
    }
    HANDLE input_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
    if (exists && GetFileInformationByHandle(input_handle, &input_status) &&
        same_file(&status, &input_status)) {
        *reason = output_is_input_reason;
        return nullptr;
    }
    // A read-only file may not be replaced, as it may not be opened for writing.
    if (exists && (status.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        *reason = std::strerror(EACCES);
        return nullptr;
    }

    // A device, a folder and a file with other names are written in place,
    // as is any file whose folder will not take a temporary file: opening
    // it then says why it cannot be written, if it cannot.
    const int in_place = std::strlen(name) >= sizeof output_path ||
                         (exists && (type != FILE_TYPE_DISK ||
                                     (status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                                     status.nNumberOfLinks > 1));
    if (!in_place) {
        std::memcpy(output_path, name, std::strlen(name) + 1);
        if (!make_temporary())
            temporary_path[0] = '\0';
    }
    std::FILE *output = std::fopen(temporary_path[0] != '\0' ? temporary_path : name, "wb");
    if (output == nullptr) {
        *reason = std::strerror(errno);
        if (temporary_path[0] != '\0')
            DeleteFileA(temporary_path);
        temporary_path[0] = '\0';
    }
    return output;
}

output_placement platform_finish_output(std::FILE *output, const char **reason) {
    if (std::fclose(output) != 0) {
        *reason = std::strerror(errno);
        if (temporary_path[0] != '\0')
            DeleteFileA(temporary_path);
        return output_not_placed;
    }
    if (temporary_path[0] == '\0')
        return output_placed;
    const DWORD replace = output_may_replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExA(temporary_path, output_path, replace))
        return output_placed;
    const int error = error_number(GetLastError());
    DeleteFileA(temporary_path);
    *reason = std::strerror(error);
    return error == EEXIST && !output_may_replace ? output_name_taken : output_not_placed;
}

void platform_discard_output(std::FILE *output) {
    std::fclose(output);
    if (temporary_path[0] != '\0')
        DeleteFileA(temporary_path);
}

// Large pages on Windows need the lock-pages-in-memory privilege, which a
// desktop utility run by a user does not hold: the buffer is used as it is.
void platform_advise_large_buffer(void *, std::size_t) {}

// The runtime expands wildcard patterns in the arguments before main sees
// them (a pattern that matches nothing stays as typed).
extern "C" int _dowildcard;
int _dowildcard = -1;

// A window-subsystem program: the runtime's start-up still parses the command
// line into the argument vector and calls main; no console is opened.
int main(int argc, char **argv) {
    return convert_main(argc, argv);
}
