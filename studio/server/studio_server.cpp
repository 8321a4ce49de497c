#include "studio/server/studio_server.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "kit/flight/flight.hpp"
#include "kit/http/guarded_server.hpp"
#include "kit/pool/thread_pool.hpp"
#include "studio/datasets/dataset_catalog.hpp"
#include "studio/datasets/export_board.hpp"
#include "studio/datasets/exporter.hpp"
#include "studio/datasets/live_encoder.hpp"
#include "studio/fleet/dataset_publisher.hpp"
#include "studio/fleet/export_queue.hpp"
#include "studio/fleet/fleet_board.hpp"
#include "studio/fleet/node_registry.hpp"
#include "studio/fleet/postgres_signaling.hpp"
#include "studio/fleet/store_views.hpp"
#include "studio/live/frame_store.hpp"
#include "studio/live/live_feed.hpp"
#include "studio/live/logged_frame.hpp"
#include "studio/live/signaling.hpp"
#include "studio/server/access_control.hpp"
#include "studio/server/front_door.hpp"
#include "studio/server/request_trust.hpp"
#include "studio/server/router.hpp"
#include "studio/server/routes/access_routes.hpp"
#include "studio/server/routes/dataset_routes.hpp"
#include "studio/server/routes/fleet_routes.hpp"
#include "studio/server/routes/health_routes.hpp"
#include "studio/server/routes/page_routes.hpp"
#include "studio/server/routes/session_routes.hpp"
#include "studio/server/routes/signaling_routes.hpp"
#include "studio/server/session_exports.hpp"

namespace studio {
namespace {

// One logged frame: a few cameras of JPEGs. 64 MiB holds four 4K pictures
// at the highest quality; anything larger is refused before it is buffered.
constexpr int kMaxFrameBytes = 64 << 20;
constexpr int kFlightThreads = 32;  // puts in flight at once, whatever the number of open streams
// A robot has at most one put open at a time; a client holding more is
// stuck or hostile, and a put that sends nothing for a while is cut off,
// so no client can take the receiver from the others.
constexpr int kFlightPutsPerClient = 4;
constexpr int kFlightPutsPerAddress = 8;
constexpr int kFlightPutsFromLoopback = 16;  // every program on this computer together: the others keep half the threads
constexpr std::chrono::seconds kFlightIdle{10};

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
  // Callers from other computers that have not shown the token share the
  // rest: however many addresses they come from, robots, signed-in browsers
  // and this computer keep a quarter of the connections.
  limits.reserved_connections = 1024;
  return limits;
}

// With a store and a database, the studios given them share their exports and datasets.
bool shares_exports(const StudioOptions& o) { return !o.store.empty() && !o.database.empty(); }

// Said before anything is started or connected to.
StudioOptions checked(StudioOptions o) {
  if (o.encode_live.value_or(false) && shares_exports(o)) {
    throw std::invalid_argument("--encode live is for a studio that exports its own sessions: with --store and --db, "
                                "sessions are encoded by the studio that claims them (--encode after)");
  }
  if (!o.encode_live) o.encode_live = !shares_exports(o);
  if (!o.exports && o.export_only) throw std::invalid_argument("--no-export and --export-only exclude each other");
  if ((!o.exports || o.export_only) && !shares_exports(o)) {
    throw std::invalid_argument("exporting on other studios (--no-export, --export-only) needs the shared --store and --db");
  }
  if (!loopback_host(o.host) && o.token.empty()) {
    throw std::invalid_argument("a studio listening on " + o.host + " can be reached from other computers: it needs an access token");
  }
  return o;
}

}  // namespace

// The studio's parts, and the wiring between them; every route lives in
// one of the route groups.
struct Studio::Impl {
  StudioOptions options;
  std::shared_ptr<Postgres> database;  // with --db: what studios share
  std::unique_ptr<Signaling> relay;    // in this process, or in the shared database
  std::unique_ptr<LiveEncoder> live_encoder;  // with --encode live; outlives the frames and exports that use it
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
  FrontDoor front_door{access, trust, [this](const std::string& address) { http.trust_client(address); }};
  std::unique_ptr<DatasetPublisher> publisher;  // with a store
  std::unique_ptr<NodeRegistry> node;           // with a store and a database: this studio as a node of the fleet
  std::unique_ptr<FleetBoard> fleet;            // likewise: the fleet as its admin sees it
  std::unique_ptr<ExportQueue> queue;           // likewise: the fleet's export jobs
  std::unique_ptr<StoreViews> views;            // likewise: what the viewer shows of the bucket's datasets
  std::unique_ptr<SessionExports> session_exports;
  // The route groups; their handlers live as long as the studio.
  Router router{http, [this](const httplib::Request& req) { return front_door.signed_in(req); }};
  std::unique_ptr<SignalingRoutes> signaling_routes;
  std::unique_ptr<SessionRoutes> session_routes;
  std::unique_ptr<DatasetRoutes> dataset_routes;
  std::unique_ptr<AccessRoutes> access_routes;
  std::unique_ptr<HealthRoutes> health_routes;
  std::unique_ptr<FleetRoutes> fleet_routes;  // with a fleet

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
    recover_exports(options.data_dir);
    board.load_kept_jobs();
    if (*options.encode_live) {
      live_encoder = std::make_unique<LiveEncoder>(LiveEncoderOptions{options.data_dir, options.video_codec});
      frames.listen(*live_encoder);
    }
    if (!options.store.empty()) start_publishing();
    session_exports =
        std::make_unique<SessionExports>(options, exports, board, catalog, publisher.get(), queue.get(), live_encoder.get());
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
      const std::string role = options.export_only ? "exports only" : options.exports ? "serves and exports" : "serves, hands exports over";
      node = std::make_unique<NodeRegistry>(database, store.url(), NodeInfo{node_name(host_name()), host_name(), role, TESSALINE_VERSION});
      fleet = std::make_unique<FleetBoard>(database, store.url());
      ExportQueueOptions queued{node->name(), options.exports, options.export_lease, node.get()};
      queue = std::make_unique<ExportQueue>(database, store, endpoint, options.data_dir, queued, *publisher,
                                            [this](std::function<void()> task) { return exports.submit(std::move(task)); });
      views = std::make_unique<StoreViews>(store, endpoint, catalog.data_dir());
      return;
    }
    for (const auto& dataset : catalog.all()) {
      if (!dataset.read_only) publisher->publish(dataset.repo_id, dataset.path);
    }
  }

  void register_routes() {
    signaling_routes = std::make_unique<SignalingRoutes>(*relay, frames, live, *session_exports);
    session_routes = std::make_unique<SessionRoutes>(frames, live, *session_exports);
    dataset_routes = std::make_unique<DatasetRoutes>(options.data_dir, catalog, exports, views.get(), queue.get(), publisher.get());
    access_routes = std::make_unique<AccessRoutes>(access);
    std::optional<StoreAddress> store;
    std::optional<kit::s3::Endpoint> endpoint;
    if (!options.store.empty()) {
      store = StoreAddress::parse(options.store);
      endpoint = kit::s3::Endpoint::from_environment(options.s3_endpoint);
    }
    health_routes = std::make_unique<HealthRoutes>(database, store, endpoint);
    signaling_routes->register_on(router);
    session_routes->register_on(router);
    dataset_routes->register_on(router);
    access_routes->register_on(router);
    health_routes->register_on(router);
    if (fleet) {
      fleet_routes = std::make_unique<FleetRoutes>(*fleet, options.admins);
      fleet_routes->register_on(router);
    }
    register_pages(router);
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) { return front_door.check(req, res); });
  }

  void configure_http() {
    http.set_payload_max_length(kMaxBodyBytes);
    // A request that stops arriving for a second is dropped (besides the
    // front end's deadline for the whole request).
    http.set_read_timeout(1, 0);
    http.set_keep_alive_timeout(2);
    http.set_tcp_nodelay(true);  // keep-alive clients: answers go out at once, not after the ACK delay
    // No page of this studio may be framed by another site's page.
    http.set_default_headers({{"X-Frame-Options", "DENY"},
                              {"Content-Security-Policy", "frame-ancestors 'none'"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "same-origin"}});
  }

  // Frames are staged as they arrive: a put never holds more than one.
  void start_flight() {
    kit::flight::FlightServerOptions flight_options;
    flight_options.host = options.host;
    flight_options.port = options.flight_port;
    flight_options.max_receive_bytes = kMaxFrameBytes;
    flight_options.max_threads = kFlightThreads;
    flight_options.max_puts_per_client = kFlightPutsPerClient;
    flight_options.max_puts_per_address = kFlightPutsPerAddress;
    flight_options.max_puts_from_loopback = kFlightPutsFromLoopback;
    flight_options.idle_timeout = kFlightIdle;
    flight_options.authorize = [this](const kit::flight::FlightCaller& caller) {
      if (!access.enforced() || loopback_grpc_peer(caller.peer)) return true;
      return std::any_of(caller.headers.begin(), caller.headers.end(),
                         [&](const auto& h) { return h.first == "authorization" && access.bearer_matches(h.second); });
    };
    flight_options.on_batch = [this](const kit::flight::FlightDescriptor& descriptor,
                                     const std::shared_ptr<kit::flight::RecordBatch>& batch) {
      if (descriptor.path != std::vector<std::string>{"robot_data"}) {
        throw std::invalid_argument("unknown Flight path; frames go to \"robot_data\"");
      }
      if (frames.add_batch(batch)) live.frame(read_logged_frame(*batch));  // a frame sent again is counted once
    };
    flight = std::make_unique<kit::flight::FlightServer>(flight_options, nullptr);
  }

  void listen_http() {
    // The server listens with a backlog of 5, which resets connections when
    // many clients arrive at once; a second listen() on the socket raises it.
    int listening = -1;
    http.set_socket_options([&listening](int fd) {
      httplib::default_socket_options(fd);
      listening = fd;
    });
    if (options.http_port == 0) {
      http_port = http.bind_to_any_port(options.host);
    } else if (http.bind_to_port(options.host, options.http_port)) {
      http_port = options.http_port;
    }
    if (http_port <= 0) throw std::runtime_error("cannot listen for HTTP on " + options.host + ":" + std::to_string(options.http_port));
    if (listening >= 0) ::listen(listening, SOMAXCONN);
    http_thread = std::thread([this] { http.listen_after_bind(); });
    while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

Studio::Studio(StudioOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  if (impl_->options.export_only) return;  // no robots, no browsers: it claims the fleet's export jobs
  impl_->configure_http();
  impl_->register_routes();
  impl_->start_flight();
  impl_->listen_http();
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
