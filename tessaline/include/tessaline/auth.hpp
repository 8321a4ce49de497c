#pragma once
// Simple CLI authentication via browser callback: opens the frontend's login
// page, waits for the browser to call back on a loopback port with the user
// name, and returns it ("default" after 300 s without one). Blocks the
// calling thread; one sign-in per process at a time.
#include <chrono>
#include <optional>
#include <string>

namespace tessaline {

// Username of authenticated user, or "default" if failed.
std::string authenticate_with_browser(const std::string& frontend_url = "http://localhost:8787",
                                      int callback_port = 8765);

// Handles username callback requests from the browser. The two values are
// shared by every sign-in of the process.
struct SimpleCallbackHandler {
  static std::optional<std::string> received_username;
  static std::string redirect_url;
};

namespace auth_detail {
// The sign-in with its time limit chosen by the caller (tests).
std::string authenticate_with_browser(const std::string& frontend_url, int callback_port,
                                      std::chrono::seconds limit);
// The page the browser sees after a good callback.
std::string success_page(const std::string& redirect_url);
}  // namespace auth_detail

}  // namespace tessaline
