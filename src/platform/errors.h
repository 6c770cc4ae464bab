// Errors of the platform that end a job and reach the user by their description.
#pragma once

#include <stdexcept>
#include <string>

// A runtime_error whose text is `what` + ": " + the C library's text for `err`
// ("Cannot move /a/r.json.tmp to /a/r.json: No such file or directory").
std::runtime_error systemError(const std::string& what, int err);
