#include "recording_platform.h"

#include "driver/platform.h"

#include <cstring>

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

int platform_show_message(int kind, const char *text) {
    recorded_messages.push_back({kind, text});
    return 1;
}

void platform_advise_large_buffer(void *, std::size_t) {}

int platform_full_path(const char *, char *, unsigned) {
    return 0;
}

int platform_save_dialog(char *name, unsigned size, const char *, unsigned long *error) {
    dialog_offered = name;
    *error = dialog_error;
    if (!dialog_confirms)
        return 0;
    if (!dialog_answer.empty() && dialog_answer.size() < size)
        std::strcpy(name, dialog_answer.c_str());
    return 1;
}
