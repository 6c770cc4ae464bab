// What the helper says about itself when asked from a terminal.
#pragma once

#include <string>

// The usage text for "--help", ending in a line feed.
std::string usageText();

// The version line for "--version": the helper's version and that of the bundled whisper-cli.
std::string versionText();
