// Fetching a missing model from a loopback HTTP server with the system's curl and shasum,
// through the built helper (with a fake whisper-cli, so that the job ends at once).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
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
  // A job fetching `route` from the server (an address of its own when it starts with "-" or
  // names a scheme).
  json run(const std::string& route, const json& extra = json::object(), const test::TempDir* in = nullptr) {
    const bool own = route.starts_with("-") || route.find("://") != std::string::npos;
    json job{{"wav", dir / "a.wav"}, {"model", modelPath}, {"whisper", fake.path},
             {"modelURL", own ? route : server.url + route}};
    job.update(extra);
    return runJob(job, (in ? *in : dir).path);
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
  const std::string folder = dir / "models/ggml", victim = dir / "victim";
  test::writeFile(dir / "curl.conf", "url = \"" + server.url + "files/m.bin\"\n");
  // A configuration file in the user's home would stop every download here, if it were read.
  std::filesystem::create_directory(dir / "home");
  test::writeFile(dir / "home/.curlrc", "max-filesize = 1\n");
  test::writeFile(served / "big.bin", std::string(800000, 'm'));
  const std::string exists = "Cannot move " + modelPath + ".part to " + modelPath + ": File exists";
  // What lies at the model's or the partial file's name before the download.
  enum Plant { nothing, stale, dangling, link, curlrc };
  struct Case { std::string route; json extra; std::string error; Plant plant = nothing; };
  for (const Case& c : std::vector<Case>{
           {"files/m.bin", json::object(), ""},
           {"redirect/m.bin", {{"modelSHA", digest}}, ""},
           {"files/m.bin", {{"modelSHA", digest}}, "", stale},  // a stale partial file is not resumed
           {"files/m.bin", {{"modelSHA", upper}}, DAMAGED},     // the digest must match exactly
           {"files/m.bin", {{"modelSHA", digest + "\n"}}, DAMAGED},
           {"files/nothing.bin", json::object(), FAILED},      // a 404, whose error page is not kept
           {"-K" + dir / "curl.conf", json::object(), FAILED},  // an address, never an option
           {"files/m.bin", json::object(), exists, dangling},   // a link at the model is not replaced
           {"files/m.bin", json::object(), "", link},           // a link at ".part" is not followed
           {"files/m.bin", json::object(), "", curlrc},
           {"file://" + served / "m.bin", json::object(), FAILED},  // http and https only,
           {"away/m.bin", json::object(), FAILED},                  // redirects included
           {"files/big.bin", {{"modelSize", 3005}}, FAILED},  // a body beyond the model's size,
           {"endless/m.bin", {{"modelSize", 3005}}, FAILED},  // announced or not, is refused
       }) {
    std::filesystem::remove_all(dir / "models");  // the model's folders do not exist yet
    test::writeFile(victim, "precious");
    if (c.plant != nothing) std::filesystem::create_directories(folder);
    if (c.plant == stale) test::writeFile(modelPath + ".part", std::string(5000, 'x'));
    if (c.plant == dangling) std::filesystem::create_symlink(dir / "nowhere", modelPath);
    if (c.plant == link) std::filesystem::create_symlink(victim, modelPath + ".part");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
    if (c.plant == curlrc) ::setenv("HOME", (dir / "home").c_str(), 1);
    json result = run(c.route, c.extra);
    ::setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(result.value("error", ""), c.error) << c.route << c.extra;
    EXPECT_EQ(test::readFile(modelPath), c.error.empty() ? std::optional(model) : std::nullopt);
    EXPECT_EQ(test::readFile(victim), "precious");
    // Nothing is left beside the model but what was planted there.
    size_t left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      left += entry.path() != modelPath && entry.path() != modelPath + ".part";
    EXPECT_EQ(left, 0u) << c.route;
    EXPECT_EQ(std::filesystem::is_symlink(modelPath + ".part"), c.plant == link);
    EXPECT_EQ(test::exists(modelPath + ".part"), c.plant == link);
  }
  // An empty model path is no place to download to, nor one that a NUL would cut short.
  EXPECT_EQ(run("files/m.bin", {{"model", ""}})["error"], "Whisper model not found: ");
  EXPECT_FALSE(test::exists(".part"));
  std::filesystem::remove_all(dir / "models");
  const std::string cut = dir / std::string("models/m\0x", 10);
  EXPECT_EQ(run("files/m.bin", {{"model", cut}})["error"], "Cannot write " + cut + ".part: Invalid argument");
  EXPECT_FALSE(test::exists(dir / "models"));

  // The model that another user's job put in place meanwhile serves this job too, when it
  // passes this job's checks.
  for (const std::string& arrived : {model, std::string("junk")}) {
    std::filesystem::remove_all(dir / "models");
    auto job = std::async(std::launch::async, [&] { return run("slow/m.bin", {{"modelSHA", digest}}); });
    test::waitFor([&] { return test::exists(modelPath + ".part"); });
    test::writeFile(dir / "arrived", arrived);
    std::filesystem::rename(dir / "arrived", modelPath);
    EXPECT_EQ(job.get().value("error", ""), arrived == model ? "" : exists);
    EXPECT_EQ(test::readFile(modelPath), arrived);
  }
  // A later job of the model clears the partial file that a killed download left, never one
  // that a live download holds.
  for (const bool live : {false, true}) {
    test::writeFile(modelPath + ".part", "left");
    const int held = live ? ::open((modelPath + ".part").c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (live) {
      ASSERT_EQ(::flock(held, LOCK_EX), 0);
    }
    EXPECT_EQ(run("files/m.bin")["ok"], true);
    EXPECT_EQ(test::exists(modelPath + ".part"), live);
    if (live) ::close(held);
  }

  // Two jobs that need the same missing model at once: the second waits for the first's download
  // rather than racing it, and both transcribe with the whole model.
  std::filesystem::remove_all(dir / "models");
  std::filesystem::remove(dir / "result.json.progress");
  test::TempDir second;
  auto first = std::async(std::launch::async, [&] { return run("slow/m.bin", {{"modelSHA", digest}}); });
  EXPECT_EQ(run("slow/m.bin", {{"modelSHA", digest}}, &second)["ok"], true);
  EXPECT_EQ(first.get()["ok"], true);
  EXPECT_EQ(test::readFile(modelPath), model);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

  // Without "modelSize" there is no download progress.
  EXPECT_FALSE(test::exists(dir / "result.json.progress"));

  // A slow transfer: progress grows, is capped at 99, never 100.
  std::filesystem::remove_all(dir / "models");
  auto job = std::async(std::launch::async, [&] { return run("slow/big.bin", {{"modelSize", 800000}}); });
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

// The one slow test (run with TOVI_SLOW_TESTS): curl gives up after 60 s without a byte.
TEST_F(Download, AStalledTransferFailsInsteadOfHangingForEver) {
  EXPECT_EQ(run("stall/m.bin")["error"], FAILED);
  EXPECT_FALSE(test::exists(modelPath));
  EXPECT_FALSE(test::exists(modelPath + ".part"));
}

}  // namespace
}  // namespace speech
