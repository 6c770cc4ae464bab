// The result writer, shared by result files and the progress file.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// Serialises `value` as compact JSON (every "/" written as "\/", non-ASCII as raw UTF-8, no
// trailing line break) to path + ".tmp", removes whatever is at `path` and moves the new file into
// place. Never throws and reports nothing; a value that cannot be serialised (a non-finite number,
// a string that is not UTF-8) or a path that cannot be used writes no file at all.
void write(const nlohmann::json& value, const std::string& path);

// The file half of write(): puts already serialised bytes at `path` through path + ".tmp".
void writeBytes(const std::string& bytes, const std::string& path);

// The exact bytes write() puts in the file, or nothing when the value cannot be serialised.
std::optional<std::string> serialise(const nlohmann::json& value);
