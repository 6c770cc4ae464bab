// Clipboard jobs run through the built helper against a private store, and the companion command.
#include <filesystem>

#include "jobs/program.h"
#include "private_store.h"

using json = nlohmann::json;

namespace {

const std::string kNoClip =
    "No Premiere clip on the clipboard: select one caption clip in Premiere and press \xE2\x8C\x98"
    "C";
const std::string kNeeds = "clipboardWrite needs xmlPath and id";

test::Run pasteboardTool(const std::vector<std::string>& arguments) {
  return test::runProgram(TOVI_PASTEBOARD_BIN, arguments);
}

struct ClipboardTest : PrivateStore {
  // Runs one job in job mode and gives its result.
  json job(json fields) {
    fields["out"] = dir / "result.json";
    std::filesystem::remove(dir / "result.json");
    test::writeJob(dir / "job.tovijob", fields);
    const auto run = test::runHelper({dir / "job.tovijob"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    return test::readJson(dir / "result.json");
  }
  json write(const std::string& xml, const json& id) {
    test::writeFile(dir / "clip.xml", xml);
    return job({{"kind", "clipboardWrite"}, {"xmlPath", dir / "clip.xml"}, {"id", id}});
  }
  json read() { return job({{"kind", "clipboardRead"}}); }

  // Puts raw bytes on the pasteboard the way another application would.
  void put(const std::string& type, const std::string& bytes) {
    test::writeFile(dir / "bytes", bytes);
    ASSERT_EQ(pasteboardTool({"set", type, dir / "bytes"}).status, 0);
  }

  test::TempDir dir;
  const std::string xmlType{PR_XML}, idType{PR_ID};
};

}  // namespace

TEST_F(ClipboardTest, WhatIsWrittenReadsBack) {
  const std::string xml = "<?xml version=\"1.0\"?>\n<clip name=\"Caf\xC3\xA9 \xF0\x9F\x8E\xAC\"/>\n";
  for (const std::string id : {"c1", "\xC3\xA9\xE6\xBC\xA2", "a\xF0\x9F\x98\x80z", ""}) {
    ASSERT_EQ(write(xml, id), (json{{"ok", true}})) << id;
    EXPECT_EQ(read(), (json{{"ok", true}, {"xml", xml}, {"id", id}})) << id;
  }
  EXPECT_EQ(write("", "A"), (json{{"ok", true}}));
  EXPECT_EQ(read(), (json{{"ok", true}, {"xml", ""}, {"id", "A"}}));

  // Exactly the two types, the id first; UTF-16LE without mark or terminator.
  EXPECT_EQ(pasteboardTool({"list"}).output, idType + "\n" + xmlType + "\n");
  EXPECT_EQ(pasteboardTool({"get", idType}).output, std::string("A\0", 2));
  write("x", "\xF0\x9F\x98\x80");
  EXPECT_EQ(pasteboardTool({"get", idType}).output, std::string("\x3D\xD8\x00\xDE", 4));
}

TEST_F(ClipboardTest, ABadWriteLeavesTheEarlierClip) {
  ASSERT_EQ(write("<old/>", "old"), (json{{"ok", true}}));
  const json earlier = read();
  const json error{{"ok", false}, {"error", kNeeds}};
  test::writeFile(dir / "new.xml", "<new/>");
  EXPECT_EQ(job({{"kind", "clipboardWrite"}, {"xmlPath", dir / "missing.xml"}, {"id", "n"}}), error);
  EXPECT_EQ(job({{"kind", "clipboardWrite"}, {"xmlPath", dir.path}, {"id", "n"}}), error);
  EXPECT_EQ(job({{"kind", "clipboardWrite"}, {"xmlPath", dir / "new.xml"}}), error);
  EXPECT_EQ(job({{"kind", "clipboardWrite"}, {"id", "n"}}), error);
  EXPECT_EQ(read(), earlier);
}

TEST_F(ClipboardTest, ARefusedStoreFailsTheWrite) {
  ASSERT_EQ(write("<old/>", "old"), (json{{"ok", true}}));
  std::filesystem::permissions(folder(), std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(write("<new/>", "new"),
            (json{{"ok", false}, {"error", "Couldn't put the captions on the clipboard"}}));
  EXPECT_EQ(read(), (json{{"ok", false}, {"error", kNoClip}}));
}

TEST_F(ClipboardTest, ReadNeedsTheXmlAndForgivesABadId) {
  EXPECT_EQ(kNoClip.size(), 85u);
  const json noClip{{"ok", false}, {"error", kNoClip}};
  EXPECT_EQ(read(), noClip);
  put(idType, std::string("i\0", 2));
  EXPECT_EQ(read(), noClip) << "an id alone is no clip";
  put(xmlType, "<a>\xC3</a>");
  EXPECT_EQ(read(), noClip) << "XML that is not UTF-8";
  put(xmlType, "<a/>");
  EXPECT_EQ(read()["id"], "i");

  for (const std::string& broken : {std::string("i\0j", 3), std::string("\x3D\xD8", 2),
                                   std::string("\x3D\xD8i\0", 4), std::string("\x00\xDEi\0", 4)}) {
    put(idType, broken);
    EXPECT_EQ(read(), (json{{"ok", true}, {"xml", "<a/>"}, {"id", ""}}));
  }
  ASSERT_EQ(pasteboardTool({"declare", xmlType}).status, 0);
  EXPECT_EQ(read(), (json{{"ok", true}, {"xml", "<a/>"}, {"id", ""}}));
}

TEST_F(ClipboardTest, CompanionCommandListsGetsSetsAndClears) {
  const auto set = test::runProgram(
      "/bin/sh", {"-c", std::string("printf 'one\\ntwo' | ") + TOVI_PASTEBOARD_BIN + " set t/1"});
  ASSERT_EQ(set.status, 0) << set.output;
  put("t2", "2");
  EXPECT_EQ(pasteboardTool({"list"}).output, "t/1\nt2\n");
  EXPECT_EQ(pasteboardTool({"get", "t/1"}).output, "one\ntwo");
  EXPECT_EQ(pasteboardTool({"get", "t3"}).status, 1);
  EXPECT_EQ(pasteboardTool({"where"}).output, folder() + "\n");
  EXPECT_EQ(pasteboardTool({"clear"}).status, 0);
  EXPECT_EQ(pasteboardTool({"list"}).output, "");
  EXPECT_EQ(pasteboardTool({"frobnicate"}).status, 2);
}
