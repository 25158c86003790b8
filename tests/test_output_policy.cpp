// The output decision as one table: facts observed, decision expected.
#include "driver/output_policy.h"

#include <gtest/gtest.h>

namespace {

struct policy_row {
    const char *what;
    output_facts facts;
    output_decision expected;
};

// Shorthands for the facts' fields, in their order: object, is_input,
// signature, dds_name, tga_name, consent, replace_keeps_all.
constexpr output_signature other = signature_other, dds = signature_dds,
                           unreadable = signature_unreadable;
constexpr output_consent nobody = consent_none, named = consent_command_line,
                         agreed = consent_confirmed;

const policy_row rows[] = {
    {"a free name", {object_none, 0, other, 0, 1, named, 1}, decide_create},
    {"a free name nobody asked for", {object_none, 0, other, 0, 1, nobody, 0}, decide_create},
    {"a free name ending in .dds", {object_none, 0, other, 1, 0, named, 1}, decide_create},
    {"a TGA file named", {object_file, 0, other, 0, 1, named, 1}, decide_replace},
    {"a TGA file that cannot keep all", {object_file, 0, other, 0, 1, named, 0}, decide_in_place},
    {"a TGA file a person agreed to", {object_file, 0, other, 0, 1, agreed, 1}, decide_replace},
    {"an existing file nobody agreed to",
     {object_file, 0, other, 0, 1, nobody, 1},
     decide_refuse_exists},
    {"another file named", {object_file, 0, other, 0, 0, named, 1}, decide_ask},
    {"another file, agreed", {object_file, 0, other, 0, 0, agreed, 1}, decide_replace},
    {"another file, agreed, in place", {object_file, 0, other, 0, 0, agreed, 0}, decide_in_place},
    {"a write-only TGA file", {object_file, 0, unreadable, 0, 1, named, 0}, decide_in_place},
    {"the input", {object_file, 1, dds, 1, 0, agreed, 1}, decide_refuse_input},
    {"the input as a stream", {object_stream, 1, dds, 1, 0, named, 0}, decide_refuse_input},
    {"the input as a device", {object_device, 1, other, 0, 0, named, 0}, decide_refuse_input},
    {"a texture named .tga", {object_file, 0, dds, 0, 1, agreed, 1}, decide_refuse_texture},
    {"a write-only texture", {object_file, 0, unreadable, 1, 0, agreed, 1}, decide_refuse_texture},
    {"a write-only .DDS", {object_file, 0, unreadable, 1, 0, named, 0}, decide_refuse_texture},
    {"a stream that is a texture", {object_stream, 0, dds, 0, 0, named, 0}, decide_refuse_texture},
    {"an append-only stream to a .dds",
     {object_stream, 0, unreadable, 1, 0, named, 0},
     decide_refuse_texture},
    {"a stream to a file", {object_stream, 0, other, 0, 0, named, 0}, decide_in_place},
    {"an unreadable stream", {object_stream, 0, unreadable, 0, 0, nobody, 0}, decide_in_place},
    {"/dev/null", {object_device, 0, unreadable, 0, 0, named, 0}, decide_in_place},
    {"a pipe nobody asked for", {object_device, 0, unreadable, 0, 0, nobody, 0}, decide_in_place},
};

TEST(decide_output, follows_the_table) {
    for (const policy_row &row : rows)
        EXPECT_EQ(decide_output(&row.facts), row.expected) << row.what;
}

} // namespace
