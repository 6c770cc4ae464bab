// Fetching a missing model from a loopback HTTP server with the system's curl and shasum,
// through the built helper (with a fake whisper-cli, so that the job ends at once).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <future>

#include "support.h"

namespace speech {
namespace {

namespace fs = std::filesystem;
const char* FAILED = "The speech model download failed (no internet?). Try again.";
const char* DAMAGED = "The speech model download was damaged. Try again.";

struct Download : ::testing::Test {
  Download() {
    test::writeFile(served / "m.bin", model);
    writeTone(dir / "a.wav", 0.2);
    // A configuration file in the user's home would stop every download here, if it were read.
    fs::create_directory(dir / "home");
    test::writeFile(dir / "home/.curlrc", "max-filesize = 1\n");
    ::setenv("HOME", (dir / "home").c_str(), 1);
  }
  // A job fetching `route` from the server (an address of its own when it starts with "-" or
  // names a scheme).
  json run(const std::string& route, const json& extra = json::object(), const std::string& in = "") {
    const bool own = route.starts_with("-") || route.find("://") != std::string::npos;
    json job{{"wav", dir / "a.wav"}, {"model", modelPath}, {"whisper", fake.path}, {"modelURL", own ? route : server.url + route}};
    job.update(extra);
    return runJob(job, in.empty() ? dir.path : in);
  }
  test::TempDir served, dir;
  ModelServer server{served.path};
  FakeWhisper fake{{{"transcript", "{}"}}};
  std::string model = std::string(3000, 'm') + "model", modelPath = dir / "models/ggml/m.bin";
};

TEST_F(Download, FetchesVerifiesAndReportsProgress) {
  const std::string digest = test::runProgram("/usr/bin/shasum", {"-a", "256", served / "m.bin"}).output.substr(0, 64);
  std::string upper = digest;
  std::ranges::transform(upper, upper.begin(), ::toupper);
  const std::string folder = dir / "models/ggml", victim = dir / "victim", part = modelPath + ".part";
  test::writeFile(dir / "curl.conf", "url = \"" + server.url + "files/m.bin\"\n");
  test::writeFile(served / "big.bin", std::string(800000, 'm'));
  const std::string exists = "Cannot move " + part + " to " + modelPath + ": File exists";
  // What lies at the model's or the partial file's name before the download.
  enum Plant { nothing, stale, dangling, link };
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
           {"file://" + served / "m.bin", json::object(), FAILED},  // http and https only,
           {"away/m.bin", json::object(), FAILED},                  // redirects included
           {"files/big.bin", {{"modelSize", 3005}}, FAILED},  // a body beyond the model's size,
           {"endless/m.bin", {{"modelSize", 3005}}, FAILED},  // announced or not, is refused
       }) {
    SCOPED_TRACE(c.route + c.extra.dump());
    fs::remove_all(dir / "models");  // the model's folders do not exist yet
    test::writeFile(victim, "precious");
    if (c.plant != nothing) fs::create_directories(folder);
    if (c.plant == stale) test::writeFile(part, std::string(5000, 'x'));
    if (c.plant == dangling) fs::create_symlink(dir / "nowhere", modelPath);
    if (c.plant == link) fs::create_symlink(victim, part);
    EXPECT_EQ(run(c.route, c.extra).value("error", ""), c.error);
    EXPECT_EQ(test::readFile(modelPath), c.error.empty() ? std::optional(model) : std::nullopt);
    EXPECT_EQ(test::readFile(victim), "precious");
    // Nothing is left beside the model but what was planted there.
    EXPECT_EQ(std::ranges::count_if(fs::directory_iterator(folder), [&](const fs::path& p) { return p != modelPath && p != part; }), 0);
    EXPECT_EQ(fs::is_symlink(part), c.plant == link);
    EXPECT_EQ(test::exists(part), c.plant == link);
  }
  // An empty model path is no place to download to, nor one that a NUL would cut short.
  EXPECT_EQ(run("files/m.bin", {{"model", ""}})["error"], "Whisper model not found: ");
  EXPECT_FALSE(test::exists(".part"));
  fs::remove_all(dir / "models");
  const std::string cut = dir / std::string("models/m\0x", 10);
  EXPECT_EQ(run("files/m.bin", {{"model", cut}})["error"], "Cannot write " + cut + ".part: Invalid argument");
  EXPECT_FALSE(test::exists(dir / "models"));

  // The model that another user's job put in place meanwhile serves this job too, when it
  // passes this job's checks.
  for (const std::string& arrived : {model, std::string("junk")}) {
    fs::remove_all(dir / "models");
    auto job = std::async(std::launch::async, [&] { return run("slow/m.bin", {{"modelSHA", digest}}); });
    test::waitFor([&] { return test::exists(part); });
    test::writeFile(dir / "arrived", arrived);
    fs::rename(dir / "arrived", modelPath);
    EXPECT_EQ(job.get().value("error", ""), arrived == model ? "" : exists);
    EXPECT_EQ(test::readFile(modelPath), arrived);
  }
  // A later job of the model clears the partial file that a killed download left, never one
  // that a live download holds.
  for (const bool live : {false, true}) {
    test::writeFile(part, "left");
    const files::Descriptor held(::open(part.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(!live || ::flock(held.get(), LOCK_EX) == 0, true);
    EXPECT_EQ(run("files/m.bin")["ok"], true);
    EXPECT_EQ(test::exists(part), live);
  }

  // Two jobs that need the same missing model at once: the second waits for the first's download
  // rather than racing it, and both transcribe with the whole model. Without "modelSize" there is
  // no download progress.
  fs::remove_all(dir / "models");
  fs::remove(dir / "result.json.progress");
  auto first = std::async(std::launch::async, [&] { return run("slow/m.bin", {{"modelSHA", digest}}); });
  EXPECT_EQ(run("slow/m.bin", {{"modelSHA", digest}}, test::TempDir().path)["ok"], true);
  EXPECT_EQ(first.get()["ok"], true);
  EXPECT_EQ(test::readFile(modelPath), model);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1);
  EXPECT_FALSE(test::exists(dir / "result.json.progress"));

  // A slow transfer: progress grows, is capped at 99, never 100.
  fs::remove_all(dir / "models");
  auto job = std::async(std::launch::async, [&] { return run("slow/big.bin", {{"modelSize", 800000}}); });
  std::vector<json> seen;
  test::waitFor([&] {
    const json record = json::parse(test::readFile(dir / "result.json.progress").value_or(""), nullptr, false);
    if (!record.is_discarded() && (seen.empty() || seen.back() != record)) seen.push_back(record);
    return job.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }, std::chrono::minutes(3));
  EXPECT_EQ(job.get()["ok"], true);
  ASSERT_GE(seen.size(), 2u);
  for (const json& record : seen) EXPECT_EQ(record, json({{"progress", record.value("progress", -1)}, {"phase", "download"}}));
  EXPECT_TRUE(std::ranges::is_sorted(seen, {}, [](const json& r) { return r.value("progress", -1); }));
  EXPECT_GE(seen.front()["progress"], 0);
  EXPECT_EQ(seen.back()["progress"], 99);
}

// The one slow test (run with TOVI_SLOW_TESTS): curl gives up after 60 s without a byte.
TEST_F(Download, AStalledTransferFailsInsteadOfHangingForEver) {
  EXPECT_EQ(run("stall/m.bin")["error"], FAILED);
  EXPECT_FALSE(test::exists(modelPath) || test::exists(modelPath + ".part"));
}

}  // namespace
}  // namespace speech
