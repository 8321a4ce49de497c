#include "cli/studio_check.hpp"

#include <filesystem>
#include <future>
#include <system_error>

#include "cli/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/http/client.hpp"
#include "tessaline/config.hpp"
#include "tessaline/grpc_client.hpp"

namespace tessaline::capture {
namespace {

using kit::console::escape;
using tessaline::cli::console;

constexpr double kAskSeconds = 3.0;

// The studio program beside this one, as the user can start it.
std::string studio_program() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto beside = exe.parent_path() / "tessaline-studio";
    if (std::filesystem::exists(beside, ec)) return beside.string();
  }
  return "tessaline-studio";
}

}  // namespace

std::optional<std::string> silence_of(const std::string& url) {
  try {
    kit::http::get(url, kit::http::Seconds(kAskSeconds));
    return std::nullopt;
  } catch (const kit::http::StatusError&) {
    return std::nullopt;  // an answer, if not to this question
  } catch (const std::exception& e) {
    return e.what();
  }
}

void say_if_studio_silent() {
  const std::string api = config::VELQUIN_HTTP_SERVER, sign_in = config::STUDIO_URL;
  auto api_silence = std::async(std::launch::async, [&] { return silence_of(api); });
  auto frames_refused = std::async(std::launch::async, [] { return VelquinGrpcClient::studio_problem(); });
  const auto sign_in_silence = sign_in == api ? std::nullopt : silence_of(sign_in);
  const auto api_silent = api_silence.get();
  const auto frames_problem = frames_refused.get();
  if (!api_silent && !sign_in_silence && !frames_problem) return;

  const auto row = [](const char* variable, const std::string& url, const char* role,
                      const std::optional<std::string>& silence) {
    std::string line = "  " + std::string(variable) + "=" + escape(url) + "  " + role;
    if (silence) line += ": [red]no answer[/red] (" + escape(*silence) + ")";
    return line + "\n";
  };
  std::string text = "\n[bold yellow]The studio does not answer.[/bold yellow]\n";
  text += row("VELQUIN_HTTP_SERVER", api, "the studio's API", api_silent);
  text += row("STUDIO_URL", sign_in, "where you sign in", sign_in == api ? api_silent : sign_in_silence);
  text += row("VELQUIN_GRPC_SERVER", config::VELQUIN_GRPC_SERVER, "where frames go", frames_problem);
  if (frames_problem && frames_problem->find("unauthenticated") != std::string::npos) {
    text += "The studio wants its access token: set TESSALINE_STUDIO_TOKEN to the one it printed at start.\n";
  }
  text += "To record into a studio on this computer, start one in another terminal:\n";
  text += "  [cyan]" + escape(studio_program()) + " --data-dir ~/tessaline-data[/cyan]\n";
  text += "then set these and run this command again:\n";
  text += "  [cyan]export VELQUIN_HTTP_SERVER=http://127.0.0.1:8080 STUDIO_URL=http://127.0.0.1:8080[/cyan]\n";
  text += "  [cyan]export VELQUIN_GRPC_SERVER=grpc://127.0.0.1:50051[/cyan]\n";
  text += "Waiting for the sign-in all the same (Ctrl+C stops).\n";
  console.print(text);
}

}  // namespace tessaline::capture
