#include "tessaline/auth.hpp"

#include "kit/loop/interrupt.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "kit/console/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/console/panel.hpp"
#include "kit/console/spinner.hpp"
#include "kit/digest/digest.hpp"
#include "kit/json/plain_name.hpp"

namespace tessaline {

std::optional<std::string> SimpleCallbackHandler::received_username;
std::string SimpleCallbackHandler::redirect_url;

namespace {

kit::console::Console console;

// A client that connects and then says nothing must not hold up the
// sign-in: each connection gets this long to deliver its request head.
constexpr auto kRequestReadLimit = std::chrono::seconds(2);
constexpr size_t kMaxRequestHead = 16 * 1024;

class Socket {
 public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(Socket&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Socket& operator=(Socket&&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// "name (pid N)" of a process of ours listening on the loopback port, or empty.
std::string port_holder(int port) {
  std::ifstream tcp("/proc/net/tcp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string inode;
  for (std::string line; std::getline(tcp, line);) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, node;
    fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> node;
    if (address == local && state == "0A") inode = node;  // listening
  }
  if (inode.empty()) return "";
  const std::string wanted = "socket:[" + inode + "]";
  for (const auto& proc : std::filesystem::directory_iterator("/proc", std::filesystem::directory_options::skip_permission_denied)) {
    const std::string pid = proc.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(proc.path() / "fd", ec)) {
      std::error_code link_error;
      if (std::filesystem::read_symlink(fd.path(), link_error).string() != wanted) continue;
      std::ifstream comm(proc.path() / "comm");
      std::string name;
      std::getline(comm, name);
      return name + " (pid " + pid + ")";
    }
  }
  return "";
}

Socket listen_on_loopback(int port) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.fd() < 0) throw std::system_error(errno, std::generic_category(), "socket");
  const int yes = 1;
  setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.fd(), 16) != 0) {
    const int error = errno;
    if (error == EADDRINUSE) {
      const std::string holder = port_holder(port);
      throw std::runtime_error("the sign-in's callback port 127.0.0.1:" + std::to_string(port) + " is taken" +
                               (holder.empty() ? " (another tessaline may be waiting for a sign-in there)"
                                               : " by " + holder + (holder.starts_with("tessaline") ? ", which is waiting for a sign-in there" : "")) +
                               ": finish or stop that one first");
    }
    throw std::system_error(error, std::generic_category(), "cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  return s;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string form_decode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The first non-empty value of `key` in form-style query text.
std::optional<std::string> first_value(std::string_view query, std::string_view key) {
  size_t pos = 0;
  while (pos <= query.size()) {
    const size_t end = std::min(query.find_first_of("&;", pos), query.size());
    const std::string_view pair = query.substr(pos, end - pos);
    const size_t eq = pair.find('=');
    if (eq != std::string_view::npos && form_decode(pair.substr(0, eq)) == key) {
      std::string value = form_decode(pair.substr(eq + 1));
      if (!value.empty()) return value;
    }
    pos = end + 1;
  }
  return std::nullopt;
}

std::string response(int status, const std::string& reason, const std::string& content_type, const std::string& body) {
  return "HTTP/1.0 " + std::to_string(status) + " " + reason + "\r\nServer: tessaline-callback\r\nContent-type: " +
         content_type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string error_response(int status, const std::string& reason) {
  const std::string body = "<!DOCTYPE HTML>\n<html><head><title>Error response</title></head><body><h1>Error " +
                           std::to_string(status) + "</h1><p>" + reason + "</p></body></html>\n";
  return response(status, reason, "text/html;charset=utf-8", body);
}

// Reads the request head within the read limit; empty when the client is silent.
std::string read_request_head(int fd) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + kRequestReadLimit;
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos &&
         head.size() < kMaxRequestHead) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[2048];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    head.append(buf, static_cast<size_t>(n));
  }
  return head;
}

void send_all(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// The single-use secret this sign-in put into its redirect address: only
// the page the frontend sent the browser to knows it, so no other page can
// choose the user the robot records under by loading the callback.
std::string& callback_nonce() {
  static std::string nonce;
  return nonce;
}

bool same_secret(std::string_view a, std::string_view b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i % std::max<size_t>(1, b.size())]);
  return differ == 0 && !b.empty();
}

// "/callback/<nonce>" (then a query, or nothing) with this sign-in's nonce.
bool carries_nonce(std::string_view target) {
  constexpr std::string_view prefix = "/callback/";
  if (!target.starts_with(prefix)) return false;
  const std::string_view rest = target.substr(prefix.size());
  return same_secret(rest.substr(0, rest.find('?')), callback_nonce());
}

// SimpleCallbackHandler.do_GET for one connection.
void handle_connection(int fd) {
  const std::string head = read_request_head(fd);
  const size_t line_end = head.find_first_of("\r\n");
  const std::string line = head.substr(0, line_end);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) {
    if (!head.empty()) send_all(fd, error_response(400, "Bad request syntax"));
    return;
  }
  const std::string method = line.substr(0, sp1);
  const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (method != "GET") {
    send_all(fd, error_response(501, "Unsupported method"));
    return;
  }
  if (target.rfind("/callback", 0) != 0) {
    send_all(fd, error_response(404, "Not Found"));
    return;
  }
  if (!carries_nonce(target)) {
    send_all(fd, error_response(400, "Not this sign-in's callback"));
    return;
  }
  const size_t q = target.find('?');
  const auto username = q == std::string::npos ? std::nullopt : first_value(std::string_view(target).substr(q + 1), "username");
  if (!username) {
    send_all(fd, error_response(400, "Missing username"));
    return;
  }
  if (!kit::json::plain_name(*username)) {
    send_all(fd, error_response(400, "A user name is 1 to 100 printable characters"));
    return;
  }
  SimpleCallbackHandler::received_username = *username;
  send_all(fd, response(200, "OK", "text/html; charset=utf-8", auth_detail::success_page(SimpleCallbackHandler::redirect_url)));
}

// Waits up to a second for one connection and serves it.
void handle_one_request(int listen_fd) {
  pollfd p{listen_fd, POLLIN, 0};
  if (::poll(&p, 1, 1000) <= 0) return;
  Socket client(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
  if (client.fd() >= 0) handle_connection(client.fd());
}

// Opens the address with $BROWSER or xdg-open, without waiting for it.
void open_in_browser(const std::string& url) {
  const char* browser = std::getenv("BROWSER");
  const std::string program = browser && *browser ? browser : "xdg-open";
  const pid_t child = fork();
  if (child == 0) {
    if (fork() == 0) {  // grandchild, adopted by init: nobody has to reap it
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 1);
      dup2(devnull, 2);
      execlp(program.c_str(), program.c_str(), url.c_str(), static_cast<char*>(nullptr));
    }
    _exit(0);
  }
  if (child > 0) waitpid(child, nullptr, 0);
}

}  // namespace

namespace auth_detail {

std::string success_page(const std::string& redirect_url) {
  const std::string s16(16, ' ');
  const std::string s20(20, ' ');
  return "\n" + s16 + "<html><body style=\"font-family: sans-serif; text-align: center; padding: 50px;\">" + "\n" +
         s20 + "<h1>\xe2\x9c\x85 Authentication Successful!</h1>" + "\n" + s20 + "<p>Redirecting to velquin...</p>" +
         "\n" + s20 + "<script>window.location.href = '" + redirect_url + "';</script>" + "\n" + s16 +
         "</body></html>" + "\n" + s16;
}

std::string authenticate_with_browser(const std::string& frontend_url, int callback_port, std::chrono::seconds limit) {
  SimpleCallbackHandler::received_username.reset();
  std::string base = frontend_url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  SimpleCallbackHandler::redirect_url = base + "/velquin";
  callback_nonce() = kit::random_hex(16);
  const std::string redirect_uri = "http://127.0.0.1:" + std::to_string(callback_port) + "/callback/" + callback_nonce();
  const std::string auth_url = base + "/api/auth/velquin-login?redirect_uri=" + redirect_uri;

  std::optional<Socket> server(listen_on_loopback(callback_port));
  console.print();
  kit::console::print(console, {"Opening browser for authentication...\n\nIf browser doesn't open, visit:\n[link=" +
                                    auth_url + "]" + auth_url + "[/link]",
                                "[bold]Authentication Required[/bold]", "blue"});
  open_in_browser(auth_url);
  const auto start = std::chrono::system_clock::now();
  {
    kit::console::Status status(console, "Waiting for authentication...");
    while (!SimpleCallbackHandler::received_username || SimpleCallbackHandler::received_username->empty()) {
      handle_one_request(server->fd());
      kit::throw_if_interrupted();  // Ctrl+C gives up the sign-in
      const auto elapsed = std::chrono::system_clock::now() - start;
      status.update("Waiting for authentication... (" +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()) + "s)");
      if (elapsed > limit) {
        server.reset();
        console.print("[red]Authentication timeout[/red]");
        return "default";
      }
    }
  }
  const std::string username = *SimpleCallbackHandler::received_username;
  server.reset();
  console.print("[green]Authenticated as:[/green] [cyan]" + kit::console::escape(username) + "[/cyan]\n");
  return username;
}

}  // namespace auth_detail

std::string authenticate_with_browser(const std::string& frontend_url, int callback_port) {
  return auth_detail::authenticate_with_browser(frontend_url, callback_port, std::chrono::seconds(300));
}

}  // namespace tessaline
