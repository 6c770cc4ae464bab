// The per-user pasteboard store: its content rules, its privacy, and atomic replacement.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/pasteboard.h"
#include "private_store.h"

namespace fs = std::filesystem;
using StoreTest = PrivateStore;

namespace {

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

}  // namespace

TEST_F(StoreTest, HoldsTheBytesOfDeclaredTypesOnly) {
  const std::string bytes("a\0b\xff\n", 5);
  EXPECT_FALSE(pasteboard::lookup("x").has_value());
  EXPECT_FALSE(pasteboard::set("x", bytes)) << "nothing is declared yet";

  ASSERT_TRUE(pasteboard::declare({"x", "a/b c%", ".", ""}));
  EXPECT_EQ(pasteboard::declared(), (std::vector<std::string>{"x", "a/b c%", ".", ""}));
  EXPECT_TRUE(pasteboard::set("x", bytes));
  EXPECT_TRUE(pasteboard::set("a/b c%", ""));
  EXPECT_TRUE(pasteboard::set(".", "dot"));
  EXPECT_FALSE(pasteboard::set("", "no file can bear an empty name"));
  EXPECT_FALSE(pasteboard::set("y", "undeclared"));
  EXPECT_EQ(pasteboard::lookup("x"), bytes);
  EXPECT_EQ(pasteboard::lookup("a/b c%"), "");
  EXPECT_EQ(pasteboard::lookup("."), "dot");
  EXPECT_FALSE(pasteboard::lookup("y").has_value());

  // Private folders and files, type names written out byte by byte.
  EXPECT_EQ(modeOf(runtime.path + "/ToviHelper"), 0700u);
  EXPECT_EQ(modeOf(folder()), 0700u);
  EXPECT_EQ(modeOf(folder() + "/x"), 0600u);
  EXPECT_TRUE(test::exists(folder() + "/a%2Fb%20c%25"));
  EXPECT_TRUE(test::exists(folder() + "/%2E"));

  // A new declaration drops the types it leaves out; those it keeps keep their bytes.
  ASSERT_TRUE(pasteboard::declare({"z", "x"}));
  EXPECT_EQ(pasteboard::lookup("x"), bytes);
  EXPECT_FALSE(pasteboard::lookup("a/b c%").has_value());
  EXPECT_FALSE(test::exists(folder() + "/a%2Fb%20c%25"));

  ASSERT_TRUE(pasteboard::clear());
  EXPECT_TRUE(pasteboard::declared().empty());
  EXPECT_FALSE(pasteboard::lookup("x").has_value());
  EXPECT_TRUE(fs::is_empty(folder()));
}

TEST_F(StoreTest, LivesInTheRuntimeFolderOnlyWhenThatIsAbsoluteAndOurs) {
  const std::string fallback = "/tmp/ToviHelper-" + std::to_string(::geteuid()) + "/pasteboard";
  EXPECT_EQ(pasteboard::location(), folder());
  ::setenv("XDG_RUNTIME_DIR", "relative/folder", 1);
  EXPECT_EQ(pasteboard::location(), fallback);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(pasteboard::location(), fallback);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(runtime.path.c_str(), 65534, 65534), 0);
    ::setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 1);
    EXPECT_EQ(pasteboard::location(), fallback);
  }
}

TEST_F(StoreTest, NeverUsesAFolderThatIsALinkOrOpenOrAnotherUsers) {
  ASSERT_TRUE(pasteboard::declare({"x"}));
  ASSERT_TRUE(pasteboard::set("x", "clip"));
  auto refused = [] {
    return !pasteboard::lookup("x") && pasteboard::declared().empty() && !pasteboard::set("x", "") &&
           !pasteboard::declare({"x"}) && !pasteboard::clear();
  };

  for (const mode_t mode : {0750, 0705, 0777}) {
    fs::permissions(folder(), static_cast<fs::perms>(mode));
    EXPECT_TRUE(refused()) << std::oct << mode;
  }
  fs::permissions(folder(), fs::perms::owner_all);
  EXPECT_EQ(pasteboard::lookup("x"), "clip");

  // A link in place of the store's own folder is not followed, even to a private folder.
  fs::rename(runtime.path + "/ToviHelper", runtime.path + "/elsewhere");
  fs::create_directory_symlink(runtime.path + "/elsewhere", runtime.path + "/ToviHelper");
  EXPECT_TRUE(refused());
  EXPECT_EQ(test::readFile(runtime.path + "/elsewhere/pasteboard/x"), "clip");
  fs::remove(runtime.path + "/ToviHelper");
  fs::rename(runtime.path + "/elsewhere", runtime.path + "/ToviHelper");

  if (::geteuid() != 0) GTEST_SKIP() << "making another user's folder needs root";
  ASSERT_EQ(::chown(folder().c_str(), 65534, 65534), 0);
  EXPECT_TRUE(refused());
  ASSERT_EQ(::chown(folder().c_str(), 0, 0), 0);
  ASSERT_EQ(::chown((runtime.path + "/ToviHelper").c_str(), 65534, 65534), 0);
  EXPECT_TRUE(refused());
}

TEST_F(StoreTest, AReaderNeverSeesHalfAWrite) {
  const std::string small(1000, 's');
  const std::string large(4 << 20, 'L');
  ASSERT_TRUE(pasteboard::declare({"x"}));
  ASSERT_TRUE(pasteboard::set("x", small));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done) {
      const auto bytes = pasteboard::lookup("x");
      if (!bytes || (*bytes != small && *bytes != large)) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(pasteboard::set("x", i % 2 ? small : large));
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  // Nothing half-made is left beside the types.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 2);
}
