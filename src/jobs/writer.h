// The result writer, shared by result files and the progress file.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// Puts at `path` what `fill` writes to the descriptor of a new, private regular file made in the
// same folder (never a link, FIFO or existing file; `path`+".tmp" when free, else a unique name),
// flushes it to the disk, moves it into place and flushes the folder. Only a regular file at
// `path` is ever replaced: anything else there (a device, FIFO, link or folder) is left alone and
// nothing is written (errno EEXIST). When `fill` returns false, or the file cannot be made,
// written, flushed or moved, nothing new reaches `path`, the temporary file is removed and an
// earlier file at `path` is removed too (a stale result must never pass for this job's answer).
// True when the new file reached `path`; on false errno tells why. What `fill` throws is thrown
// on, once the same is done.
bool writeStream(const std::string& path, const std::function<bool(int fd)>& fill);

// Serialises `value` as compact JSON (every "/" written as "\/", non-ASCII as raw UTF-8, no
// trailing line break) and puts it at `path` through writeStream(). Never throws and reports
// nothing; a value that cannot be serialised (a non-finite number, a string that is not UTF-8)
// touches no file at all.
void write(const nlohmann::json& value, const std::string& path);

// What writes `value` into an open file as write() would, serialising it straight into the file,
// so that no text of the whole value is ever held (a fill for writeStream()). Empty when the value
// cannot be serialised.
std::function<bool(int fd)> jsonFill(nlohmann::json value);

// The file half of write(): puts already serialised bytes at `path` through writeStream().
bool writeBytes(const std::string& bytes, const std::string& path);

// The exact bytes write() puts in the file, or nothing when the value cannot be serialised.
std::optional<std::string> serialise(const nlohmann::json& value);
