// tovi-pasteboard: looks at and changes the user's pasteboard store, the way pbcopy/pbpaste or
// xclip serve a desktop clipboard. It uses the same store code as the helper.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/files.h"
#include "platform/pasteboard.h"

namespace {

constexpr const char* kUsage =
    "usage: tovi-pasteboard list                the declared types, one a line\n"
    "       tovi-pasteboard get TYPE            the bytes of TYPE on standard output\n"
    "       tovi-pasteboard set TYPE [FILE]     the bytes of FILE (or standard input) for TYPE,\n"
    "                                           declaring TYPE after the others when needed\n"
    "       tovi-pasteboard declare [TYPE...]   declare these types, in this order\n"
    "       tovi-pasteboard clear               remove every type and the declaration\n"
    "       tovi-pasteboard where               the folder of the store\n"
    "       tovi-pasteboard --help | --version\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "tovi-pasteboard: %s\n", message.c_str());
  return 1;
}

bool readInput(std::string& bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

bool writeOutput(const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
         std::fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string command = args.empty() ? "" : args[0];
  if ((command == "--help" || command == "--version") && args.size() == 1) {
    std::fputs(command == "--help" ? kUsage : "tovi-pasteboard " TOVI_VERSION "\n", stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const std::string refused = "the store at " + pasteboard::location() + " refused the change";

  if (command == "list" && args.size() == 1) {
    std::string lines;
    for (const auto& type : pasteboard::declared()) lines += type + '\n';
    return writeOutput(lines) ? 0 : fail("cannot write the list");
  }
  if (command == "get" && args.size() == 2) {
    const auto bytes = pasteboard::lookup(args[1]);
    if (!bytes) return fail("nothing of type " + args[1] + " on the pasteboard");
    return writeOutput(*bytes) ? 0 : fail("cannot write the bytes");
  }
  if (command == "set" && (args.size() == 2 || args.size() == 3)) {
    std::string bytes;
    if (args.size() == 3 && args[2] != "-") {
      const auto content = files::read(args[2]);
      if (!content) return fail("cannot read " + args[2]);
      bytes = *content;
    } else if (!readInput(bytes)) {
      return fail(std::string("cannot read standard input: ") + std::strerror(errno));
    }
    auto types = pasteboard::declared();
    if (std::find(types.begin(), types.end(), args[1]) == types.end()) {
      types.push_back(args[1]);
      if (!pasteboard::declare(types)) return fail(refused);
    }
    return pasteboard::set(args[1], bytes) ? 0 : fail(refused);
  }
  if (command == "declare") return pasteboard::declare({args.begin() + 1, args.end()}) ? 0 : fail(refused);
  if (command == "clear" && args.size() == 1) return pasteboard::clear() ? 0 : fail(refused);
  if (command == "where" && args.size() == 1) {
    std::printf("%s\n", pasteboard::location().c_str());
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
