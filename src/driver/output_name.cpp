#include "output_name.h"

#include "messages.h"
#include "platform.h"
#include "utf8.h"

#include <cstring>

static_assert(output_name_size == output_name_input_part + 4 + 1, "name + \".tga\" + terminator");

static int equals_ignoring_case(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char la = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char lb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (la != lb)
            return 0;
    }
    return *a == *b;
}

void propose_output_name(const char *input_name, char *name) {
    std::size_t length = std::strlen(input_name);
    if (length > output_name_input_part)
        length = utf8_cut_length(input_name, output_name_input_part);
    std::memcpy(name, input_name, length);
    name[length] = '\0';

    // Only the last dot counts, wherever it stands in the path.
    char *dot = std::strrchr(name, '.');
    char *end = dot != nullptr && equals_ignoring_case(dot, ".dds") ? dot : name + length;
    std::memcpy(end, ".tga", sizeof ".tga");
}

output_name_outcome choose_output_name(const char *input_name, char *name) {
    propose_output_name(input_name, name);
    unsigned long error = 0;
    if (platform_save_dialog(name, output_name_size, &error))
        return output_name_chosen;
    if (error == 0)
        return output_name_cancelled;
    show_message(message_error, "Save dialog error: 0x%lx", error);
    return output_name_failed;
}
