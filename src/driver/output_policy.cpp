#include "output_policy.h"

#include <cerrno>
#include <cstring>

output_decision decide_output(const output_facts *facts) {
    if (facts->is_input)
        return decide_refuse_input;
    const int judged_texture = facts->signature == signature_dds ||
                               (facts->signature == signature_unreadable && facts->dds_name);
    if (facts->object != object_none && facts->object != object_device && judged_texture)
        return decide_refuse_texture;

    switch (facts->object) {
    case object_none:
        return decide_create;
    case object_stream: // the caller opened it for us: its redirection was the question
    case object_device: // /dev/null, a pipe, a terminal: nothing to lose
        return decide_in_place;
    case object_file:
        break;
    }
    if (facts->consent == consent_none)
        return decide_refuse_exists;
    if (facts->consent == consent_command_line && !facts->tga_name)
        return decide_ask;
    return facts->replace_keeps_all ? decide_replace : decide_in_place;
}

const char *refusal_reason(output_decision decision) {
    switch (decision) {
    case decide_refuse_input:
        return output_is_input_reason;
    case decide_refuse_texture:
        return output_is_dds_reason;
    case decide_refuse_exists:
        return std::strerror(EEXIST);
    case decide_ask: // the driver asks, and opens again with a yes
        return output_not_tga_reason;
    case decide_create:
    case decide_replace:
    case decide_in_place:
        break;
    }
    return nullptr;
}
