// Program-wide values. The constants are fixed; `watching` and `args` are set once by the entry
// point before any job runs and only read afterwards.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr double HOP = 0.01;       // seconds per envelope level
inline constexpr double FLOOR = -100.0;   // lowest envelope level in dB

// The deepest nesting of arrays and objects accepted in any JSON the helper reads: far beyond
// what a job or a transcript holds, and shallow enough that nothing recursive over it can run out
// of stack.
inline constexpr int MAX_NESTING = 512;

// The editor's two pasteboard types, used byte for byte.
inline constexpr std::string_view PR_ID =
    "dyn.ah62d4rv4gq80g55rf3u0k55cqy1gk7xbszyw66dusm1w85p4f7v0855prfwu";
inline constexpr std::string_view PR_XML =
    "dyn.ah62d4rv4gq80g55rf3u0k55cqy1gk7xbszyw66dusm10c3mtqz6gg4dbr3x0np5ysmu0g45msvw04";

extern bool watching;                 // true only in watch mode
extern std::vector<std::string> args; // the command line, args[0] the program path
