// Where the TGA file may go: one decision for both platforms. Each
// platform's output_file.cpp opens what the output name denotes, observes it
// (these facts), and carries out the decision; nothing here touches a file.
#ifndef DXTC2TGA_DRIVER_OUTPUT_POLICY_H
#define DXTC2TGA_DRIVER_OUTPUT_POLICY_H

// What the first look at the output name found.
enum output_object {
    object_none,   // nothing has the name: a new file is made
    object_file,   // a regular file on a disk, reached through the name
    object_stream, // an open standard stream the name denotes (/dev/stdout): written through it
    object_device, // anything else that takes writes: a device, a pipe, a terminal
};

// Whether the object's first bytes could be read, and what they were.
enum output_signature {
    signature_other,      // read, and not the DDS signature (or too short to hold it)
    signature_dds,        // the DDS signature: a texture
    signature_unreadable, // could not be read (a file we may only write, a stream open for writing)
};

// Who agreed that a file of that name may be replaced.
enum output_consent {
    consent_none,         // nobody: the proposal with nobody asked, or a name chosen as free
    consent_command_line, // named on the command line: a TGA file there is replaced unasked
    consent_confirmed,    // a person agreed to replace this file
};

struct output_facts {
    output_object object;
    int is_input; // the object is the input file itself
    output_signature signature;
    int dds_name; // the object's name ends in ".dds", in any case
    int tga_name; // the object's name ends in ".tga", in any case
    output_consent consent;
    // A new file put in its place would carry everything the old one does
    // (owner, group, mode, ACL, attributes, flags; its only name, nobody
    // else holding it open), and the folder takes a new file.
    int replace_keeps_all;
};

enum output_decision {
    decide_refuse_input,   // "Output file is the input file"
    decide_refuse_texture, // "Output file is a DDS file"
    decide_refuse_exists,  // a file has the name and nobody agreed to replace it
    decide_ask,            // an existing file that is no TGA file: a person must agree first
    decide_create,         // a new file, placed only while the name is still free
    decide_replace,        // a new file, renamed over the old one only while it still holds it
    decide_in_place,       // the object itself is written, as fopen(name, "wb") would
};

// The refusals come first and hold on every route: never the input, never a
// texture (by its signature, or by its name where the signature cannot be
// read). A file named on the command line is replaced without a question
// only when its name ends in ".tga"; any other regular file needs a
// person's yes. A replace happens only where it leaves what writing in
// place would; otherwise the file is written in place.
output_decision decide_output(const output_facts *facts);

// The reasons for a refusal, shown after "Error opening output file: ".
constexpr const char output_is_input_reason[] = "Output file is the input file";
// An existing file that starts with the DDS signature is a texture: a TGA
// never replaces it, whichever way its name came.
constexpr const char output_is_dds_reason[] = "Output file is a DDS file";
// An existing file named on the command line that is no TGA file, which
// nobody has agreed to replace: the driver asks (platform_confirm_replace).
inline constexpr const char output_not_tga_reason[] =
    "File exists and is no TGA file; delete it or name a .tga file";

// The reason `decision` refuses the output, or null where it lets the
// object be written (create, replace, in place).
const char *refusal_reason(output_decision decision);

#endif
