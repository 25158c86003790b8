// The program's own entry: command line, files, and the conversion pipeline.
#ifndef DXTC2TGA_DRIVER_CONVERT_H
#define DXTC2TGA_DRIVER_CONVERT_H

// Exit codes, one per stage that can fail.
enum exit_code {
    exit_success = 0, // also a cancelled save dialog
    exit_usage = 1,
    exit_open_input = 2,
    exit_dds_header = 3,
    exit_allocate = 4,
    exit_decode = 5,
    exit_open_output = 6,
    exit_tga_header = 7,
    exit_tga_image = 8,
    exit_tga_footer = 9, // also a failed save dialog
    exit_save_dialog = 9,
};

// Converts the DDS file named by the first argument after the program name
// into the TGA file named by the second (or chosen in the save dialog) and
// returns the exit code. Shows exactly one message, or none when the user
// cancels the save dialog.
int convert_main(int argc, char **argv);

#endif
