// Where the helper's own files are: the stand-ins for the application bundle's paths.
#pragma once

#include <string>

// The helper's own executable (/proc/self/exe), or "" when it cannot be read.
std::string executablePath();

// The resource folder: <folder of the executable>/../lib/ToviHelper, or "" when the executable
// cannot be found. The bundle copy of whisper-cli is resourcePath() + "/whisper/whisper-cli".
std::string resourcePath();
