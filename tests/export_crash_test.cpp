// An export that meets a full disk or a killed studio: the dataset stays as
// it was, nothing temporary is left once the studio is back, and a retry
// finishes the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "studio/server/studio_server.hpp"
#include "tests/support/logged_episodes.hpp"
#include "tests/support/running_studio.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = std::filesystem;
using kit::json::Json;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Names of temporary files and work directories under `dir`.
std::vector<std::string> leftovers(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.find(".tmp") != std::string::npos || name == ".tessaline-export") found.push_back(e.path().string());
  }
  return found;
}

Json post(const std::string& http, const std::string& path, const Json& body) {
  return kit::http::post_json(http + path, body, kit::http::Seconds(5)).json();
}

class ExportCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("export-crash-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    fs::remove_all(dir_);
  }
  // A filesystem of `megabytes` of its own at dir_, so the test can fill it.
  bool mount_small_disk(int megabytes) {
    const std::string options = "size=" + std::to_string(megabytes) + "m";
    mounted_ = mount("tessaline-test", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return mounted_;
  }
  fs::path dir_;
  bool mounted_ = false;
};

TEST_F(ExportCrash, AFullDiskFailsTheExportCleanlyAndARetryFinishesIt) {
  if (!mount_small_disk(24)) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  auto studio = std::make_unique<studio::Studio>(studio::StudioOptions::on_loopback(dir_ / "data"));
  const test_support::StudioUrls urls{studio->http_url(), studio->flight_url()};
  test_support::record_episodes(urls, "op", {6});
  post(urls.http, "/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(test_support::wait_for_export(urls.http, "arm")["state"], "done");
  const fs::path dataset = dir_ / "data" / "datasets" / "arm";
  const std::string info_before = read_text(dataset / "meta" / "info.json");

  test_support::record_episodes(urls, "op", {5, 5});
  // Fill the disk to the last byte.
  const fs::path filler = dir_ / "filler";
  {
    std::ofstream out(filler, std::ios::binary);
    const std::string block(1 << 16, 'x');
    while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {}
  }
  {
    std::ofstream out(filler, std::ios::binary | std::ios::app);
    while (out.put('x')) out.flush();
  }

  // A frame put now is refused with the reason, and no part of it is kept.
  tessaline::VelquinGrpcClient client(urls.flight.substr(7), "op");
  testing::internal::CaptureStdout();
  auto r = std::make_shared<tessaline::Record>();
  r->set("observation.images.cam_front", test_support::picture(0, 0, 320, 240));
  r->set("state", tessaline::NdArray::from_vector(kit::DType::float32, std::vector<float>(6, 1.f)));
  client.log_robot_data(r, tessaline::Value(tessaline::List(6, 1.0)), false, 15.0, std::string("so101_follower"));
  client.wait_pending();
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("No space left on device"), std::string::npos) << printed;
  EXPECT_EQ(post(urls.http, "/sessions/episodes/reset", {{"userId", "op"}})["framesCleared"], 0);

  post(urls.http, "/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  const Json failed = test_support::wait_for_export(urls.http, "arm");
  ASSERT_EQ(failed["state"], "failed") << failed;
  EXPECT_NE(failed["error"].get<std::string>().find("No space left on device"), std::string::npos) << failed;
  EXPECT_EQ(read_text(dataset / "meta" / "info.json"), info_before);
  EXPECT_EQ(leftovers(dir_ / "data"), std::vector<std::string>());

  fs::remove(filler);
  EXPECT_EQ(post(urls.http, "/sessions/export/retry", {{"userId", "op"}, {"repoId", "arm"}})["episodes"], 2);
  ASSERT_EQ(test_support::wait_for_export(urls.http, "arm")["state"], "done");
  const Json d = test_support::read_dataset(dataset);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["info"]["total_episodes"], 3);
  EXPECT_EQ(d["info"]["total_frames"], 16);
}

using test_support::RunningStudio;

TEST_F(ExportCrash, AStudioKilledMidExportKeepsTheDatasetAndFinishesOnRetry) {
  const fs::path data = dir_ / "data";
  const fs::path dataset = data / "datasets" / "arm";
  std::string info_before;
  {
    RunningStudio studio(data);
    test_support::record_episodes(studio.urls, "op", {4}, "", 640, 480);  // the cameras' size the next session keeps
    post(studio.urls.http, "/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
    ASSERT_EQ(test_support::wait_for_export(studio.urls.http, "arm")["state"], "done");
    info_before = read_text(dataset / "meta" / "info.json");

    // Episodes big enough that their export takes a while; killed once it has begun writing.
    test_support::record_episodes(studio.urls, "op", {40, 40, 40}, "", 640, 480);
    post(studio.urls.http, "/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
    bool begun = false;
    for (int i = 0; i < 3000 && !begun; ++i) {
      begun = fs::exists(dataset / ".tessaline-export" / "data");
      if (!begun) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(begun);
    kill(studio.process.pid(), SIGKILL);
    EXPECT_EQ(studio.process.stop(), 128 + SIGKILL);
  }
  // The kill may land before the switch-in (the dataset as it was, the job
  // kept for a retry) or during it (finished at the next start, the job
  // with it): the three episodes go in once either way.
  const std::string info_after = read_text(dataset / "meta" / "info.json");
  const bool switched_in = info_after != info_before;

  RunningStudio studio(data);
  EXPECT_EQ(leftovers(data), std::vector<std::string>());
  EXPECT_EQ(test_support::read_dataset(dataset)["problems"], Json::array());
  const Json retried = post(studio.urls.http, "/sessions/export/retry", {{"userId", "op"}, {"repoId", "arm"}});
  if (retried["episodes"] == 3) {
    EXPECT_FALSE(switched_in);
    ASSERT_EQ(test_support::wait_for_export(studio.urls.http, "arm")["state"], "done");
  } else {
    EXPECT_EQ(retried["status"], "nothing to export") << retried;
  }
  const Json d = test_support::read_dataset(dataset);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["info"]["total_episodes"], 4);
  EXPECT_EQ(d["info"]["total_frames"], 124);
}

}  // namespace
