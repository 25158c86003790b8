#include "recording_platform.h"

#include "common/messages.h"
#include "driver/platform.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

std::vector<recorded_message> recorded_messages;
bool dialog_confirms = true;
std::string dialog_answer;
unsigned long dialog_error = 0;
std::string dialog_offered;

void reset_platform() {
    recorded_messages.clear();
    dialog_confirms = true;
    dialog_answer.clear();
    dialog_error = 0;
    dialog_offered.clear();
}

void platform_show_message(int kind, const char *file, const char *text) {
    recorded_messages.push_back({kind, text, file != nullptr ? file : ""});
}

const char platform_manual[] = "the manual";

void platform_show_text(const char *text) {
    recorded_messages.push_back({message_information, text, ""});
}

int platform_confirm_replace(const char *) {
    return -1;
}

int platform_is_folder(const char *name) {
    struct stat status;
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
}

void platform_advise_large_buffer(void *, std::size_t) {}

int platform_full_path(const char *, char *, unsigned) {
    return 0;
}

dialog_outcome platform_save_dialog(char *name, unsigned size, const char *, unsigned long *error) {
    dialog_offered = name;
    *error = dialog_error;
    if (!dialog_confirms)
        return dialog_no_name;
    if (!dialog_answer.empty() && dialog_answer.size() < size)
        std::strcpy(name, dialog_answer.c_str());
    return dialog_confirmed;
}

// The files themselves, written in place: how the real layers put a file in
// place is tested against the executable.
std::FILE *platform_open_input(const char *name) {
    return std::fopen(name, "rb");
}

std::FILE *platform_open_output(const char *name, output_consent, std::FILE *,
                                const char **reason) {
    std::FILE *output = std::fopen(name, "wb");
    if (output == nullptr)
        *reason = std::strerror(errno);
    return output;
}

output_placement platform_finish_output(std::FILE *output, const char **reason) {
    if (std::fclose(output) == 0)
        return output_placed;
    *reason = std::strerror(errno);
    return output_not_placed;
}

void platform_discard_output(std::FILE *output) {
    std::fclose(output);
}

// A file the tests open is read as a file on a disk: its size, and seeks.
int platform_input_size(std::FILE *input, std::uint64_t *size) {
    const long start = std::ftell(input);
    if (start < 0 || std::fseek(input, 0, SEEK_END) != 0)
        return 0;
    const long end = std::ftell(input);
    std::fseek(input, start, SEEK_SET);
    if (end < 0)
        return 0;
    *size = static_cast<std::uint64_t>(end);
    return 1;
}

int platform_seek_input(std::FILE *input, std::uint64_t offset) {
    return std::fseek(input, static_cast<long>(offset), SEEK_SET);
}

void platform_advise_input(std::FILE *, std::uint64_t, std::uint64_t) {}

void platform_reserve_output(std::FILE *, std::uint64_t) {}
void platform_prepare_output_write() {}
