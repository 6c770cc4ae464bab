// Well-formed UTF-8: what the result writer needs of every text, and what texts from outside (a
// child's output, a file, a path) are checked or repaired against.
#pragma once

#include <string>
#include <string_view>

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values beyond
// U+10FFFF).
bool isUtf8(std::string_view bytes);

// The bytes with each maximal ill-formed subsequence replaced by one U+FFFD, so that a text that
// came from outside can always be written.
std::string repairUtf8(std::string_view bytes);
