#include "output_name.h"

#include "common/messages.h"
#include "common/utf8.h"
#include "platform.h"

#include <cstdio>
#include <cstring>

static_assert(output_name_size >= output_name_input_part + 4 + 1, "name + \".tga\" + terminator");

static int equals_ignoring_case(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char la = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char lb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (la != lb)
            return 0;
    }
    return *a == *b;
}

// Only the last dot counts, wherever it stands in the path.
static int has_dds_suffix(const char *name) {
    const char *dot = std::strrchr(name, '.');
    return dot != nullptr && equals_ignoring_case(dot, ".dds");
}

// Copies the first `length` bytes of `source` into `name` under the proposal rule.
static void propose_from(const char *source, std::size_t length, char *name) {
    std::memcpy(name, source, length);
    name[length] = '\0';
    std::memcpy(has_dds_suffix(name) ? std::strrchr(name, '.') : name + length, ".tga",
                sizeof ".tga");
}

void propose_output_name(const char *input_name, char *name) {
    std::size_t length = std::strlen(input_name);
    if (length > output_name_input_part)
        length = utf8_cut_length(input_name, output_name_input_part);
    propose_from(input_name, length, name);
}

// Whether the proposal for `name` (`length` bytes), as long as the name or
// ".tga" longer, fits in `size` bytes with its terminator, and in the
// characters the dialog shows whole.
static int proposal_fits(const char *name, std::size_t length, unsigned size) {
    const std::size_t suffix = has_dds_suffix(name) ? 0 : sizeof ".tga" - 1;
    return length + suffix < size && utf16_units(name, length) + suffix <= dialog_name_units;
}

int propose_dialog_name(const char *path, char *name, unsigned size, char *folder) {
    std::size_t length = std::strlen(path);
    if (proposal_fits(path, length, size)) {
        propose_from(path, length, name);
        return 0;
    }
    // The folder keeps its closing separator: a drive's root stays C:\ and
    // does not become C:, the current folder on that drive.
    const char *own_name = path;
    for (const char *c = path; *c != '\0'; ++c)
        if (*c == '\\' || *c == '/')
            own_name = c + 1;
    const std::size_t folder_length = static_cast<std::size_t>(own_name - path);
    std::memcpy(folder, path, folder_length);
    folder[folder_length] = '\0';

    // A name too long even alone is cut to leave room for ".tga" and the terminator.
    length -= folder_length;
    if (!proposal_fits(own_name, length, size))
        length = utf8_cut_length(own_name, size - sizeof ".tga");
    propose_from(own_name, length, name);
    // A folder longer than the dialog takes whole it would cut, and open in
    // another folder, or take the cut part for a name: it gets none then.
    return folder_length > 0 && utf16_units(folder, folder_length) <= dialog_name_units;
}

std::size_t folder_part_length(const char *name) {
    std::size_t length = 0;
    for (const char *c = name; *c != '\0'; ++c)
        if (std::strchr(folder_separators, *c) != nullptr)
            length = static_cast<std::size_t>(c - name) + 1;
    return length;
}

int output_in_folder(const char *folder, const char *input_name, char *name) {
    static char proposal[output_name_size];
    propose_output_name(input_name + folder_part_length(input_name), proposal);
    const std::size_t folder_length = std::strlen(folder);
    const int separator =
        folder_length > 0 && std::strchr(folder_separators, folder[folder_length - 1]) == nullptr;
    const int length = std::snprintf(name, output_name_size, "%s%.*s%s", folder, separator,
                                     folder_separators, proposal);
    if (length < 0 || static_cast<unsigned>(length) >= output_name_size)
        return 0;
    return 1;
}

output_name_outcome choose_output_name(const char *input_name, char *name) {
    // Where the platform gives the input's full path, the dialog opens in
    // the input's folder; otherwise the input name is proposed as given.
    static char path[windows_path_size];
    static char folder[windows_path_size];
    const char *initial_folder = nullptr;
    if (platform_full_path(input_name, path, windows_path_size)) {
        if (propose_dialog_name(path, name, output_name_size, folder))
            initial_folder = folder;
    } else {
        propose_output_name(input_name, name);
        // A name cut inside its folders would name a file in another folder,
        // shown (or, with nobody to ask, taken) as if it were the input's.
        if (folder_part_length(name) != folder_part_length(input_name)) {
            show_message(message_error, "%s", proposal_too_long);
            return output_name_failed;
        }
    }
    unsigned long error = 0;
    switch (platform_save_dialog(name, output_name_size, initial_folder, &error)) {
    case dialog_confirmed:
        return output_name_chosen;
    case dialog_chosen_free:
        return output_name_new;
    case dialog_taken_unasked:
        return output_name_proposed;
    case dialog_name_exists:
        show_message(message_error,
                     "%s exists; give the output name on the command line to replace it", name);
        return output_name_failed;
    case dialog_no_name:
        break;
    }
    if (error == 0)
        return output_name_cancelled;
    show_message(message_error, "Save dialog error: 0x%lx", error);
    return output_name_failed;
}
