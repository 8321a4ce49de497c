#include "studio/studio_server.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "kit/flight/flight.hpp"
#include "kit/http/deadline_server.hpp"
#include "kit/http/url.hpp"
#include "kit/pool/thread_pool.hpp"
#include "studio/access_control.hpp"
#include "studio/dataset_library.hpp"
#include "studio/episode_deletion.hpp"
#include "studio/exporter.hpp"
#include "studio/logged_frame.hpp"
#include "studio/frame_store.hpp"
#include "studio/signaling.hpp"
#include "studio/web_assets.hpp"

namespace studio {
namespace {

constexpr size_t kMaxBodyBytes = 1 << 20;  // an SDP is a few KiB; nothing here needs more
// One logged frame: a few cameras of JPEGs. 64 MiB holds four 4K pictures
// at the highest quality; anything larger is refused before it is buffered.
constexpr int kMaxFrameBytes = 64 << 20;
constexpr int kFlightThreads = 16;  // puts in flight at once, whatever the number of open streams
constexpr size_t kHttpThreads = 64;  // connections served at once (browsers keep up to 6 each)
// A request (line, headers, body of at most kMaxBodyBytes) arrives whole
// within this, even over a slow link; a client that trickles is cut off.
constexpr std::chrono::seconds kRequestDeadline{5};
constexpr size_t kMaxOfferBytes = 256 << 10;
constexpr size_t kMaxNegotiations = 1000;  // users with an offer waiting, all together

struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void send_json(httplib::Response& res, const Json& body, int status = 200) {
  res.status = status;
  res.set_content(kit::json::to_wire(body), "application/json");
}

Json body_object(const httplib::Request& req) {
  Json body;
  try {
    body = Json::parse(req.body);
  } catch (const nlohmann::json::exception&) {  // parse_error, or out_of_range for numbers like 1e999
    throw BadRequest("request body is not valid JSON");
  }
  if (!body.is_object()) throw BadRequest("request body must be a JSON object");
  return body;
}

std::string text_field(const Json& body, const char* key) {
  const auto it = body.find(key);
  if (it == body.end() || !it->is_string()) throw BadRequest(std::string("\"") + key + "\" must be a string");
  return it->get<std::string>();
}

std::string query(const httplib::Request& req, const char* key) {
  if (!req.has_param(key)) throw BadRequest(std::string("missing query parameter \"") + key + "\"");
  return req.get_param_value(key);
}

long cursor(const httplib::Request& req) {
  const std::string text = req.has_param("since") ? req.get_param_value("since") : "0";
  try {
    size_t used = 0;
    const long value = std::stol(text, &used);
    if (used != text.size()) throw BadRequest("");
    return value;
  } catch (const std::exception&) {
    throw BadRequest("\"since\" must be an integer");
  }
}

// Only a callback on this computer may receive a user name: scheme http,
// no user info, the host exactly a loopback name or address, an optional
// numeric port, then a path (or nothing).
bool loopback_http_url(const std::string& url) {
  constexpr std::string_view scheme = "http://";
  if (!url.starts_with(scheme)) return false;
  const std::string rest = url.substr(scheme.size());
  const size_t end = rest.find_first_of("/?#");
  const std::string authority = rest.substr(0, end);
  if (authority.find('@') != std::string::npos || authority.find('\\') != std::string::npos) return false;
  std::string host = authority, port;
  if (authority.starts_with("[")) {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(0, close + 1);
    port = authority.substr(close + 1);
  } else if (const size_t colon = authority.find(':'); colon != std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon);
  }
  if (!port.empty()) {
    if (port.size() < 2 || port.size() > 6 || port[0] != ':' ||
        port.find_first_not_of("0123456789", 1) != std::string::npos) {
      return false;
    }
  }
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

long episode_number(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw BadRequest("\"episode\" must be an episode index");
  }
  return std::stol(text);
}

// The user a request names, in its query or its JSON body.
std::optional<std::string> named_user(const httplib::Request& req) {
  if (req.has_param("userId")) return req.get_param_value("userId");
  if (req.get_header_value("Content-Type").starts_with("application/json")) {
    try {
      const Json body = Json::parse(req.body);
      if (body.is_object() && body.contains("userId") && body["userId"].is_string()) return body["userId"].get<std::string>();
    } catch (const nlohmann::json::exception&) {
      // The handler says what is wrong with the body.
    }
  }
  return std::nullopt;
}

// Where the access page may send a browser on: a path of this studio.
bool local_path(const std::string& next) {
  return next.starts_with("/") && !next.starts_with("//") && next.find('\\') == std::string::npos;
}

std::string html_escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

struct Studio::Impl {
  StudioOptions options;
  SignalingRelay relay;
  FrameStore frames;
  kit::http::DeadlineServer http{kRequestDeadline};
  std::thread http_thread;
  int http_port = 0;
  std::unique_ptr<kit::flight::FlightServer> flight;
  kit::ThreadPool exports{1};
  std::mutex export_mutex;  // guards export_state
  std::map<std::string, Json> export_state;  // by repository id

  AccessControl access;

  explicit Impl(StudioOptions o) : options(std::move(o)), frames(options.data_dir), access(options.token) {
    if (!loopback_host(options.host) && options.token.empty()) {
      throw std::invalid_argument("a studio listening on " + options.host +
                                  " can be reached from other computers: it needs an access token");
    }
    recover_exports(options.data_dir);
  }

  // The user a browser from another computer signed in as; nothing for
  // callers on this computer and for robots showing the token.
  std::optional<std::string> bound_user(const httplib::Request& req) const {
    if (!access.enforced() || loopback_address(req.remote_addr)) return std::nullopt;
    if (access.bearer_matches(req.get_header_value("Authorization"))) return std::nullopt;
    return access.session_user(req.get_header_value("Cookie"));
  }

  // Before routing (and before a body is read): callers from other
  // computers without the token get 401, nothing read or changed.
  httplib::Server::HandlerResponse check_access(const httplib::Request& req, httplib::Response& res) const {
    if (!access.enforced() || loopback_address(req.remote_addr) || req.path == "/access") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (access.bearer_matches(req.get_header_value("Authorization")) || access.session_user(req.get_header_value("Cookie"))) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (req.method == "GET" && !req.path.starts_with("/webrtc") && !req.path.starts_with("/sessions") &&
        !req.path.starts_with("/datasets")) {
      send_access_page(res, req.target, "", 401);  // a page: ask for the token
    } else {
      send_json(res, {{"error", "this studio needs its access token"}}, 401);
    }
    return httplib::Server::HandlerResponse::Handled;
  }

  static void send_access_page(httplib::Response& res, const std::string& next, const std::string& error, int status) {
    std::string page(find_web_asset("access.html")->body);
    page.replace(page.find("{{ERROR}}"), 9, html_escape(error));
    page.replace(page.find("{{NEXT}}"), 8, html_escape(next));
    res.status = status;
    res.set_content(page, "text/html; charset=utf-8");
  }

  void route(const char* method, const char* path, std::function<void(const httplib::Request&, httplib::Response&)> fn) {
    auto guarded = [this, fn = std::move(fn)](const httplib::Request& req, httplib::Response& res) {
      try {
        // A signed-in browser acts only for its own user.
        if (const auto user = bound_user(req); user && named_user(req).value_or(*user) != *user) {
          send_json(res, {{"error", "signed in as another user"}}, 403);
          return;
        }
        fn(req, res);
      } catch (const BadRequest& e) {
        send_json(res, {{"error", e.what()}}, 400);
      } catch (const std::exception& e) {
        send_json(res, {{"error", e.what()}}, 500);
      }
    };
    if (std::string_view(method) == "GET") {
      http.Get(path, guarded);
      return;
    }
    // Bodies are read here, counting the bytes that arrive whatever the
    // framing (a chunked body has no length to refuse up front).
    http.Post(path, [guarded](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
      std::string body;
      bool too_large = false;
      const bool complete = read([&](const char* data, size_t length) {
        too_large = body.size() + length > kMaxBodyBytes;
        if (!too_large) body.append(data, length);
        return !too_large;
      });
      // A declared length past the limit is refused by the server before
      // any byte is read; it reports that as a read that failed.
      const std::string declared = req.get_header_value("Content-Length");
      too_large = too_large || (!complete && !declared.empty() && (declared.size() > 9 || std::stoul(declared) > kMaxBodyBytes));
      if (too_large) {
        send_json(res, {{"error", "request body larger than 1 MiB"}}, 413);
        res.set_header("Connection", "close");
        return;
      }
      if (!complete) {
        send_json(res, {{"error", "the request body did not arrive"}}, 400);
        return;
      }
      httplib::Request full = req;
      full.body = std::move(body);
      if (full.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded")) {
        httplib::detail::parse_query_text(full.body, full.params);
      }
      guarded(full, res);
    });
  }

  void signaling_routes() {
    route("POST", "/webrtc/offer", [this](const httplib::Request& req, httplib::Response& res) {
      Json body = body_object(req);
      const std::string user = text_field(body, "userId");
      if (text_field(body, "sdp").size() > kMaxOfferBytes || req.body.size() > kMaxOfferBytes + 4096) {
        send_json(res, {{"error", "the offer is larger than any real one"}}, 413);
        return;
      }
      if (!relay.has_room(user, kMaxNegotiations)) {
        send_json(res, {{"error", "too many negotiations at once; try again later"}}, 429);
        return;
      }
      // The robot offers once, when a session starts: frames left open by
      // an earlier session that ended without ending its episode go aside.
      frames.set_aside_open_episode(user);
      relay.put_offer(user, std::move(body));
      send_json(res, {{"ok", true}});
    });
    route("GET", "/webrtc/offer", [this](const httplib::Request& req, httplib::Response& res) {
      const auto offer = relay.offer(query(req, "userId"));
      send_json(res, offer ? *offer : Json{{"offerId", nullptr}});
    });
    route("POST", "/webrtc/answer", [this](const httplib::Request& req, httplib::Response& res) {
      Json body = body_object(req);
      const std::string user = text_field(body, "userId");
      if (!body.contains("offerId") || !body["offerId"].is_number_integer()) throw BadRequest("\"offerId\" must be an integer");
      Json answer{{"sdp", text_field(body, "sdp")}, {"type", body.value("type", "answer")}};
      if (!relay.put_answer(user, body["offerId"].get<long>(), std::move(answer))) {
        send_json(res, {{"error", "that offer has been replaced or has expired"}}, 409);
        return;
      }
      send_json(res, {{"ok", true}});
    });
    route("GET", "/webrtc/answer", [this](const httplib::Request& req, httplib::Response& res) {
      const auto answer = relay.answer(query(req, "userId"));
      send_json(res, answer ? *answer : Json{{"sdp", ""}, {"type", nullptr}});
    });
    route("POST", "/webrtc/ice", [this](const httplib::Request& req, httplib::Response& res) {
      const Json body = body_object(req);
      const std::string sender = text_field(body, "sender");
      if (sender != "robot" && sender != "browser") throw BadRequest("\"sender\" must be \"robot\" or \"browser\"");
      Json candidate{{"candidate", text_field(body, "candidate")},
                     {"sdpMid", body.value("sdpMid", Json())},
                     {"sdpMLineIndex", body.value("sdpMLineIndex", Json())}};
      relay.add_candidate(text_field(body, "userId"), sender, std::move(candidate));
      send_json(res, {{"ok", true}});
    });
    route("GET", "/webrtc/ice", [this](const httplib::Request& req, httplib::Response& res) {
      auto [list, next] = relay.candidates(query(req, "userId"), query(req, "receiver"), cursor(req));
      send_json(res, {{"candidates", std::move(list)}, {"nextSince", next}});
    });
  }

  void session_routes() {
    route("POST", "/sessions/episodes/end", [this](const httplib::Request& req, httplib::Response& res) {
      const Json body = body_object(req);
      const EpisodeEnd end = frames.end_episode(text_field(body, "userId"));
      send_json(res, {{"episodeIndex", end.episode_index}, {"totalEpisodes", end.total_episodes}});
    });
    // The operator page names the task of the episodes it records next.
    route("POST", "/sessions/task", [this](const httplib::Request& req, httplib::Response& res) {
      const Json body = body_object(req);
      const std::string task = text_field(body, "task");
      if (task.empty() || task.size() > 1000 || !valid_utf8(task)) {
        throw BadRequest("\"task\" must be 1 to 1000 characters of text");
      }
      frames.set_task(text_field(body, "userId"), task);
      send_json(res, {{"ok", true}});
    });
    route("POST", "/sessions/episodes/reset", [this](const httplib::Request& req, httplib::Response& res) {
      const Json body = body_object(req);
      send_json(res, {{"framesCleared", frames.reset_episode(text_field(body, "userId"))}});
    });
    route("POST", "/sessions/end", [this](const httplib::Request& req, httplib::Response& res) {
      const Json body = body_object(req);
      ExportRequest request = export_request(body);
      if (body.contains("robotType") && body["robotType"].is_string()) request.robot_type = body["robotType"];
      if (body.contains("fps") && body["fps"].is_number()) request.fps = body["fps"].get<double>();
      const auto target = dataset_dir(options.data_dir, request.repo_id);
      const auto job = frames.take_for_export(request.user_id);
      if (!job) {
        send_json(res, {{"status", "nothing to export"}, {"repoId", request.repo_id}, {"episodes", 0}});
        return;
      }
      set_export_state(request.repo_id, {{"state", "running"}, {"datasetDir", target.string()}});
      exports.submit([this, job = *job, request] { run_export(job, request); });
      send_json(res, {{"status", "exporting"},
                      {"repoId", request.repo_id},
                      {"datasetDir", target.string()},
                      {"episodes", job->episodes}});
    });
    // Exports that failed keep their episodes: this runs them again.
    route("POST", "/sessions/export/retry", [this](const httplib::Request& req, httplib::Response& res) {
      const Json body = body_object(req);
      ExportRequest request = export_request(body);
      const auto jobs = frames.failed_exports(request.user_id);
      if (jobs.empty()) {
        send_json(res, {{"status", "nothing to export"}, {"repoId", request.repo_id}, {"episodes", 0}});
        return;
      }
      long episodes = 0;
      for (const auto& job : jobs) episodes += job.episodes;
      set_export_state(request.repo_id, {{"state", "running"}, {"datasetDir", dataset_dir(options.data_dir, request.repo_id).string()}});
      exports.submit([this, jobs, request] {
        for (const auto& job : jobs) run_export(job, request);
      });
      send_json(res, {{"status", "exporting"}, {"repoId", request.repo_id}, {"episodes", episodes}});
    });
    route("GET", "/sessions/export-status", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(export_mutex);
      const auto it = export_state.find(query(req, "repoId"));
      send_json(res, it == export_state.end() ? Json{{"state", "unknown"}} : it->second);
    });
  }

  void set_export_state(const std::string& repo_id, Json state) {
    std::lock_guard lock(export_mutex);
    export_state[repo_id] = std::move(state);
  }

  // What an export of the body's user and repository is asked to do; new datasets get the studio's settings.
  ExportRequest export_request(const Json& body) const {
    ExportRequest r;
    r.user_id = text_field(body, "userId");
    r.repo_id = text_field(body, "repoId");
    r.video_codec = options.video_codec;
    r.data_file_mb = options.data_file_mb;
    r.video_file_mb = options.video_file_mb;
    return r;
  }

  void run_export(const ExportJob& job, const ExportRequest& request) {
    const std::string target = dataset_dir(options.data_dir, request.repo_id).string();
    try {
      const ExportResult r = export_dataset(job, options.data_dir, request, [&](long done, long total) {
        set_export_state(request.repo_id, {{"state", "running"}, {"datasetDir", target}, {"episodesDone", done},
                                           {"episodesTotal", total}});
      });
      set_export_state(request.repo_id, {{"state", "done"},
                                         {"datasetDir", r.dataset_dir.string()},
                                         {"episodesAdded", r.episodes_added},
                                         {"framesAdded", r.frames_added}});
      std::printf("studio: exported %ld episode(s), %ld frame(s) of %s to %s\n", r.episodes_added, r.frames_added,
                  request.repo_id.c_str(), r.dataset_dir.c_str());
      std::fflush(stdout);
    } catch (const std::exception& e) {
      // The job directory stays in export-jobs/, so nothing is lost and
      // POST /sessions/export/retry runs it again.
      set_export_state(request.repo_id, {{"state", "failed"}, {"error", e.what()}, {"datasetDir", target},
                                         {"retry", "POST /sessions/export/retry"}});
      std::fprintf(stderr, "studio: export of %s failed: %s\n", request.repo_id.c_str(), e.what());
    }
  }

  // The dataset viewer's API: datasets, episodes, an episode's joint
  // values, the videos (with range requests), and deleting an episode.
  void dataset_routes() {
    auto guarded_dataset = [](auto&& fn) {
      return [fn](const httplib::Request& req, httplib::Response& res) {
        try {
          fn(req, res);
        } catch (const DatasetNotFound& e) {
          send_json(res, {{"error", e.what()}}, 404);
        } catch (const LastEpisode& e) {
          send_json(res, {{"error", e.what()}}, 409);
        }
      };
    };
    // A signed-in browser sees only its user's datasets.
    auto visible = [this](const httplib::Request& req, const std::string& repo) {
      const auto user = bound_user(req);
      if (user && dataset_owner(options.data_dir, repo) != *user) throw DatasetNotFound("no dataset " + repo);
      return repo;
    };
    route("GET", "/datasets", [this](const httplib::Request& req, httplib::Response& res) {
      send_json(res, {{"datasets", list_datasets(options.data_dir, bound_user(req))}});
    });
    route("GET", "/datasets/episodes", guarded_dataset([this, visible](const httplib::Request& req, httplib::Response& res) {
      send_json(res, dataset_episodes(options.data_dir, visible(req, query(req, "repoId"))));
    }));
    route("GET", "/datasets/episode", guarded_dataset([this, visible](const httplib::Request& req, httplib::Response& res) {
      send_json(res, episode_series(options.data_dir, visible(req, query(req, "repoId")), episode_number(query(req, "episode"))));
    }));
    route("GET", "/datasets/video", guarded_dataset([this, visible](const httplib::Request& req, httplib::Response& res) {
      const auto path = dataset_video(options.data_dir, visible(req, query(req, "repoId")), query(req, "path"));
      if (!path) {
        send_json(res, {{"error", "no such video"}}, 404);
        return;
      }
      auto file = std::make_shared<std::ifstream>(*path, std::ios::binary);
      const size_t size = std::filesystem::file_size(*path);
      res.set_header("Cache-Control", "no-cache");  // a deleted episode must not play from an old copy
      res.set_content_provider(size, "video/mp4", [file](size_t offset, size_t length, httplib::DataSink& sink) {
        std::array<char, 64 * 1024> buffer;
        file->seekg(static_cast<std::streamoff>(offset));
        const size_t n = std::min(length, buffer.size());
        file->read(buffer.data(), static_cast<std::streamsize>(n));
        if (file->gcount() <= 0) return false;
        sink.write(buffer.data(), static_cast<size_t>(file->gcount()));
        return true;
      });
    }));
    route("POST", "/datasets/episodes/delete", guarded_dataset([this, visible](const httplib::Request& req, httplib::Response& res) {
      const Json body = body_object(req);
      const std::string repo = visible(req, text_field(body, "repoId"));
      if (!body.contains("episode") || !body["episode"].is_number_integer()) throw BadRequest("\"episode\" must be an integer");
      const long episode = body["episode"].get<long>();
      // On the export thread: never beside an export of the same dataset.
      const DeletedEpisode deleted =
          exports.submit([this, repo, episode] { return delete_episode(options.data_dir, repo, episode); }).get();
      send_json(res, {{"repoId", repo}, {"deleted", episode}, {"frames", deleted.frames}, {"episodes", deleted.episodes_left}});
    }));
  }

  // Signing a browser from another computer in: the token and a user name
  // open a session; the cookie carries it.
  void access_routes() {
    route("GET", "/access", [](const httplib::Request& req, httplib::Response& res) {
      const std::string next = req.has_param("next") ? req.get_param_value("next") : "/velquin";
      send_access_page(res, local_path(next) ? next : "/velquin", "", 200);
    });
    route("POST", "/access", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string next = req.has_param("next") && local_path(req.get_param_value("next")) ? req.get_param_value("next") : "/velquin";
      const std::string user = req.has_param("user") ? req.get_param_value("user") : "";
      if (!access.enforced() || !access.token_matches(req.has_param("token") ? req.get_param_value("token") : "")) {
        send_access_page(res, next, "That is not this studio's access token.", 401);
        return;
      }
      if (user.empty() || user.size() > 100 || !valid_utf8(user) ||
          std::any_of(user.begin(), user.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        send_access_page(res, next, "Give a user name of 1 to 100 characters.", 400);
        return;
      }
      res.set_header("Set-Cookie", std::string(AccessControl::kCookie) + "=" + access.open_session(user) +
                                       "; Path=/; HttpOnly; SameSite=Strict");
      res.set_redirect(next, 303);
    });
    route("GET", "/access/whoami", [this](const httplib::Request& req, httplib::Response& res) {
      const auto user = bound_user(req);
      send_json(res, {{"user", user ? Json(*user) : Json(nullptr)}});
    });
  }

  void page_routes() {
    route("GET", "/api/auth/velquin-login", [](const httplib::Request& req, httplib::Response& res) {
      const std::string redirect = req.has_param("redirect_uri") ? req.get_param_value("redirect_uri") : "";
      if (!loopback_http_url(redirect)) {
        res.status = 400;
        res.set_content("Sign-in needs a redirect_uri on this computer (http://127.0.0.1:PORT/...).", "text/plain");
        return;
      }
      std::string page(find_web_asset("login.html")->body);
      page.replace(page.find("{{REDIRECT_URI}}"), 16, html_escape(redirect));
      res.set_content(page, "text/html; charset=utf-8");
    });
    route("GET", "/", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/velquin"); });
    route("GET", "/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    route("GET", "/velquin", [](const httplib::Request&, httplib::Response& res) {
      const WebAsset* page = find_web_asset("velquin.html");
      res.set_content(std::string(page->body), std::string(page->content_type));
    });
    route("GET", "/velquin/datasets", [](const httplib::Request&, httplib::Response& res) {
      const WebAsset* page = find_web_asset("datasets.html");
      res.set_content(std::string(page->body), std::string(page->content_type));
    });
    route("GET", R"(/velquin/([a-z_]+\.(js|css)))", [](const httplib::Request& req, httplib::Response& res) {
      const WebAsset* asset = find_web_asset(req.matches[1].str());
      if (!asset) {
        res.status = 404;
        return;
      }
      res.set_content(std::string(asset->body), std::string(asset->content_type));
    });
  }
};

Studio::Studio(StudioOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& s = *impl_;
  s.http.set_payload_max_length(kMaxBodyBytes);
  // Each open connection holds a worker while it is read: many workers; a
  // request that stops arriving for a second, or has not arrived whole
  // within the deadline, is dropped, so slow or silent clients cannot take
  // the API from everyone else.
  s.http.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
  s.http.set_read_timeout(1, 0);
  s.http.set_keep_alive_timeout(2);
  // The server listens with a backlog of 5, which resets connections when
  // many clients arrive at once; a second listen() on the socket raises it.
  int listening = -1;
  s.http.set_socket_options([&listening](int fd) {
    httplib::default_socket_options(fd);
    listening = fd;
  });
  s.http.set_tcp_nodelay(true);  // keep-alive clients: answers go out at once, not after the ACK delay
  s.signaling_routes();
  s.session_routes();
  s.dataset_routes();
  s.access_routes();
  s.page_routes();
  s.http.set_pre_routing_handler([&s](const httplib::Request& req, httplib::Response& res) { return s.check_access(req, res); });
  kit::flight::FlightServerOptions flight;
  flight.host = s.options.host;
  flight.port = s.options.flight_port;
  flight.max_receive_bytes = kMaxFrameBytes;
  flight.max_threads = kFlightThreads;
  flight.authorize = [&s](const kit::flight::FlightCaller& caller) {
    if (!s.access.enforced() || loopback_grpc_peer(caller.peer)) return true;
    return std::any_of(caller.headers.begin(), caller.headers.end(),
                       [&](const auto& h) { return h.first == "authorization" && s.access.bearer_matches(h.second); });
  };
  // Frames are staged as they arrive: a put never holds more than one.
  flight.on_batch = [&s](const kit::flight::FlightDescriptor& descriptor, const std::shared_ptr<kit::flight::RecordBatch>& batch) {
    if (descriptor.path != std::vector<std::string>{"robot_data"}) {
      throw std::invalid_argument("unknown Flight path; frames go to \"robot_data\"");
    }
    s.frames.add_batch(batch);
  };
  s.flight = std::make_unique<kit::flight::FlightServer>(flight, nullptr);
  if (s.options.http_port == 0) {
    s.http_port = s.http.bind_to_any_port(s.options.host);
  } else if (s.http.bind_to_port(s.options.host, s.options.http_port)) {
    s.http_port = s.options.http_port;
  }
  if (s.http_port <= 0) {
    throw std::runtime_error("cannot listen for HTTP on " + s.options.host + ":" + std::to_string(s.options.http_port));
  }
  if (listening >= 0) ::listen(listening, SOMAXCONN);
  s.http_thread = std::thread([&s] { s.http.listen_after_bind(); });
  while (!s.http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Studio::~Studio() {
  impl_->http.stop();
  if (impl_->http_thread.joinable()) impl_->http_thread.join();
  impl_->flight->Shutdown();
  impl_->exports.shutdown();
}

int Studio::http_port() const { return impl_->http_port; }
int Studio::flight_port() const { return impl_->flight->port(); }
std::string Studio::http_url() const { return "http://" + impl_->options.host + ":" + std::to_string(http_port()); }
std::string Studio::flight_url() const { return impl_->flight->location(); }
const std::filesystem::path& Studio::data_dir() const { return impl_->options.data_dir; }

}  // namespace studio
