// The stand-in for the general pasteboard: a per-user store on disk, shared by every process of
// the user. It lives in $XDG_RUNTIME_DIR/ToviHelper/pasteboard/ when XDG_RUNTIME_DIR names an
// absolute folder owned by the user, else in /tmp/ToviHelper-<uid>/pasteboard/. Its folders are
// made with mode 0700; a folder on that path that is a symbolic link, belongs to another user or
// is open to group or others is never used: lookups then find nothing and every write is refused.
//
// Content: one file per type holding its bytes exactly, named by the type with every byte outside
// A-Z a-z 0-9 . _ - written as %XX, and the list of declared types in order. Every file is
// replaced atomically, so a reader beside a writer sees the old bytes or the new, never a mix.
// Nothing ties two calls together: like the platform's pasteboard, any process may change the
// store between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pasteboard {

// The folder the store uses (whether or not it exists or is fit for use).
std::string location();

// The bytes of a declared type, or nothing: not declared, never set, more than `limit` bytes, or
// the store unusable.
std::optional<std::string> lookup(std::string_view type, size_t limit = SIZE_MAX);

// The number of bytes of a declared type, or nothing, as for lookup().
std::optional<uint64_t> size(std::string_view type);

// The declared types in the order of their declaration; empty when the store is unusable.
std::vector<std::string> declared();

// Removes every type's bytes and the declaration. False when the store is unusable.
bool clear();

// Replaces the declaration with `types`, in that order; the bytes of a type that is no longer
// declared are dropped. False when the store is unusable or the list cannot be written.
bool declare(const std::vector<std::string>& types);

// Replaces the bytes of a declared type. False, leaving the store as it was, when the type is not
// declared, the store is unusable or the bytes cannot be written.
bool set(std::string_view type, std::string_view bytes);

// The file name that holds a type's bytes.
std::string fileName(std::string_view type);

}  // namespace pasteboard
