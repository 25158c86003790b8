// The output file on Windows. What the name denotes, however it is spelled,
// is opened once before anything is written, observed through that handle
// (a disk file or not, the input, its first bytes, its links, who else has
// it open, its security), and judged by decide_output, shared with the
// POSIX build. A new file, or one that replaces a file whole, is written as
// a hidden temporary file in the output's own folder, marked to be deleted
// when its handle closes, so that an ended process leaves nothing behind;
// only once it is whole is the mark cleared and the file renamed over the
// name through its handle: onto a name that is still free, or over the file
// the first look found while the name still holds it. Anything else (a
// device, a file with several links, a file another program holds open, one
// whose security or streams a new file would not have, a folder that takes
// no new file) is written in place, as opening the name for writing would,
// and cut to its new length only at the end.
// rand_s, the system's random numbers, is declared only on request.
#define _CRT_RAND_S

#include "dds/dds_reader.h"
#include "driver/output_policy.h"
#include "driver/platform.h"

// windows.h first: aclapi.h needs the types it declares.
#include <windows.h>

#include <aclapi.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

// The longest path the wide calls take with the \\?\ prefix, in UTF-16
// units with the terminator: every full path the system can give us fits.
constexpr DWORD wide_path_units = 32768;

// The prefixes of a path: \\?\ hands a path to the file system as it is, with
// no MAX_PATH limit; \??\ is the same folder of names as the kernel spells
// it, which a rename through a handle expects; \\.\ names a device, or a
// file on a drive (\\.\C:\a).
static const wchar_t long_path_prefix[] = L"\\\\?\\";
static const wchar_t kernel_path_prefix[] = L"\\??\\";
static const wchar_t device_path_prefix[] = L"\\\\.\\";
static const wchar_t network_path_part[] = L"UNC\\";

// The temporary file's name: a dot, so that Unix file systems under Wine hide
// it too, the program's name and "win-" (a Linux run's temporary in a shared
// folder is never taken for a leftover of ours), 16 hexadecimal digits and
// the extension.
static const wchar_t temporary_prefix[] = L".dxtc2tga-win-";
static const wchar_t temporary_suffix[] = L".tmp";
constexpr int temporary_digits = 16;
static const wchar_t hex_digits[] = L"0123456789abcdef";
constexpr unsigned hex_digit_bits = 4; // each digit shows four bits of the number
constexpr int temporary_attempts = 100;

// The attributes a replaced file keeps: what it is to the shell, not what
// its contents are (compressed, sparse) nor read-only, which is refused.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What the output is while it is written.
static HANDLE output_handle = INVALID_HANDLE_VALUE; // the file the stream writes to
static int output_renamed;  // 1: a temporary, renamed over the name when whole
static int output_replaces; // 1: renamed over the file output_replaced, only while it is there
static BY_HANDLE_FILE_INFORMATION output_replaced; // what the first look found at the name
static wchar_t output_wide_name[wide_path_units];
static wchar_t output_full_path[wide_path_units];
static wchar_t temporary_path[wide_path_units];
static char failure_text[512]; // a reason composed here, shown after the caller's sentence

// The C runtime's error number for a Windows error, as msvcrt maps them when
// a file call fails (_dosmaperr): the text shown is then the one fopen would
// have left in errno for the same failure. Any other error is EINVAL.
static int windows_error_number(DWORD error) {
    static const struct {
        DWORD error;
        int number;
    } numbers[] = {{ERROR_FILE_NOT_FOUND, ENOENT},
                   {ERROR_PATH_NOT_FOUND, ENOENT},
                   {ERROR_INVALID_DRIVE, ENOENT},
                   {ERROR_BAD_NETPATH, ENOENT},
                   {ERROR_BAD_NET_NAME, ENOENT},
                   {ERROR_BAD_PATHNAME, ENOENT},
                   {ERROR_FILENAME_EXCED_RANGE, ENOENT},
                   {ERROR_ACCESS_DENIED, EACCES},
                   {ERROR_SHARING_VIOLATION, EACCES},
                   {ERROR_LOCK_VIOLATION, EACCES},
                   {ERROR_CURRENT_DIRECTORY, EACCES},
                   {ERROR_NETWORK_ACCESS_DENIED, EACCES},
                   {ERROR_CANNOT_MAKE, EACCES},
                   {ERROR_DRIVE_LOCKED, EACCES},
                   {ERROR_WRITE_PROTECT, EACCES},
                   {ERROR_INVALID_HANDLE, EBADF},
                   {ERROR_FILE_EXISTS, EEXIST},
                   {ERROR_ALREADY_EXISTS, EEXIST},
                   {ERROR_DISK_FULL, ENOSPC},
                   {ERROR_HANDLE_DISK_FULL, ENOSPC},
                   {ERROR_NOT_SAME_DEVICE, EXDEV},
                   {ERROR_NOT_ENOUGH_MEMORY, ENOMEM}};
    for (const auto &entry : numbers)
        if (entry.error == error)
            return entry.number;
    return EINVAL;
}

// The system's own text for a Windows error, in the code page of the ANSI
// calls, without its closing line break.
static const char *windows_error_text(DWORD error) {
    static char text[256];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    if (length == 0) {
        std::snprintf(text, sizeof text, "Windows error %lu", error);
        return text;
    }
    DWORD end = length;
    while (end > 0 && std::strchr("\r\n ", text[end - 1]) != nullptr)
        --end;
    text[end] = '\0';
    return text;
}

static std::FILE *refuse(const char **reason, const char *text) {
    *reason = text;
    return nullptr;
}

static std::FILE *refuse_error(const char **reason, DWORD error) {
    return refuse(reason, std::strerror(windows_error_number(error)));
}

static int starts_with(const wchar_t *text, const wchar_t *prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// Writes `path` (a full path) into `out` with `prefix` (\\?\ or \??\) in the
// form that prefix needs: C:\a as <prefix>C:\a, \\server\share\a as
// <prefix>UNC\server\share\a; a path that has a prefix already (\\.\C:\a
// among them, which names the file C:\a) keeps its rest.
static void prefixed_path(const wchar_t *path, const wchar_t *prefix, wchar_t *out) {
    std::wcscpy(out, prefix);
    if (starts_with(path, long_path_prefix) || starts_with(path, kernel_path_prefix) ||
        starts_with(path, device_path_prefix)) {
        std::wcscat(out, path + std::wcslen(long_path_prefix));
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        std::wcscat(out, network_path_part);
        std::wcscat(out, path + 2);
    } else {
        std::wcscat(out, path);
    }
}

// Whether the full path, with a prefix, fits the path buffers.
static int prefixed_path_fits(const wchar_t *path) {
    return std::wcslen(path) + std::wcslen(kernel_path_prefix) + std::wcslen(network_path_part) +
               temporary_digits + std::wcslen(temporary_prefix) + std::wcslen(temporary_suffix) <
           wide_path_units;
}

// 16 hexadecimal digits that another program cannot guess in advance: from
// the system's random number generator (rand_s), or where that fails from
// the clock and the process number.
static void random_digits(wchar_t *digits) {
    unsigned int high = 0, low = 0;
    if (rand_s(&high) != 0 || rand_s(&low) != 0) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        high = GetCurrentProcessId();
        low = counter.LowPart;
    }
    unsigned long long value = static_cast<unsigned long long>(high) << 32 | low;
    for (int i = temporary_digits - 1; i >= 0; --i, value >>= hex_digit_bits)
        digits[i] = hex_digits[value & ((1U << hex_digit_bits) - 1)];
    digits[temporary_digits] = L'\0';
}

// Marks the file to be deleted when its last handle closes, or clears the mark.
static int mark_for_deletion(HANDLE file, BOOL delete_file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = delete_file;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Whether `name` is one create_temporary makes: the prefix, 16 hexadecimal
// digits and the suffix.
static int is_temporary_name(const wchar_t *name) {
    const wchar_t *digits = name + std::wcslen(temporary_prefix);
    return std::wcslen(name) ==
               std::wcslen(temporary_prefix) + temporary_digits + std::wcslen(temporary_suffix) &&
           starts_with(name, temporary_prefix) &&
           std::wcsspn(digits, hex_digits) == temporary_digits &&
           std::wcscmp(digits + temporary_digits, temporary_suffix) == 0;
}

// Removes the temporary files left in the folder of temporary_path (whose
// own name starts at `own_name`) by runs ended in the instant between
// clearing the mark and the rename. One that a run is still writing is open
// to nobody else, so it cannot be removed and stays.
static void remove_left_temporaries(wchar_t *own_name) {
    std::wcscpy(own_name, temporary_prefix);
    std::wcscat(own_name, L"*");
    std::wcscat(own_name, temporary_suffix);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(temporary_path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (is_temporary_name(found.cFileName)) {
            std::wcscpy(own_name, found.cFileName);
            DeleteFileW(temporary_path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Creates a hidden temporary file in the folder of output_full_path, marked
// to go when its handle closes; INVALID_HANDLE_VALUE with the error set when
// the folder takes none.
static HANDLE create_temporary() {
    prefixed_path(output_full_path, long_path_prefix, temporary_path);
    wchar_t *own_name = std::wcsrchr(temporary_path, L'\\') + 1;
    remove_left_temporaries(own_name);
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        std::wcscpy(own_name, temporary_prefix);
        random_digits(own_name + std::wcslen(temporary_prefix));
        std::wcscat(own_name, temporary_suffix);
        // No sharing: nobody else opens it, not even to read the result.
        HANDLE file =
            CreateFileW(temporary_path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            // Where the file system keeps no such mark the file is still
            // removed by name after a failed write; only an ended process
            // then leaves it.
            mark_for_deletion(file, TRUE);
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return INVALID_HANDLE_VALUE;
}

// The first bytes of the open file, read from its start, which the handle
// keeps for the writing: a texture, something else, or unreadable (a file
// another program holds open without letting others read it).
static output_signature signature_of(HANDLE file, int readable) {
    unsigned char start[dds_signature_size];
    DWORD got = 0;
    if (!readable || !ReadFile(file, start, sizeof start, &got, nullptr))
        return signature_unreadable;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    return got == sizeof start && is_dds_signature(start) ? signature_dds : signature_other;
}

// How open_existing opened a file: which of its attempts succeeded.
enum existing_access {
    access_alone,      // read and write, nobody else has it open: it may be renamed over
    access_shared,     // read and write, shared with another program
    access_write_only, // only to write: another program lets nobody read it
};

// Opens what `output_wide_name` denotes (a file, a device, a pipe) to write
// it. First alone, with the right to rename over it: a file that another
// program has open cannot be replaced by renaming (Windows refuses to while
// it is open), and opening it alone shows whether one has. Else, with the
// others, to read and write it in place, or only to write it; else the
// reason it cannot be written. Its attributes and security can be read
// through every one of these.
static HANDLE open_existing(existing_access *access) {
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD observe = FILE_READ_ATTRIBUTES | READ_CONTROL;
    const struct {
        DWORD access, share;
        existing_access kind;
    } attempts[] = {{GENERIC_READ | GENERIC_WRITE | DELETE, 0, access_alone},
                    {GENERIC_READ | GENERIC_WRITE, share_all, access_shared},
                    {GENERIC_WRITE | observe, share_all, access_write_only}};
    for (const auto &attempt : attempts) {
        HANDLE file = CreateFileW(output_wide_name, attempt.access, attempt.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            *access = attempt.kind;
            return file;
        }
        if (GetLastError() != ERROR_ACCESS_DENIED && GetLastError() != ERROR_SHARING_VIOLATION)
            break; // no such file, or a name that no access would open
    }
    return INVALID_HANDLE_VALUE;
}

static std::FILE *stream_on(HANDLE file, const char **reason) {
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
    std::FILE *stream = descriptor < 0 ? nullptr : _fdopen(descriptor, "wb");
    if (stream == nullptr) {
        *reason = std::strerror(errno);
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseHandle(file);
        return nullptr;
    }
    output_handle = file;
    return stream;
}

static int ends_with_ignoring_case(const wchar_t *name, const wchar_t *suffix) {
    const std::size_t length = std::wcslen(name), suffix_length = std::wcslen(suffix);
    return length >= suffix_length && _wcsicmp(name + length - suffix_length, suffix) == 0;
}

// One file: the same volume and number. Under Wine the number is the Unix
// inode's, which a file made after another was deleted may take again.
static int same_file(const BY_HANDLE_FILE_INFORMATION *a, const BY_HANDLE_FILE_INFORMATION *b) {
    return a->dwVolumeSerialNumber == b->dwVolumeSerialNumber &&
           a->nFileIndexHigh == b->nFileIndexHigh && a->nFileIndexLow == b->nFileIndexLow;
}

// Whether the file holds more than its data: a named stream beside it. A
// file system that keeps no streams (FAT) says so by failing.
static int has_named_streams(HANDLE file) {
    alignas(FILE_STREAM_INFO) static char streams[sizeof(FILE_STREAM_INFO) + wide_path_units];
    if (!GetFileInformationByHandleEx(file, FileStreamInfo, streams, sizeof streams))
        return GetLastError() == ERROR_MORE_DATA;
    return reinterpret_cast<FILE_STREAM_INFO *>(streams)->NextEntryOffset != 0;
}

// Attributes that live in the file's data as the file system stores it, which
// a new file would not carry unless made so: written in place.
constexpr DWORD stored_attributes =
    FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_SPARSE_FILE;

// Who owns the file and who may do what with it: a new file replaces the
// old one only where it has the same.
constexpr SECURITY_INFORMATION kept_security =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Observes the object open as `file` (found at the output name) into
// `facts`, a disk file's identity into `status` and, where it could be
// replaced, its security into `security` (freed with LocalFree).
static void observe(HANDLE file, existing_access access, std::FILE *input,
                    BY_HANDLE_FILE_INFORMATION *status, output_facts *facts,
                    PSECURITY_DESCRIPTOR *security) {
    facts->object = object_device;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, status)) {
        facts->object = object_file;
        BY_HANDLE_FILE_INFORMATION input_status = {};
        HANDLE input_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
        facts->is_input = GetFileInformationByHandle(input_handle, &input_status) &&
                          same_file(status, &input_status);
    }
    facts->signature = signature_of(file, access != access_write_only);
    // Judged by the name as given: a spelling the disk knows otherwise
    // (o.tga. for o.tga) is asked about rather than replaced unasked.
    facts->dds_name = ends_with_ignoring_case(output_wide_name, L".dds");
    facts->tga_name = ends_with_ignoring_case(output_wide_name, L".tga");

    facts->replace_keeps_all =
        facts->object == object_file && access == access_alone && status->nNumberOfLinks == 1 &&
        (status->dwFileAttributes & stored_attributes) == 0 && !has_named_streams(file) &&
        GetSecurityInfo(file, SE_FILE_OBJECT, kept_security, nullptr, nullptr, nullptr, nullptr,
                        security) == ERROR_SUCCESS;
}

// Whether the new file `file` has the owner, group and access list `kept` of
// the file it replaces: from the folder, as the old one usually had them.
// Both descriptors come from GetSecurityInfo in the one self-contained
// layout, so equal contents are equal bytes; any difference (an inherited
// entry set apart, another order) counts as a difference.
static int has_kept_security(HANDLE file, PSECURITY_DESCRIPTOR kept) {
    PSECURITY_DESCRIPTOR security = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, kept_security, nullptr, nullptr, nullptr, nullptr,
                        &security) != ERROR_SUCCESS)
        return 0;
    const DWORD length = GetSecurityDescriptorLength(security);
    const int same =
        length == GetSecurityDescriptorLength(kept) && std::memcmp(security, kept, length) == 0;
    LocalFree(security);
    return same;
}

std::FILE *platform_open_output(const char *name, output_consent consent, std::FILE *input,
                                const char **reason) {
    output_handle = INVALID_HANDLE_VALUE;
    output_renamed = 0;
    output_replaces = 0;
    output_replaced = {};

    // The name in UTF-16, converted from the code page the ANSI calls use.
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, output_wide_name, wide_path_units) == 0)
        return refuse_error(reason, GetLastError());
    // The folder the file goes into is the one the name means now: a name
    // relative to another drive's current folder (M:out.tga) included.
    const DWORD length =
        GetFullPathNameW(output_wide_name, wide_path_units, output_full_path, nullptr);
    if (length == 0) { // "", " ": the reason is the one opening the name gives
        DWORD error = GetLastError();
        existing_access access = access_alone;
        HANDLE file = open_existing(&access);
        if (file == INVALID_HANDLE_VALUE)
            error = GetLastError();
        else
            CloseHandle(file);
        return refuse_error(reason, error);
    }
    if (length >= wide_path_units || !prefixed_path_fits(output_full_path))
        return refuse(reason, std::strerror(ENAMETOOLONG));

    // One look at what the name denotes, however it is spelled (\\.\C:\a
    // is the file C:\a): every refusal is judged on the object opened.
    output_facts facts = {};
    facts.consent = consent;
    existing_access access = access_alone;
    PSECURITY_DESCRIPTOR security = nullptr; // the replaced file's, from the first look
    HANDLE existing = open_existing(&access);
    if (existing == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A name the system refuses (x?.tga, a missing folder) is refused
        // now; only a free name in a folder that exists goes on.
        if (error != ERROR_FILE_NOT_FOUND) {
            if (consent == consent_none &&
                GetFileAttributesW(output_wide_name) != INVALID_FILE_ATTRIBUTES)
                return refuse(reason, std::strerror(EEXIST));
            return refuse_error(reason, error);
        }
        facts.object = object_none;
    } else {
        observe(existing, access, input, &output_replaced, &facts, &security);
    }

    const output_decision decision = decide_output(&facts);
    const char *refusal = refusal_reason(decision);
    // A read-only file refuses writing as opening it for writing would.
    if (refusal == nullptr && facts.object == object_file &&
        (output_replaced.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        refusal = std::strerror(EACCES);
    if (refusal != nullptr) {
        LocalFree(security);
        if (existing != INVALID_HANDLE_VALUE)
            CloseHandle(existing);
        return refuse(reason, refusal);
    }
    HANDLE temporary = decision == decide_in_place ? INVALID_HANDLE_VALUE : create_temporary();
    if (temporary == INVALID_HANDLE_VALUE && decision == decide_create)
        return refuse_error(reason, GetLastError()); // nothing was found: no security is held
    if (temporary != INVALID_HANDLE_VALUE && decision == decide_replace &&
        !has_kept_security(temporary, security)) {
        // The new file is not given the old one's owner and access list
        // where the folder does not give them: under Wine the list stands
        // for the Unix mode, and setting one sets a mode that need not be
        // the old one. It does not replace the old file then.
        CloseHandle(temporary); // marked to go
        DeleteFileW(temporary_path);
        temporary = INVALID_HANDLE_VALUE;
    }
    LocalFree(security);
    // Written where it is, as fopen(name, "wb") would: a folder that takes
    // no new file may still hold one we can write.
    if (temporary == INVALID_HANDLE_VALUE)
        return stream_on(existing, reason);
    if (decision == decide_replace) {
        output_replaces = 1;
        CloseHandle(existing);
    }
    output_renamed = 1;
    std::FILE *stream = stream_on(temporary, reason);
    if (stream == nullptr)
        DeleteFileW(temporary_path);
    return stream;
}

// Renames the whole temporary over the output's name through its handle:
// onto a free name, or over the file the first look found while it still
// has the name. Fails with ERROR_ALREADY_EXISTS where anything else has it.
static int rename_temporary(HANDLE file) {
    static wchar_t path[wide_path_units];
    prefixed_path(output_full_path, long_path_prefix, path);
    // Folders open too (backup semantics), so that one at the name is seen.
    HANDLE holder = CreateFileW(path, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    int replace = 0, taken = 0;
    if (holder == INVALID_HANDLE_VALUE) { // no file, or no folder: the rename says why
        taken = GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND;
    } else {
        BY_HANDLE_FILE_INFORMATION status = {};
        replace = GetFileInformationByHandle(holder, &status) && output_replaces &&
                  same_file(&status, &output_replaced);
        taken = !replace;
        CloseHandle(holder);
    }
    if (taken) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return 0;
    }
    alignas(FILE_RENAME_INFO) static char
        buffer[sizeof(FILE_RENAME_INFO) + wide_path_units * sizeof(wchar_t)];
    FILE_RENAME_INFO *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer);
    std::memset(buffer, 0, sizeof buffer); // no root folder: the path is a full one
    rename->ReplaceIfExists = replace;
    prefixed_path(output_full_path, kernel_path_prefix, rename->FileName);
    rename->FileNameLength = static_cast<DWORD>(std::wcslen(rename->FileName) * sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      sizeof(FILE_RENAME_INFO) + rename->FileNameLength);
}

output_placement platform_finish_output(std::FILE *output, const char **reason) {
    HANDLE file = output_handle;
    if (std::fflush(output) != 0) {
        *reason = std::strerror(errno);
        platform_discard_output(output);
        return output_not_placed;
    }
    // A disk file written in place is cut only once its new end is known.
    if (!output_renamed && GetFileType(file) == FILE_TYPE_DISK && !SetEndOfFile(file)) {
        *reason = std::strerror(windows_error_number(GetLastError()));
        platform_discard_output(output);
        return output_not_placed;
    }
    if (output_renamed) {
        // The temporary is hidden no longer: it takes the attributes of the
        // file it replaces (hidden, system and the like are the file's, not
        // its contents'), a new file none beyond the archive bit.
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes =
            output_replaces ? output_replaced.dwFileAttributes & kept_attributes : 0;
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
        if (!mark_for_deletion(file, FALSE) || !rename_temporary(file)) {
            const DWORD error = GetLastError();
            platform_discard_output(output);
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
                *reason = std::strerror(EEXIST);
                return output_name_taken;
            }
            std::snprintf(failure_text, sizeof failure_text, "%s%s", output_not_placed_reason,
                          windows_error_text(error));
            *reason = failure_text;
            return output_not_placed;
        }
    }
    output_renamed = 0;
    output_handle = INVALID_HANDLE_VALUE;
    if (std::fclose(output) != 0) {
        *reason = std::strerror(errno);
        return output_not_placed;
    }
    return output_placed;
}

void platform_discard_output(std::FILE *output) {
    if (output_renamed)
        mark_for_deletion(output_handle, TRUE);
    std::fclose(output);
    if (output_renamed)
        DeleteFileW(temporary_path); // where the mark was not kept
    output_renamed = 0;
    output_handle = INVALID_HANDLE_VALUE;
}
