#include "tessaline/grpc_client.hpp"

#include <chrono>
#include <cstdio>

#include "kit/http/client.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "studio_access.hpp"
#include "tessaline/config.hpp"

namespace tessaline {
namespace {

namespace fl = kit::flight;
using kit::json::Json;

constexpr const char* kFramePath = "robot_data";
constexpr double kEpisodeRequestTimeout = 10.0;

void say(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string normalise_location(const std::string& server_url) {
  constexpr std::string_view kScheme = "grpc://";
  const std::string& url = server_url.empty() ? config::VELQUIN_GRPC_SERVER : server_url;
  if (std::string_view(url).substr(0, kScheme.size()) == kScheme) return url;
  return std::string(kScheme) + url;
}

bool is_image_key(std::string_view key) { return key.find("observation.images.") != std::string_view::npos; }

// The JPEG bytes of an RGB image, or nullopt when the encoder refuses it
// (that image is then left out). An array without three channels cannot be
// an RGB picture at all and fails the whole frame.
std::optional<std::string> encode_image(const kit::NdArray& image) {
  const auto& shape = image.shape();
  if (shape.size() != 3 || shape[2] != 3 || shape[0] == 0 || shape[1] == 0) {
    std::string dims;
    for (const size_t d : shape) dims += (dims.empty() ? "" : "x") + std::to_string(d);
    throw std::invalid_argument("Invalid number of channels in input image: expected H x W x 3, got shape (" +
                                dims + ")");
  }
  if (image.dtype() != kit::DType::uint8) return std::nullopt;
  try {
    return kit::jpeg::encode_rgb(reinterpret_cast<const uint8_t*>(image.data()), static_cast<int>(shape[1]),
                                 static_cast<int>(shape[0]), 95);
  } catch (const kit::jpeg::JpegError&) {
    return std::nullopt;
  }
}

// A list of numbers becomes list<double>; anything else has no column.
std::optional<std::vector<double>> action_values(const kit::Value& action) {
  const auto* list = action.get_if<kit::List>();
  if (!list || list->empty()) return std::nullopt;
  std::vector<double> values;
  for (const auto& v : *list) {
    if (!v.is_number()) throw std::invalid_argument("action values must be numbers");
    values.push_back(v.as_double());
  }
  return values;
}

std::string field_text(const Json& body, const char* key) {
  const auto it = body.find(key);
  return it == body.end() ? "None" : kit::json::py_str(*it);
}

Json post_episode_request(const std::optional<std::string>& base, const std::string& path, const Json& body) {
  const std::string url = (base && !base->empty() ? *base : config::VELQUIN_HTTP_SERVER) + path;
  const Json answer = kit::http::post_json(url, body, kit::http::Seconds(kEpisodeRequestTimeout), studio_access::headers()).json();
  if (!answer.is_object()) throw kit::http::Error("response is not a JSON object");
  return answer;
}

}  // namespace

VelquinGrpcClient::VelquinGrpcClient(std::string server_url, std::string user_id_)
    : user_id(std::move(user_id_)), location_(normalise_location(server_url)) {
  client = fl::FlightClient::Connect(fl::Location::Parse(location_), studio_access::headers());
}

VelquinGrpcClient::~VelquinGrpcClient() {
  _handoff.stop();
  _executor.shutdown();
}

void VelquinGrpcClient::log_robot_data(RecordPtr observation, Value action, bool episode_end,
                                       std::optional<double> fps, std::optional<std::string> robot_type) {
  if (!episode_end) {
    fps.reset();
    robot_type.reset();
  }
  auto send = std::make_shared<std::packaged_task<bool()>>(
      [this, observation = std::move(observation), action = std::move(action), episode_end, fps,
       robot_type = std::move(robot_type)] {
        return _send_robot_data(*observation, action, episode_end, fps, robot_type);
      });
  _pending_futures.push_back(send->get_future());
  _handoff.post([send] { (*send)(); });
  std::erase_if(_pending_futures, [](const std::future<bool>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  });
}

bool VelquinGrpcClient::_send_robot_data(const Record& observation, const Value& action, bool episode_end,
                                         std::optional<double> fps, std::optional<std::string> robot_type) {
  std::lock_guard lock(_write_lock);
  try {
    const auto batch = _observation_to_arrow(observation, action, episode_end, fps, robot_type);
    if (episode_end) say("[gRPC Client] Sending episode_end=True");
    auto put = client->DoPut(fl::FlightDescriptor::Path({kFramePath}), batch->schema());
    put.writer->WriteRecordBatch(*batch);
    put.writer->Close();
    ++frames_sent_;
    return true;
  } catch (const fl::FlightError& e) {
    say(std::string("Flight error: ") + e.what());
  } catch (const std::exception& e) {
    say(std::string("Error sending data: ") + e.what());
  }
  ++frames_failed_;
  return false;
}

std::shared_ptr<fl::RecordBatch> VelquinGrpcClient::_observation_to_arrow(const Record& observation,
                                                                         const Value& action, bool episode_end,
                                                                         std::optional<double> fps,
                                                                         const std::optional<std::string>& robot_type) {
  std::vector<std::pair<std::string, fl::ArrayPtr>> columns;
  if (const Value* ts = observation.find("timestamp")) {
    columns.emplace_back("timestamp", fl::MakeFloat64Array({ts->as_double()}));
  }
  if (auto values = action_values(action)) {
    columns.emplace_back("action", fl::MakeFloat64ListArray({std::move(*values)}));
  }
  columns.emplace_back("episode_end", fl::MakeBoolArray({episode_end}));
  columns.emplace_back("user_id", fl::MakeStringArray({user_id}));
  if (fps) columns.emplace_back("fps", fl::MakeFloat64Array({*fps}));
  if (robot_type) columns.emplace_back("robot_type", fl::MakeStringArray({*robot_type}));
  for (const auto& [key, value] : observation) {
    const auto* image = value.get_if<kit::NdArray>();
    if (!is_image_key(key) || !image) continue;
    if (auto jpeg = encode_image(*image)) columns.emplace_back(key, fl::MakeBinaryArray({std::move(*jpeg)}));
  }
  const Value* state = observation.find("state");
  if (!state) throw std::invalid_argument("observation must contain 'state' key");
  const auto* state_array = state->get_if<kit::NdArray>();
  if (!state_array) throw std::invalid_argument("observation['state'] must be a numpy array");
  std::vector<double> flat(state_array->size());
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = state_array->as_double(i);
  columns.emplace_back("state", fl::MakeFloat64ListArray({std::move(flat)}));
  return fl::RecordBatch::FromNamedArrays(std::move(columns));
}

void VelquinGrpcClient::wait_pending(double timeout) {
  const auto limit = std::chrono::duration<double>(timeout);
  for (auto& f : _pending_futures) {
    if (f.wait_for(limit) != std::future_status::ready) {
      say("gRPC call failed: ");
      continue;
    }
    try {
      f.get();
    } catch (const std::exception& e) {
      say(std::string("gRPC call failed: ") + e.what());
    }
  }
  // Futures of unfinished sends may be dropped: std::async is not used, so
  // dropping one never blocks; the send keeps running on its worker.
  _pending_futures.clear();
}

void VelquinGrpcClient::shutdown() {
  wait_pending();
  _handoff.stop();
  _executor.shutdown();
}

bool VelquinGrpcClient::end_episode(std::optional<std::string> http_server_url) {
  try {
    const Json answer = post_episode_request(http_server_url, "/sessions/episodes/end",
                                             Json{{"userId", user_id}, {"repoId", repo_id ? Json(*repo_id) : Json()}});
    say("[gRPC Client] Episode " + field_text(answer, "episodeIndex") +
        " ended, total episodes: " + field_text(answer, "totalEpisodes"));
    return true;
  } catch (const std::exception& e) {
    say(std::string("[gRPC Client] Failed to end episode: ") + e.what());
    return false;
  }
}

bool VelquinGrpcClient::reset_episode(std::optional<std::string> http_server_url) {
  try {
    const Json answer = post_episode_request(http_server_url, "/sessions/episodes/reset", Json{{"userId", user_id}});
    say("[gRPC Client] Episode reset, " + field_text(answer, "framesCleared") + " frames cleared");
    return true;
  } catch (const std::exception& e) {
    say(std::string("[gRPC Client] Failed to reset episode: ") + e.what());
    return false;
  }
}

}  // namespace tessaline
