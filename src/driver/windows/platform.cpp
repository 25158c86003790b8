// The platform layer on Windows: a modal message box for every message and
// the common save dialog for the output name. The console companion has
// console.cpp in its place; what both do alike is in common.cpp, the output
// file in output_file.cpp. Only the files of this folder include the
// Windows headers.
#include "driver/platform.h"
#include "common/messages.h"
#include "driver/convert.h"

// windows.h first: commdlg.h needs the types it declares.
#include <windows.h>

#include <commdlg.h>
#include <cstddef>
#include <cstdio>

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
void platform_show_message(int kind, const char *, const char *text) {
    // No owner window: the program has none.
    MessageBoxA(nullptr, text, message_caption, static_cast<UINT>(kind));
}

const char platform_manual[] = "README.txt beside dxtc2tga.exe";

void platform_show_text(const char *text) {
    MessageBoxA(nullptr, text, message_caption, MB_OK | MB_ICONINFORMATION);
}

int platform_confirm_replace(const char *name) {
    static char question[message_buffer_size];
    std::snprintf(question, sizeof question, "%s is not a TGA file. Replace it?", name);
    // No is the default button: Enter keeps the file.
    return MessageBoxA(nullptr, question, message_caption,
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
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
    if (GetSaveFileNameA(&request)) {
        // The dialog itself asked before it let a person choose an existing
        // file; a name that no file has was agreed to as a new file only.
        if (GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES &&
            (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
            return dialog_chosen_free;
        return dialog_confirmed;
    }
    // 0: the user cancelled; anything else is the dialog's own failure.
    *error = CommDlgExtendedError();
    return dialog_no_name;
}

// A window-subsystem program: the runtime's start-up still parses the command
// line into the argument vector and calls main; no console is opened.
int main(int argc, char **argv) {
    return convert_main(argc, argv);
}
