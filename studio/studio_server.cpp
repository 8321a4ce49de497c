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
#include "kit/http/guarded_server.hpp"
#include "kit/http/url.hpp"
#include "kit/pool/thread_pool.hpp"
#include "studio/access_control.hpp"
#include "studio/api_call.hpp"
#include "studio/dataset_catalog.hpp"
#include "studio/dataset_library.hpp"
#include "studio/dataset_publisher.hpp"
#include "studio/episode_deletion.hpp"
#include "studio/export_board.hpp"
#include "studio/export_queue.hpp"
#include "studio/store_views.hpp"
#include "studio/exporter.hpp"
#include "studio/live_feed.hpp"
#include "studio/logged_frame.hpp"
#include "studio/postgres_signaling.hpp"
#include "studio/frame_store.hpp"
#include "studio/request_trust.hpp"
#include "studio/signaling.hpp"
#include "studio/web_assets.hpp"

namespace studio {
namespace fs = std::filesystem;
namespace {

constexpr size_t kMaxBodyBytes = 1 << 20;  // an SDP is a few KiB; nothing here needs more
// One logged frame: a few cameras of JPEGs. 64 MiB holds four 4K pictures
// at the highest quality; anything larger is refused before it is buffered.
constexpr int kMaxFrameBytes = 64 << 20;
constexpr int kFlightThreads = 32;  // puts in flight at once, whatever the number of open streams
// A robot has at most one put open at a time; a client holding more is
// stuck or hostile, and a put that sends nothing for a while is cut off,
// so no client can take the receiver from the others.
constexpr int kFlightPutsPerClient = 4;
constexpr int kFlightPutsPerAddress = 16;
constexpr std::chrono::seconds kFlightIdle{10};
constexpr size_t kMaxOfferBytes = 256 << 10;
constexpr size_t kMaxNegotiations = 1000;  // users with an offer waiting, all together
// A real ICE candidate line is under 1 KB, and a negotiation trickles a few dozen.
constexpr size_t kMaxCandidateBytes = 2048;
constexpr size_t kMaxCandidates = 200;  // per negotiation and direction

// What the HTTP front end takes: a request (line, headers, body of at most
// kMaxBodyBytes) arrives whole within 5 s, even over a slow link; silent and
// slow clients wait at its gate without holding a worker.
kit::http::ServerLimits http_limits() {
  kit::http::ServerLimits limits;
  limits.workers = 64;  // requests served at once (browsers keep up to 6 connections each)
  limits.request_deadline = std::chrono::seconds(5);
  limits.idle = std::chrono::seconds(2);
  limits.max_header_bytes = 16 << 10;
  limits.max_header_count = 100;
  limits.max_connections_per_address = 64;
  return limits;
}

// Pages a browser may be sent to from anywhere (a link, a bookmark); every
// other route answers only the studio's own pages and programs.
bool page_route(const std::string& path) {
  return path == "/" || path == "/velquin" || path == "/velquin/datasets" || path == "/access" ||
         path == "/api/auth/velquin-login" || path == "/favicon.ico";
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

// Where the access page may send a browser on: a path of this studio.
// Printable ASCII only: browsers drop tabs and line breaks from a Location,
// which would turn "/\t/evil.example" into "//evil.example".
bool local_path(const std::string& next) {
  const bool printable = std::all_of(next.begin(), next.end(), [](char c) { return c > 0x20 && c < 0x7f; });
  return printable && next.starts_with("/") && !next.starts_with("//") && next.find('\\') == std::string::npos;
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

// With a store and a database, the studios given them share their exports and datasets.
static bool shares_exports(const StudioOptions& o) { return !o.store.empty() && !o.database.empty(); }

struct Studio::Impl {
  StudioOptions options;
  std::shared_ptr<Postgres> database;  // with --db: what studios share
  std::unique_ptr<Signaling> relay;    // in this process, or in the shared database
  FrameStore frames;
  kit::http::GuardedServer http{http_limits()};
  std::thread http_thread;
  int http_port = 0;
  std::unique_ptr<kit::flight::FlightServer> flight;
  kit::ThreadPool exports{1};
  ExportBoard board;
  LiveFeed live;
  DatasetCatalog catalog;
  AccessControl access;
  RequestTrust trust;
  std::unique_ptr<DatasetPublisher> publisher;  // with a store
  std::unique_ptr<ExportQueue> queue;           // with a store and a database: the fleet's export jobs
  std::unique_ptr<StoreViews> views;            // likewise: what the viewer shows of the bucket's datasets

  // Said before anything is started or connected to.
  static StudioOptions checked(StudioOptions o) {
    if (!o.exports && o.export_only) throw std::invalid_argument("--no-export and --export-only exclude each other");
    if ((!o.exports || o.export_only) && !shares_exports(o)) {
      throw std::invalid_argument("exporting on other studios (--no-export, --export-only) needs the shared --store and --db");
    }
    return o;
  }

  explicit Impl(StudioOptions o)
      : options(checked(std::move(o))),
        database(options.database.empty() ? nullptr : std::make_shared<Postgres>(options.database)),
        relay(database ? std::unique_ptr<Signaling>(std::make_unique<PostgresSignaling>(database))
                       : std::make_unique<SignalingRelay>()),
        frames(options.data_dir),
        board(options.data_dir),
        catalog(shares_exports(options) ? options.data_dir / "view" : options.data_dir, options.other_datasets),
        access(options.token, database),
        trust(options.allowed_hosts) {
    if (!loopback_host(options.host) && options.token.empty()) {
      throw std::invalid_argument("a studio listening on " + options.host +
                                  " can be reached from other computers: it needs an access token");
    }
    recover_exports(options.data_dir);
    board.load_kept_jobs();
    if (!options.store.empty()) start_publishing();
  }

  // Every own dataset is brought up to date in the store, then each change.
  void start_publishing() {
    StoreAddress store = StoreAddress::parse(options.store);  // a malformed address is said first
    if (options.s3_endpoint.empty()) throw std::invalid_argument("--store " + options.store + " needs --s3-endpoint URL");
    const auto endpoint = kit::s3::Endpoint::from_environment(options.s3_endpoint);
    publisher = std::make_unique<DatasetPublisher>(store, endpoint,
                                                   [this](std::function<void()> task) { exports.submit(std::move(task)); });
    if (database) {
      // The datasets here are copies of the fleet's, brought up to date by
      // each job under its lease: never published on their own.
      ExportQueueOptions queued{random_token().substr(0, 8), options.exports, options.export_lease};
      queue = std::make_unique<ExportQueue>(database, store, endpoint, options.data_dir, queued, *publisher,
                                            [this](std::function<void()> task) { return exports.submit(std::move(task)); });
      views = std::make_unique<StoreViews>(store, endpoint, catalog.data_dir());
      return;
    }
    for (const auto& dataset : catalog.all()) {
      if (!dataset.read_only) publisher->publish(dataset.repo_id, dataset.path);
    }
  }

  bool shows_token(const httplib::Request& req) const {
    return access.enforced() && access.bearer_matches(req.get_header_value("Authorization"));
  }

  // The user a browser from another computer signed in as; nothing for
  // callers on this computer and for robots showing the token.
  std::optional<std::string> bound_user(const httplib::Request& req) const {
    if (!access.enforced() || loopback_address(req.remote_addr) || shows_token(req)) return std::nullopt;
    return access.session_user(req.get_header_value("Cookie"));
  }

  // Before routing (and before a body is read): where the request comes
  // from, then whether its caller may use this studio at all.
  httplib::Server::HandlerResponse check_request(const httplib::Request& req, httplib::Response& res) const {
    RequestFacts facts;
    facts.method = req.method;
    facts.path = req.path;
    const std::string host = req.get_header_value("Host"), origin = req.get_header_value("Origin"),
                      site = req.get_header_value("Sec-Fetch-Site"), type = req.get_header_value("Content-Type");
    facts.host = host;
    facts.origin = origin;
    facts.fetch_site = site;
    facts.content_type = type;
    facts.shows_token = shows_token(req);
    facts.page = req.method == "GET" && page_route(req.path);
    facts.form_post = req.path == "/access";
    if (const auto refusal = trust.check(facts)) {
      send_json(res, {{"error", refusal->reason}}, refusal->status);
      res.set_header("Connection", "close");
      return httplib::Server::HandlerResponse::Handled;
    }
    return check_access(req, res);
  }

  // Callers from other computers without the token get 401, nothing read or changed.
  httplib::Server::HandlerResponse check_access(const httplib::Request& req, httplib::Response& res) const {
    if (!access.enforced() || loopback_address(req.remote_addr) || req.path == "/access") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (shows_token(req) || access.session_user(req.get_header_value("Cookie"))) {
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

  using Handler = std::function<void(const Call&, httplib::Response&)>;

  void route(const char* method, const char* path, Handler fn) {
    auto guarded = [this, fn = std::move(fn)](const httplib::Request& req, httplib::Response& res) {
      try {
        fn(Call(req, bound_user(req)), res);
      } catch (const BadRequest& e) {
        send_json(res, {{"error", e.what()}}, 400);
      } catch (const Forbidden& e) {
        send_json(res, {{"error", e.what()}}, 403);
      } catch (const DatasetNotFound& e) {
        send_json(res, {{"error", e.what()}}, 404);
      } catch (const LastEpisode& e) {
        send_json(res, {{"error", e.what()}}, 409);
      } catch (const DatasetBusy& e) {
        send_json(res, {{"error", e.what()}}, 409);
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
      if (full.path == "/access" && full.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded")) {
        httplib::detail::parse_query_text(full.body, full.params);
      }
      guarded(full, res);
    });
  }

  void signaling_routes() {
    route("POST", "/webrtc/offer", [this](const Call& call, httplib::Response& res) {
      const std::string& user = call.user();
      if (call.text("sdp").size() > kMaxOfferBytes || call.req.body.size() > kMaxOfferBytes + 4096) {
        send_json(res, {{"error", "the offer is larger than any real one"}}, 413);
        return;
      }
      if (!relay->has_room(user, kMaxNegotiations)) {
        send_json(res, {{"error", "too many negotiations at once; try again later"}}, 429);
        return;
      }
      // The robot offers once, when a session starts: frames left open by
      // an earlier session that ended without ending its episode go aside.
      frames.set_aside_open_episode(user);
      live.session_started(user);
      relay->put_offer(user, call.body);
      send_json(res, {{"ok", true}});
    });
    route("GET", "/webrtc/offer", [this](const Call& call, httplib::Response& res) {
      const auto offer = relay->offer(call.user());
      send_json(res, offer ? *offer : Json{{"offerId", nullptr}});
    });
    route("POST", "/webrtc/answer", [this](const Call& call, httplib::Response& res) {
      const Json& body = call.body;
      if (!body.contains("offerId") || !body["offerId"].is_number_integer()) throw BadRequest("\"offerId\" must be an integer");
      Json answer{{"sdp", call.text("sdp")}, {"type", body.value("type", "answer")}};
      if (!relay->put_answer(call.user(), body["offerId"].get<long>(), std::move(answer))) {
        send_json(res, {{"error", "that offer has been replaced or has expired"}}, 409);
        return;
      }
      send_json(res, {{"ok", true}});
    });
    route("GET", "/webrtc/answer", [this](const Call& call, httplib::Response& res) {
      const auto answer = relay->answer(call.user());
      send_json(res, answer ? *answer : Json{{"sdp", ""}, {"type", nullptr}});
    });
    route("POST", "/webrtc/ice", [this](const Call& call, httplib::Response& res) {
      const std::string sender = call.text("sender");
      if (sender != "robot" && sender != "browser") throw BadRequest("\"sender\" must be \"robot\" or \"browser\"");
      const std::string text = call.text("candidate");
      if (text.size() > kMaxCandidateBytes) {
        send_json(res, {{"error", "the candidate is larger than any real one"}}, 413);
        return;
      }
      Json candidate{{"candidate", text},
                     {"sdpMid", call.body.value("sdpMid", Json())},
                     {"sdpMLineIndex", call.body.value("sdpMLineIndex", Json())}};
      if (!relay->add_candidate(call.user(), sender, std::move(candidate), kMaxCandidates)) {
        send_json(res, {{"error", "too many candidates for one negotiation"}}, 429);
        return;
      }
      send_json(res, {{"ok", true}});
    });
    route("GET", "/webrtc/ice", [this](const Call& call, httplib::Response& res) {
      auto [list, next] = relay->candidates(call.user(), call.param("receiver"), cursor(call.req));
      send_json(res, {{"candidates", std::move(list)}, {"nextSince", next}});
    });
  }

  // A dataset belongs to the user whose session created it: only that user
  // may append to it. One without a recorded owner (another tool's) takes
  // appends from this computer only.
  void check_may_append(const Call& call, const std::string& repo_id) const {
    if (!fs::exists(dataset_dir(options.data_dir, repo_id) / "meta" / "info.json")) return;
    const std::string owner = dataset_owner(catalog.find(repo_id));
    if (owner.empty() ? call.signed_in.has_value() : owner != call.user()) {
      throw Forbidden("the dataset " + repo_id + " belongs to another user; export to another repository");
    }
  }

  void session_routes() {
    route("POST", "/sessions/episodes/end", [this](const Call& call, httplib::Response& res) {
      const EpisodeEnd end = frames.end_episode(call.user());
      live.episode_ended(call.user());
      send_json(res, {{"episodeIndex", end.episode_index}, {"totalEpisodes", end.total_episodes}});
    });
    // The operator page names the task of the episodes it records next.
    route("POST", "/sessions/task", [this](const Call& call, httplib::Response& res) {
      const std::string task = call.text("task");
      if (task.empty() || task.size() > 1000 || !valid_utf8(task)) {
        throw BadRequest("\"task\" must be 1 to 1000 characters of text");
      }
      frames.set_task(call.user(), task);
      send_json(res, {{"ok", true}});
    });
    route("POST", "/sessions/episodes/reset", [this](const Call& call, httplib::Response& res) {
      const long cleared = frames.reset_episode(call.user());
      live.episode_reset(call.user());
      send_json(res, {{"framesCleared", cleared}});
    });
    // What the operator page shows while recording (see LiveFeed).
    route("GET", "/sessions/live", [this](const Call& call, httplib::Response& res) {
      send_json(res, live.snapshot(call.user(), cursor(call.req)));
    });
    route("POST", "/sessions/end", [this](const Call& call, httplib::Response& res) {
      ExportRequest request = export_request(call);
      if (call.body.contains("robotType") && call.body["robotType"].is_string()) request.robot_type = call.body["robotType"];
      if (call.body.contains("fps") && call.body["fps"].is_number()) request.fps = call.body["fps"].get<double>();
      check_may_append(call, request.repo_id);
      const auto job = frames.take_for_export(request.user_id);
      if (!job) {
        send_json(res, {{"status", "nothing to export"}, {"repoId", request.repo_id}, {"episodes", 0}});
        return;
      }
      board.remember_request(*job, request);
      board.begin(request);
      if (queue) queue->submit(*job, request);
      else exports.submit([this, job = *job, request] { run_export(job, request); });
      send_json(res, {{"status", "exporting"},
                      {"repoId", request.repo_id},
                      {"datasetDir", board.dataset_path(request.repo_id)},
                      {"episodes", job->episodes}});
    });
    // Exports that failed keep their episodes: this runs them again.
    route("POST", "/sessions/export/retry", [this](const Call& call, httplib::Response& res) {
      const ExportRequest request = export_request(call);
      check_may_append(call, request.repo_id);
      const auto jobs = frames.failed_exports(request.user_id);
      const long queued_again = queue ? queue->retry(request.user_id, request.repo_id) : 0;
      if (queued_again > 0 && jobs.empty()) {
        send_json(res, {{"status", "exporting"}, {"repoId", request.repo_id}, {"episodes", queued_again}});
        return;
      }
      if (jobs.empty()) {
        send_json(res, {{"status", "nothing to export"}, {"repoId", request.repo_id}, {"episodes", 0}});
        return;
      }
      long episodes = 0;
      for (const auto& job : jobs) {
        episodes += job.episodes;
        board.remember_request(job, request);
      }
      board.begin(request);
      if (queue) {
        for (const auto& job : jobs) queue->submit(job, request);
      } else {
        exports.submit([this, jobs, request] {
          for (const auto& job : jobs) run_export(job, request);
        });
      }
      send_json(res, {{"status", "exporting"}, {"repoId", request.repo_id}, {"episodes", episodes + queued_again}});
    });
    route("GET", "/sessions/export-status", [this](const Call& call, httplib::Response& res) {
      if (queue) {
        if (auto shared = queue->status(call.param("repoId"), call.user())) {
          send_json(res, *shared);
          return;
        }
      }
      nlohmann::json status = board.get(call.param("repoId"), call.user());
      if (publisher) status["publish"] = publisher->state(call.param("repoId"));
      send_json(res, status);
    });
  }

  // What an export of the call's user and repository is asked to do; new datasets get the studio's settings.
  ExportRequest export_request(const Call& call) const {
    ExportRequest r;
    r.user_id = call.user();
    r.repo_id = call.text("repoId");
    r.video_codec = options.video_codec;
    r.data_file_mb = options.data_file_mb;
    r.video_file_mb = options.video_file_mb;
    return r;
  }

  void run_export(const ExportJob& job, const ExportRequest& request) {
    const std::string target = board.dataset_path(request.repo_id);
    try {
      const ExportResult r = export_dataset(job, options.data_dir, request, [&](long done, long total) {
        board.set(request, {{"state", "running"}, {"datasetDir", target}, {"episodesDone", done}, {"episodesTotal", total}});
      });
      board.set(request, {{"state", "done"},
                          {"datasetDir", target},
                          {"episodesAdded", r.episodes_added},
                          {"framesAdded", r.frames_added}});
      std::printf("studio: exported %ld episode(s), %ld frame(s) of %s to %s\n", r.episodes_added, r.frames_added,
                  request.repo_id.c_str(), r.dataset_dir.c_str());
      std::fflush(stdout);
      if (publisher) publisher->publish(request.repo_id, r.dataset_dir);
    } catch (const std::exception& e) {
      // The job directory stays in export-jobs/, with the reason beside it,
      // so nothing is lost and POST /sessions/export/retry runs it again.
      board.remember_failure(job, e.what());
      board.set(request, {{"state", "failed"}, {"error", e.what()}, {"datasetDir", target}});
      std::fprintf(stderr, "studio: export of %s failed: %s\n", request.repo_id.c_str(), e.what());
    }
  }

  // A browser from another computer sees its user's datasets only.
  DatasetEntry visible(const Call& call, const std::string& repo) const {
    const DatasetEntry dataset = catalog.find(repo);
    if (call.signed_in && dataset_owner(dataset) != *call.signed_in) throw Forbidden("the dataset " + repo + " belongs to another user");
    return dataset;
  }

  // The dataset viewer's API: datasets, episodes, an episode's joint
  // values, the videos (with range requests), and deleting an episode.
  void dataset_routes() {
    route("GET", "/datasets", [this](const Call& call, httplib::Response& res) {
      if (views) views->refresh_all();
      send_json(res, {{"datasets", list_datasets(catalog, call.signed_in)}});
    });
    route("GET", "/datasets/episodes", [this](const Call& call, httplib::Response& res) {
      if (views) views->refresh(call.param("repoId"));
      send_json(res, dataset_episodes(visible(call, call.param("repoId"))));
    });
    route("GET", "/datasets/episode", [this](const Call& call, httplib::Response& res) {
      if (views) views->refresh(call.param("repoId"));
      send_json(res, episode_series(visible(call, call.param("repoId")), episode_number(call.param("episode"))));
    });
    route("GET", "/datasets/video", [this](const Call& call, httplib::Response& res) {
      const DatasetEntry dataset = visible(call, call.param("repoId"));
      const auto path = dataset_video(dataset, call.param("path"));
      if (!path) {
        send_json(res, {{"error", "no such video"}}, 404);
        return;
      }
      if (const auto size = views ? views->in_store_only(dataset.path, call.param("path")) : std::nullopt) {
        // Played straight from the bucket, a range at a time.
        res.set_header("Cache-Control", "no-cache");
        res.set_content_provider(*size, "video/mp4",
                                 [read = views->range_reader(dataset.repo_id, call.param("path"))](
                                     size_t offset, size_t length, httplib::DataSink& sink) {
                                   const std::string bytes = read(offset, std::min<size_t>(length, 1 << 20));
                                   if (bytes.empty()) return false;
                                   sink.write(bytes.data(), bytes.size());
                                   return true;
                                 });
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
    });
    route("POST", "/datasets/episodes/delete", [this](const Call& call, httplib::Response& res) {
      const DatasetEntry dataset = visible(call, call.text("repoId"));
      if (dataset.read_only) throw Forbidden("the dataset " + dataset.repo_id + " was recorded by another tool: it is shown read-only");
      if (!call.body.contains("episode") || !call.body["episode"].is_number_integer()) throw BadRequest("\"episode\" must be an integer");
      const long episode = call.body["episode"].get<long>();
      DeletedEpisode deleted{};
      if (queue) {
        // The fleet's dataset: changed in this studio's working copy while
        // no studio exports to it, then published, as an export would be.
        const fs::path working = dataset_dir(options.data_dir, dataset.repo_id);
        queue->hold_dataset(dataset.repo_id, dataset_owner(dataset), [&] {
          publisher->pull(dataset.repo_id, working, options.data_dir / "set-aside");
          deleted = delete_episode(working, episode);
          publisher->publish_now(dataset.repo_id, working);
        });
        views->refresh(dataset.repo_id);
      } else {
        // On the export thread: never beside an export of the same dataset.
        deleted = exports.submit([path = dataset.path, episode] { return delete_episode(path, episode); }).get();
        if (publisher) publisher->publish(dataset.repo_id, dataset.path);
      }
      send_json(res, {{"repoId", dataset.repo_id}, {"deleted", episode}, {"frames", deleted.frames}, {"episodes", deleted.episodes_left}});
    });
  }

  // Signing a browser from another computer in: the token and a user name
  // open a session; the cookie carries it.
  void access_routes() {
    route("GET", "/access", [](const Call& call, httplib::Response& res) {
      const std::string next = call.req.has_param("next") ? call.req.get_param_value("next") : "/velquin";
      send_access_page(res, local_path(next) ? next : "/velquin", "", 200);
    });
    route("POST", "/access", [this](const Call& call, httplib::Response& res) {
      const httplib::Request& req = call.req;
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
    route("GET", "/access/whoami", [](const Call& call, httplib::Response& res) {
      send_json(res, {{"user", call.signed_in ? Json(*call.signed_in) : Json(nullptr)}});
    });
  }

  void page_routes() {
    route("GET", "/api/auth/velquin-login", [](const Call& call, httplib::Response& res) {
      const std::string redirect = call.req.has_param("redirect_uri") ? call.req.get_param_value("redirect_uri") : "";
      if (!loopback_http_url(redirect)) {
        res.status = 400;
        res.set_content("Sign-in needs a redirect_uri on this computer (http://127.0.0.1:PORT/...).", "text/plain");
        return;
      }
      std::string page(find_web_asset("login.html")->body);
      page.replace(page.find("{{REDIRECT_URI}}"), 16, html_escape(redirect));
      res.set_content(page, "text/html; charset=utf-8");
    });
    route("GET", "/", [](const Call&, httplib::Response& res) { res.set_redirect("/velquin"); });
    route("GET", "/favicon.ico", [](const Call&, httplib::Response& res) { res.status = 204; });
    route("GET", "/velquin", [](const Call&, httplib::Response& res) { send_asset(res, "velquin.html"); });
    route("GET", "/velquin/datasets", [](const Call&, httplib::Response& res) { send_asset(res, "datasets.html"); });
    route("GET", R"(/velquin/([a-z_]+\.(js|css)))", [](const Call& call, httplib::Response& res) {
      if (!find_web_asset(call.req.matches[1].str())) {
        res.status = 404;
        return;
      }
      send_asset(res, call.req.matches[1].str());
    });
  }

  static void send_asset(httplib::Response& res, const std::string& name) {
    const WebAsset* asset = find_web_asset(name);
    res.set_content(std::string(asset->body), std::string(asset->content_type));
  }
};

Studio::Studio(StudioOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& s = *impl_;
  if (s.options.export_only) return;  // no robots, no browsers: it claims the fleet's export jobs
  s.http.set_payload_max_length(kMaxBodyBytes);
  // A request that stops arriving for a second is dropped (besides the
  // front end's deadline for the whole request).
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
  // No page of this studio may be framed by another site's page.
  s.http.set_default_headers({{"X-Frame-Options", "DENY"},
                              {"Content-Security-Policy", "frame-ancestors 'none'"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "same-origin"}});
  s.signaling_routes();
  s.session_routes();
  s.dataset_routes();
  s.access_routes();
  s.page_routes();
  s.http.set_pre_routing_handler([&s](const httplib::Request& req, httplib::Response& res) { return s.check_request(req, res); });
  kit::flight::FlightServerOptions flight;
  flight.host = s.options.host;
  flight.port = s.options.flight_port;
  flight.max_receive_bytes = kMaxFrameBytes;
  flight.max_threads = kFlightThreads;
  flight.max_puts_per_client = kFlightPutsPerClient;
  flight.max_puts_per_address = kFlightPutsPerAddress;
  flight.idle_timeout = kFlightIdle;
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
    s.live.frame(read_logged_frame(*batch));
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
  if (impl_->flight) impl_->flight->Shutdown();
  if (impl_->queue) impl_->queue->stop();
  if (impl_->publisher) impl_->publisher->stop();
  impl_->exports.shutdown();
}

int Studio::http_port() const { return impl_->http_port; }
int Studio::flight_port() const { return impl_->flight ? impl_->flight->port() : 0; }
std::string Studio::http_url() const { return "http://" + impl_->options.host + ":" + std::to_string(http_port()); }
std::string Studio::flight_url() const { return impl_->flight ? impl_->flight->location() : ""; }
const std::filesystem::path& Studio::data_dir() const { return impl_->options.data_dir; }

}  // namespace studio
