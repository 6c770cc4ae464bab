// The entry point's work: the program-wide values and the choice of launch mode.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Program-wide values, set once by launch() before any job runs and only read afterwards.
extern bool watching;                 // true only in watch mode
extern std::vector<std::string> args; // the command line, args[0] the program path

// Keeps the command line in `args`, chooses the mode and runs it. Returns the exit status (always
// 0) for the modes that end by returning; the application modes end the process themselves.
int launch(std::vector<std::string> commandLine);

// The "--idle" value as strtod reads it in the "C" locale: the whole text, no leading white
// space, no range error. Nothing when it is not a number.
std::optional<double> parseIdle(const std::string& text);
