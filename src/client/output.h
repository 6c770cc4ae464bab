// Writing what tovi makes wherever the user points it, as sox and ffmpeg do, without ever
// destroying what is there: a terminal, a device, a FIFO or a descriptor (/dev/stdout, /dev/fd/N,
// a shell's >(...)) is written in place; a link is followed to its target; a regular file is
// replaced atomically (a new file beside it, moved over it), keeping its mode and, where the
// system allows, its owner and group. A new file gets the mode the umask leaves of 0666.
#pragma once

#include <string>

// Writes `bytes` to `path` ("-" is standard output). Throws std::runtime_error "Cannot write
// PATH: cause".
void save(const std::string& path, const std::string& bytes);

// Throws as save() would where `path` can be seen already to take no file (its folder missing or
// closed to us, a folder in its place), so that a long run is not made for nothing. Opens nothing.
void checkWritable(const std::string& path);

// What `path` would write: two paths with the same key write the same file (a link and its
// target, "-" and /dev/stdout, a/../b and b).
std::string outputKey(const std::string& path);
