// Fetching a missing model from a loopback HTTP server with the system's curl and shasum,
// through the built helper (with a fake whisper-cli, so that the job ends at once).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "support.h"

namespace speech {
namespace {

const char* FAILED = "The speech model download failed (no internet?). Try again.";
const char* DAMAGED = "The speech model download was damaged. Try again.";

struct Download : ::testing::Test {
  Download() : server(served.path) {
    std::string bytes(3000, '\0');
    std::mt19937 random(7);
    for (auto& b : bytes) b = static_cast<char>(random());
    test::writeFile(served / "m.bin", bytes);
    model = bytes;
    auto sum = test::runProgram("/usr/bin/shasum", {"-a", "256", served / "m.bin"});
    digest = sum.output.substr(0, 64);
    writeTone(dir / "a.wav", 0.2);
  }
  json job(const std::string& route, json extra = json::object()) {
    json j{{"wav", dir / "a.wav"}, {"model", modelPath}, {"modelURL", server.url(route)},
           {"whisper", fake.path}};
    j.update(extra);
    return j;
  }
  void expectNoFiles() {
    EXPECT_FALSE(test::exists(modelPath));
    EXPECT_FALSE(test::exists(modelPath + ".part"));
  }
  test::TempDir served, dir;
  ModelServer server;
  FakeWhisper fake{{{"transcript", "{}"}}};
  std::string model, digest;
  std::string modelPath = dir / "models/ggml/m.bin";  // its folders do not exist yet
};

TEST_F(Download, FetchesIntoMissingFoldersWithOrWithoutADigest) {
  EXPECT_EQ(runJob(job("files/m.bin"), dir)["ok"], true);
  EXPECT_EQ(test::readFile(modelPath), model);
  EXPECT_FALSE(test::exists(modelPath + ".part"));

  std::filesystem::remove(modelPath);
  EXPECT_EQ(runJob(job("redirect/m.bin", {{"modelSHA", digest}}), dir)["ok"], true);
  EXPECT_EQ(test::readFile(modelPath), model);
  // Without "modelSize" no download record is written.
  EXPECT_FALSE(test::exists(dir / "result.json.progress"));
}

TEST_F(Download, AStalePartialFileIsDiscarded) {
  std::filesystem::create_directories(dir / "models/ggml");
  test::writeFile(modelPath + ".part", std::string(5000, 'x'));
  EXPECT_EQ(runJob(job("files/m.bin", {{"modelSHA", digest}}), dir)["ok"], true);
  EXPECT_EQ(test::readFile(modelPath), model);
  EXPECT_FALSE(test::exists(modelPath + ".part"));
}

TEST_F(Download, ADigestThatDiffersInAnyWayIsADamagedDownload) {
  std::string upper = digest;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& wrong : {upper, digest + "\n", " " + digest, std::string(64, '0')}) {
    EXPECT_EQ(runJob(job("files/m.bin", {{"modelSHA", wrong}}), dir)["error"], DAMAGED) << wrong;
    expectNoFiles();
  }
}

TEST_F(Download, HttpErrorsAndUnreachableServersFail) {
  EXPECT_EQ(runJob(job("files/nothing.bin"), dir)["error"], FAILED);
  expectNoFiles();  // no error page is saved
  json unreachable = job("");
  unreachable["modelURL"] = "http://127.0.0.1:1/m.bin";
  EXPECT_EQ(runJob(unreachable, dir)["error"], FAILED);
  expectNoFiles();
}

TEST_F(Download, NoDownloadWithoutAModelPath) {
  json j = job("files/m.bin");
  j.erase("model");
  EXPECT_EQ(runJob(j, dir)["error"], "Whisper model not found: ");
  EXPECT_FALSE(test::exists(served / "requests.log"));
}

// Runs the job on a thread while collecting every download record that the progress file shows.
std::vector<int64_t> downloadRecords(const json& job, const test::TempDir& dir, json& result) {
  std::atomic<bool> done = false;
  std::thread helper([&] {
    result = runJob(job, dir);
    done = true;
  });
  std::vector<int64_t> seen;
  while (!done) {
    if (auto bytes = test::readFile(dir / "result.json.progress")) {
      auto record = json::parse(*bytes, nullptr, false);
      if (!record.is_discarded() && record.value("phase", "") == "download") {
        EXPECT_EQ(record.size(), 2u);
        int64_t value = record["progress"];
        if (seen.empty() || seen.back() != value) seen.push_back(value);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  helper.join();
  return seen;
}

TEST_F(Download, ASlowTransferReportsProgressBelow100) {
  // Large enough pieces that curl's own buffering does not hide the growth of the file.
  test::writeFile(served / "big.bin", std::string(800000, 'm'));
  json result;
  auto seen = downloadRecords(job("slow/big.bin?pieces=8&pause=0.4", {{"modelSize", 800000}}), dir, result);
  EXPECT_EQ(result["ok"], true);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GE(seen.front(), 0);
  EXPECT_LE(seen.back(), 99);

  // More bytes than announced: capped at 99, never 100.
  std::filesystem::remove(modelPath);
  seen = downloadRecords(job("slow/big.bin?pieces=8&pause=0.4", {{"modelSize", 300000}}), dir, result);
  EXPECT_EQ(result["ok"], true);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 99);
  EXPECT_EQ(test::readJson(dir / "result.json.progress"), json({{"progress", 99}, {"phase", "download"}}));
}

// The one slow test: curl gives up after 60 s without a byte.
TEST_F(Download, AStalledTransferFailsInsteadOfHangingForEver) {
  EXPECT_EQ(runJob(job("stall/m.bin"), dir)["error"], FAILED);
  expectNoFiles();
}

}  // namespace
}  // namespace speech
