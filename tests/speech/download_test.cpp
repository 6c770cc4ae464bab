// Fetching a missing model from a loopback HTTP server with the system's curl and shasum,
// through the built helper (with a fake whisper-cli, so that the job ends at once).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <future>

#include "support.h"

namespace speech {
namespace {

const char* FAILED = "The speech model download failed (no internet?). Try again.";
const char* DAMAGED = "The speech model download was damaged. Try again.";

struct Download : ::testing::Test {
  Download() {
    test::writeFile(served / "m.bin", model);
    writeTone(dir / "a.wav", 0.2);
  }
  json run(const std::string& route, json extra = json::object()) {
    extra.update({{"wav", dir / "a.wav"}, {"model", modelPath}, {"modelURL", server.url + route},
                  {"whisper", fake.path}});
    return runJob(extra, dir);
  }
  test::TempDir served, dir;
  ModelServer server{served.path};
  FakeWhisper fake{{{"transcript", "{}"}}};
  std::string model = std::string(3000, 'm') + "model", modelPath = dir / "models/ggml/m.bin";
};

TEST_F(Download, FetchesVerifiesAndReportsProgress) {
  const std::string digest = test::runProgram("/usr/bin/shasum", {"-a", "256", served / "m.bin"}).output.substr(0, 64);
  std::string upper = digest;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  struct Case { std::string route; json extra; std::string error; bool stale = false; };
  for (const Case& c : std::vector<Case>{
           {"files/m.bin", json::object(), ""},
           {"redirect/m.bin", {{"modelSHA", digest}}, ""},
           {"files/m.bin", {{"modelSHA", digest}}, "", true},  // a stale partial file is not resumed
           {"files/m.bin", {{"modelSHA", upper}}, DAMAGED},     // the digest must match exactly
           {"files/m.bin", {{"modelSHA", digest + "\n"}}, DAMAGED},
           {"files/nothing.bin", json::object(), FAILED},      // a 404, whose error page is not kept
       }) {
    std::filesystem::remove_all(dir / "models");  // the model's folders do not exist yet
    if (c.stale) {
      std::filesystem::create_directories(dir / "models/ggml");
      test::writeFile(modelPath + ".part", std::string(5000, 'x'));
    }
    json result = run(c.route, c.extra);
    EXPECT_EQ(result.value("error", ""), c.error) << c.route << c.extra;
    EXPECT_EQ(test::readFile(modelPath), c.error.empty() ? std::optional(model) : std::nullopt);
    EXPECT_FALSE(test::exists(modelPath + ".part"));
  }
  // Without "modelSize" there is no download progress.
  EXPECT_FALSE(test::exists(dir / "result.json.progress"));

  // A slow transfer of more bytes than announced: progress grows, is capped at 99, never 100.
  test::writeFile(served / "big.bin", std::string(800000, 'm'));
  std::filesystem::remove_all(dir / "models");
  auto job = std::async(std::launch::async, [&] { return run("slow/big.bin", {{"modelSize", 300000}}); });
  std::vector<int64_t> seen;
  test::waitFor([&] {
    const bool done = job.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    const json record = json::parse(test::readFile(dir / "result.json.progress").value_or(""), nullptr, false);
    if (record.is_discarded()) return done;  // not written yet
    EXPECT_EQ(record, json({{"progress", record.value("progress", json())}, {"phase", "download"}}));
    const int64_t progress = record.value("progress", int64_t{-1});
    if (seen.empty() || seen.back() != progress) seen.push_back(progress);
    return done;
  }, std::chrono::minutes(3));
  EXPECT_EQ(job.get()["ok"], true);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GE(seen.front(), 0);
  EXPECT_EQ(seen.back(), 99);
}

// The one slow test: curl gives up after 60 s without a byte.
TEST_F(Download, AStalledTransferFailsInsteadOfHangingForEver) {
  EXPECT_EQ(run("stall/m.bin")["error"], FAILED);
  EXPECT_FALSE(test::exists(modelPath));
  EXPECT_FALSE(test::exists(modelPath + ".part"));
}

}  // namespace
}  // namespace speech
