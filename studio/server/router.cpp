#include "studio/server/router.hpp"

#include "studio/datasets/dataset_library.hpp"
#include "studio/datasets/episode_deletion.hpp"
#include "studio/fleet/export_queue.hpp"

namespace studio {

httplib::Server::Handler Router::guarded(Handler handler) const {
  return [this, handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
    try {
      handler(Call(req, signed_in_(req)), res);
    } catch (const BadRequest& e) {
      send_json(res, {{"error", e.what()}}, 400);
    } catch (const Forbidden& e) {
      send_json(res, {{"error", e.what()}}, 403);
    } catch (const DatasetNotFound& e) {
      send_json(res, {{"error", e.what()}}, 404);
    } catch (const NotFound& e) {
      send_json(res, {{"error", e.what()}}, 404);
    } catch (const DatasetUnsupported& e) {
      send_json(res, {{"error", e.what()}}, 422);
    } catch (const LastEpisode& e) {
      send_json(res, {{"error", e.what()}}, 409);
    } catch (const DatasetBusy& e) {
      send_json(res, {{"error", e.what()}}, 409);
    } catch (const std::exception& e) {
      send_json(res, {{"error", e.what()}}, 500);
    }
  };
}

void Router::get(const char* path, Handler handler) { http_.Get(path, guarded(std::move(handler))); }

void Router::post(const char* path, Handler handler) {
  // Bodies are read here, counting the bytes that arrive whatever the
  // framing (a chunked body has no length to refuse up front).
  http_.Post(path, [run = guarded(std::move(handler))](const httplib::Request& req, httplib::Response& res,
                                                        const httplib::ContentReader& read) {
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
    run(full, res);
  });
}

}  // namespace studio
