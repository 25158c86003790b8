// Stands in for the platform layer in unit tests: records every message and
// answers the save dialog as the test says.
#ifndef DXTC2TGA_TESTS_RECORDING_PLATFORM_H
#define DXTC2TGA_TESTS_RECORDING_PLATFORM_H

#include <string>
#include <vector>

struct recorded_message {
    int kind;
    std::string text;
    std::string file; // the file it is about; empty for none
};

extern std::vector<recorded_message> recorded_messages;

// How the next save dialogs answer: confirmed with `dialog_answer` (empty:
// the proposal as offered), or failed with `dialog_error` (0: cancelled).
extern bool dialog_confirms;
extern std::string dialog_answer;
extern unsigned long dialog_error;
extern std::string dialog_offered; // the name the last dialog was shown with

void reset_platform();

#endif
