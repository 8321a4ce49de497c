// Browser sign-in with real HTTP requests to the loopback callback server.
#include "tessaline/auth.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "tests/support/local_http.hpp"

namespace {

using namespace std::chrono_literals;

int free_port() {
  const std::string url = test_support::closed_loopback_url();
  return std::stoi(url.substr(url.rfind(':') + 1));
}

class SignIn : public ::testing::Test {
 protected:
  void SetUp() override {
    // "Opens" the sign-in address by noting it, as a browser would be given it.
    url_file_ = std::filesystem::temp_directory_path() / ("signin-url-" + std::to_string(getpid()));
    std::filesystem::remove(url_file_);
    setenv("BROWSER", TESSALINE_SIGNIN_OPENER, 1);
    setenv("TESSALINE_SIGNIN_URL_FILE", url_file_.c_str(), 1);
    port_ = free_port();
  }
  void TearDown() override { std::filesystem::remove(url_file_); }
  // The callback address the sign-in sent the browser to ("/callback/<nonce>").
  std::string callback_path() {
    for (int i = 0; i < 250 && !std::filesystem::exists(url_file_); ++i) std::this_thread::sleep_for(20ms);
    std::ifstream in(url_file_);
    std::string url;
    std::getline(in, url);
    const std::string marker = "redirect_uri=http://127.0.0.1:" + std::to_string(port_);
    const size_t at = url.find(marker);
    EXPECT_NE(at, std::string::npos) << url;
    return at == std::string::npos ? "" : url.substr(at + marker.size());
  }
  std::future<std::string> start(const std::string& frontend, std::chrono::seconds limit = 20s) {
    auto f = std::async(std::launch::async, [this, frontend, limit] {
      return tessaline::auth_detail::authenticate_with_browser(frontend, port_, limit);
    });
    for (int i = 0; i < 100; ++i) {  // until the callback server listens
      httplib::Client probe("127.0.0.1", port_);
      if (probe.Get("/ready")) break;
      std::this_thread::sleep_for(20ms);
    }
    return f;
  }
  std::filesystem::path url_file_;
  httplib::Result get(const std::string& target) {
    httplib::Client c("127.0.0.1", port_);
    c.set_url_encode(false);
    return c.Get(target);
  }
  int port_ = 0;
};

TEST_F(SignIn, AnswersForeignRequestsAndTakesTheFirstDecodedName) {
  testing::internal::CaptureStdout();
  auto result = start("http://studio.test:8787///");
  const std::string callback = callback_path();
  ASSERT_EQ(callback.size(), std::string("/callback/").size() + 32) << callback;
  EXPECT_EQ(get("/favicon.ico")->status, 404);
  auto missing = get(callback);
  EXPECT_EQ(missing->status, 400);
  EXPECT_EQ(missing->reason, "Missing username");
  EXPECT_EQ(get(callback + "?username=")->status, 400);
  auto ok = get(callback + "?username=Ada+L%C3%B6velace%20%26co&username=second");
  ASSERT_EQ(ok->status, 200);
  EXPECT_EQ(ok->get_header_value("Content-type"), "text/html; charset=utf-8");
  EXPECT_EQ(ok->body, tessaline::auth_detail::success_page("http://studio.test:8787/velquin"));
  EXPECT_EQ(result.get(), "Ada Lövelace &co");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("http://studio.test:8787/api/auth/velquin-login?redirect_uri=http://127.0.0.1:" +
                     std::to_string(port_) + "/callback/"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Authenticated as: Ada Lövelace &co"), std::string::npos) << out;
}

TEST_F(SignIn, SuccessPageIsExact) {
  EXPECT_EQ(tessaline::auth_detail::success_page("http://x/velquin"),
            "\n                <html><body style=\"font-family: sans-serif; text-align: center; padding: 50px;\">"
            "\n                    <h1>\xe2\x9c\x85 Authentication Successful!</h1>"
            "\n                    <p>Redirecting to velquin...</p>"
            "\n                    <script>window.location.href = 'http://x/velquin';</script>"
            "\n                </body></html>\n                ");
}

TEST_F(SignIn, SilentClientDoesNotHoldUpTheSignIn) {
  testing::internal::CaptureStdout();
  auto result = start("http://studio.test");
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(get(callback_path() + "?username=kim")->status, 200);
  EXPECT_EQ(result.get(), "kim");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
  close(silent);
  testing::internal::GetCapturedStdout();
}

TEST_F(SignIn, NoCallbackEndsWithDefaultAfterTheLimit) {
  testing::internal::CaptureStdout();
  const auto started = std::chrono::steady_clock::now();
  auto result = start("http://studio.test", 2s);
  EXPECT_EQ(result.get(), "default");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Authentication timeout"), std::string::npos);
  // The port is free again.
  httplib::Client c("127.0.0.1", port_);
  EXPECT_FALSE(c.Get("/callback?username=late"));
}

// Any page the operator has open can make the browser load the callback
// (an <img> is enough): only the address with this sign-in's nonce signs the
// robot in, and only under a name that shows as it is.
TEST_F(SignIn, OnlyTheSignInsOwnCallbackWithAPlainNameSignsIn) {
  testing::internal::CaptureStdout();
  auto result = start("http://studio.test");
  const std::string callback = callback_path();
  for (const std::string& forged : {std::string("/callback?username=mallory"), std::string("/callback/?username=mallory"),
                                    std::string("/callback/0123456789abcdef0123456789abcdef?username=mallory"),
                                    callback.substr(0, callback.size() - 1) + "?username=mallory", callback + "x?username=mallory"}) {
    const auto r = get(forged);
    ASSERT_TRUE(r) << forged;
    EXPECT_EQ(r->status, 400) << forged;
  }
  for (const char* name : {"mallory%E2%80%AE", "a%00b", "a%0Ab", "%E2%80%8B", "x%C2%85"}) {
    EXPECT_EQ(get(callback + "?username=" + name)->status, 400) << name;
  }
  EXPECT_EQ(get(callback + "?username=" + std::string(101, 'a'))->status, 400);
  EXPECT_EQ(get(callback + "?username=kim")->status, 200);
  EXPECT_EQ(result.get(), "kim");
  testing::internal::GetCapturedStdout();
}

// A second sign-in while the first waits says who holds the port.
TEST_F(SignIn, ATakenCallbackPortNamesItsHolder) {
  testing::internal::CaptureStdout();
  auto first = start("http://studio.test", 3s);
  try {
    tessaline::auth_detail::authenticate_with_browser("http://studio.test", port_, 1s);
    ADD_FAILURE() << "a second sign-in on a taken port went ahead";
  } catch (const std::exception& e) {
    const std::string said = e.what();
    EXPECT_NE(said.find("is taken by auth_tests (pid " + std::to_string(getpid()) + ")"), std::string::npos) << said;
  }
  EXPECT_EQ(first.get(), "default");
  testing::internal::GetCapturedStdout();
}

}  // namespace
