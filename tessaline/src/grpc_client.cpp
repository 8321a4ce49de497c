#include "tessaline/grpc_client.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <chrono>
#include <cstdio>
#include <thread>

#include "kit/digest/digest.hpp"
#include "kit/http/client.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "kit/loop/interrupt.hpp"
#include "frame_spool.hpp"
#include "studio_access.hpp"
#include "tessaline/config.hpp"

namespace tessaline {
namespace {

namespace fl = kit::flight;
using kit::json::Json;

constexpr const char* kFramePath = "robot_data";
constexpr double kEpisodeRequestTimeout = 10.0;
constexpr std::chrono::seconds kEpisodeRequestPatience{60};
// A put to a studio that went silent fails after this, and the frame is held.
constexpr std::chrono::milliseconds kPutDeadline{3000};
// Frames held in memory while the studio is away: about a minute of two
// 640x480 cameras at 30 frames/s ($TESSALINE_HELD_MEMORY_MB sets it). Past
// it newer frames go to disk (the spool), and past that they are lost.
constexpr size_t kHeldMegabytes = 512;

size_t held_bytes_at_most() {
  const char* chosen = std::getenv("TESSALINE_HELD_MEMORY_MB");
  if (!chosen || !*chosen) return kHeldMegabytes << 20;
  char* end = nullptr;
  const unsigned long megabytes = std::strtoul(chosen, &end, 10);
  if (*end != '\0' || megabytes == 0 || megabytes > (size_t{1} << 20)) {
    throw std::invalid_argument(std::string("TESSALINE_HELD_MEMORY_MB is ") + chosen + ": a whole number of megabytes, 1 or more");
  }
  return static_cast<size_t>(megabytes) << 20;
}
// How long an episode end, a reset or the session's end waits for the held frames.
constexpr std::chrono::minutes kHeldWait{5};
constexpr std::chrono::seconds kNeverAnsweredWait{5};

// Whether the studio might take the frame later: it was away, busy, full
// or cut the put off. Refusals of the frame itself are final.
bool may_take_later(int grpc_code) {
  switch (grpc_code) {
    case 1: case 2: case 4: case 8: case 10: case 13: case 14: return true;  // cancelled ... unavailable
    default: return false;
  }
}

size_t batch_bytes(const fl::RecordBatch& batch) {
  size_t bytes = 256;
  for (int c = 0; c < batch.num_columns(); ++c) {
    const auto& column = *batch.column(c);
    if (column.type->id == fl::TypeId::BINARY || column.type->id == fl::TypeId::STRING) bytes += column.GetView(0).size();
  }
  return bytes;
}



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

// A studio away for a moment (a restart, a pause) answers nothing or 5xx:
// the episode's end or reset is asked again, or the next episode's frames
// would join an episode the studio never ended. Asking again is safe: the
// session sends no frame meanwhile, and an end or reset with no frames
// since changes nothing. A studio that never took a frame is likely
// misnamed, not restarting: it is not asked again.
Json post_until_answered(const std::optional<std::string>& base, const std::string& path, const Json& body,
                         const std::string& what, std::chrono::seconds patience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  auto pause = std::chrono::milliseconds(250);
  for (bool said = false;; said = true) {
    try {
      return post_episode_request(base, path, body);
    } catch (const kit::http::StatusError& e) {
      const bool away = e.status == 502 || e.status == 503 || e.status == 504;
      if (!away || std::chrono::steady_clock::now() >= until) throw;
      if (!said) say("[gRPC Client] The studio could not " + what + " (" + e.what() + "); asking again for up to a minute");
    } catch (const kit::http::Error& e) {
      if (std::chrono::steady_clock::now() >= until) throw;
      if (!said) say("[gRPC Client] The studio did not answer to " + what + " (" + e.what() + "); asking again for up to a minute");
    }
    kit::throw_if_interrupted();
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(2000));
  }
}

}  // namespace

VelquinGrpcClient::VelquinGrpcClient(std::string server_url, std::string user_id_)
    : user_id(std::move(user_id_)),
      location_(normalise_location(server_url)),
      _held_bytes_at_most(held_bytes_at_most()),
      _spool_parent(spool_parent()),
      _frame_token(kit::random_hex(8)) {
  client = fl::FlightClient::Connect(fl::Location::Parse(location_), studio_access::headers(), kPutDeadline);
}

VelquinGrpcClient::~VelquinGrpcClient() {
  _handoff.stop();
  _executor.shutdown();
  if (!_held.empty()) say("[gRPC Client] " + std::to_string(_held.size()) + " frames the studio had not taken are lost with the client");
}

void VelquinGrpcClient::log_robot_data(RecordPtr observation, Value action, bool episode_end,
                                       std::optional<double> fps, std::optional<std::string> robot_type) {
  if (!episode_end) {
    fps.reset();
    robot_type.reset();
  }
  ++episode_frames_logged_;
  auto send = std::make_shared<std::packaged_task<bool()>>(
      [this, observation = std::move(observation), action = std::move(action), episode_end, fps,
       robot_type = std::move(robot_type), frame_id = _frame_token + ":" + std::to_string(_next_frame++)]() mutable {
        return _send_robot_data(std::move(observation), action, episode_end, fps, robot_type, frame_id);
      });
  _pending_futures.push_back(send->get_future());
  _handoff.post([send] { (*send)(); });
  std::erase_if(_pending_futures, [](const std::future<bool>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  });
}

bool VelquinGrpcClient::_send_robot_data(RecordPtr observation, const Value& action, bool episode_end,
                                         std::optional<double> fps, std::optional<std::string> robot_type,
                                         std::optional<std::string> frame_id) {
  std::lock_guard lock(_write_lock);
  std::shared_ptr<fl::RecordBatch> batch;
  try {
    batch = _observation_to_arrow(*observation, action, episode_end, fps, robot_type, frame_id);
    observation.reset();  // encoded: the caller's images are theirs again, whatever the sending takes
  } catch (const std::exception& e) {
    say(std::string("Error sending data: ") + e.what());
    ++frames_failed_;
    return false;
  }
  const size_t bytes = batch_bytes(*batch);
  if (_held_bytes + bytes > _held_bytes_at_most) {
    // Memory is full: the frame waits on disk, in order behind the others.
    if (!_spool) {
      _spool = std::make_unique<FrameSpool>(_spool_parent);
      say("[gRPC Client] The studio has not taken frames for a while and " + std::to_string(_held.size()) +
          " are held in memory (the most this robot keeps there, " + std::to_string(_held_bytes_at_most >> 20) +
          " MiB): newer frames wait on disk in " + _spool->folder().string() + " until it takes them");
    }
    std::string why;
    if (const auto file = _spool->put(batch, why)) {
      _held.push_back({nullptr, 0, episode_end, *file});
      _put_held_locked(false);
      return true;
    }
    if (_lost_for_room++ == 0) {
      say("[gRPC Client] " + std::to_string(_held.size()) + " frames are held and " + why + ": newer frames are lost until the studio takes them");
    }
    ++frames_failed_;
    return false;
  }
  _held.push_back({std::move(batch), bytes, episode_end});
  _held_bytes += bytes;
  _put_held_locked(false);
  return true;
}

void VelquinGrpcClient::_put(const fl::RecordBatch& batch) {
  auto put = client->DoPut(fl::FlightDescriptor::Path({kFramePath}), batch.schema());
  put.writer->WriteRecordBatch(batch);
  put.writer->Close();
}

// Under _write_lock: the oldest held frame is gone (sent, refused or lost).
void VelquinGrpcClient::drop_front_locked() {
  Held& frame = _held.front();
  _held_bytes -= frame.bytes;
  if (!frame.spilled.empty()) {
    _spool->remove(frame.spilled);
  }
  _held.pop_front();
}

// Under _write_lock: the held frames, oldest first, until one is not taken.
// While the studio is away, a try is made only after a growing pause (up
// to 2 s), unless `now`.
bool VelquinGrpcClient::_put_held_locked(bool now) {
  if (!now && !_away.empty() && std::chrono::steady_clock::now() < _next_try) return false;
  while (!_held.empty()) {
    const Held& frame = _held.front();
    try {
      std::shared_ptr<fl::RecordBatch> spilled;
      if (!frame.spilled.empty()) {
        try {
          spilled = _spool->read(frame.spilled);
        } catch (const std::exception& e) {
          say(std::string("[gRPC Client] A frame kept on disk is lost: ") + e.what());
          ++frames_failed_;
          drop_front_locked();
          continue;
        }
      }
      if (frame.episode_end) say("[gRPC Client] Sending episode_end=True");
      _put(spilled ? *spilled : *frame.batch);
      ++frames_sent_;
    } catch (const fl::FlightError& e) {
      if (may_take_later(e.grpc_code)) {
        if (_away.empty()) say(std::string("Flight error: ") + e.what() + " (frames are held and sent again when the studio takes them)");
        _away = e.what();
        _next_try = std::chrono::steady_clock::now() + _pause;
        _pause = std::min(_pause * 2, std::chrono::milliseconds(2000));
        return false;
      }
      say(std::string("Flight error: ") + e.what());
      ++frames_failed_;
    }
    drop_front_locked();
  }
  if (!_away.empty()) {
    say("[gRPC Client] The studio takes frames again: every held frame is sent" +
        (_lost_for_room ? " (" + std::to_string(_lost_for_room) + " were lost while the robot's room for them was full)" : std::string()));
    _away.clear();
    _lost_for_room = 0;
  }
  _pause = std::chrono::milliseconds(100);
  return true;
}

std::optional<std::string> VelquinGrpcClient::studio_problem(const std::string& server_url) {
  try {
    const auto client = fl::FlightClient::Connect(fl::Location::Parse(normalise_location(server_url)), studio_access::headers(),
                                                  kPutDeadline);
    const auto schema = fl::RecordBatch::FromNamedArrays({{"user_id", fl::MakeStringArray({"-"})}})->schema();
    client->DoPut(fl::FlightDescriptor::Path({kFramePath}), schema).writer->Close();
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

size_t VelquinGrpcClient::frames_held() {
  std::lock_guard lock(_write_lock);
  return _held.size();
}

bool VelquinGrpcClient::send_held(std::chrono::milliseconds limit) {
  // A studio that never took a frame is likely misnamed, not restarting: a short wait.
  if (frames_sent_ == 0) limit = std::min<std::chrono::milliseconds>(limit, kNeverAnsweredWait);
  const auto until = std::chrono::steady_clock::now() + limit;
  bool said = false;
  for (;;) {
    {
      std::lock_guard lock(_write_lock);
      if (_put_held_locked(true)) return true;
      if (!said) {
        say("[gRPC Client] Waiting for the studio to take " + std::to_string(_held.size()) + " held frames (" + _away + ")");
        said = true;
      }
      if (std::chrono::steady_clock::now() >= until) {
        say("[gRPC Client] The studio did not take " + std::to_string(_held.size()) + " held frames in time: they are lost");
        frames_failed_ += _held.size();
        while (!_held.empty()) drop_front_locked();
        _held_bytes = 0;
        return false;
      }
    }
    kit::throw_if_interrupted();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

std::shared_ptr<fl::RecordBatch> VelquinGrpcClient::_observation_to_arrow(const Record& observation,
                                                                         const Value& action, bool episode_end,
                                                                         std::optional<double> fps,
                                                                         const std::optional<std::string>& robot_type,
                                                                         const std::optional<std::string>& frame_id) {
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
  if (frame_id) columns.emplace_back("frame_id", fl::MakeStringArray({*frame_id}));
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
  send_held(kHeldWait);  // every frame is converted now: what the studio has not taken goes last
}

bool VelquinGrpcClient::end_episode(std::optional<std::string> http_server_url, const Json& quality) {
  // The episode's frames go before its end. Those the studio did not take
  // in time are lost (send_held says so); the episode is ended all the same,
  // so the next episode's frames never join it.
  send_held(kHeldWait);
  try {
    Json request{{"userId", user_id}, {"repoId", repo_id ? Json(*repo_id) : Json()}};
    if (quality.is_object()) request["quality"] = quality;
    const Json answer = post_until_answered(http_server_url, "/sessions/episodes/end", request,
                                            "end the episode", frames_sent_ > 0 ? kEpisodeRequestPatience : std::chrono::seconds(0));
    say("[gRPC Client] Episode " + field_text(answer, "episodeIndex") +
        " ended, total episodes: " + field_text(answer, "totalEpisodes"));
    // Every frame logged is in the episode, or the terminal says how many are not.
    const size_t logged = std::exchange(episode_frames_logged_, 0);
    const Json held = answer.value("frames", Json());
    if (held.is_number_integer() && held.get<long>() >= 0 && static_cast<size_t>(held.get<long>()) < logged) {
      say("[gRPC Client] Episode " + field_text(answer, "episodeIndex") + ": the studio holds " + std::to_string(held.get<long>()) +
          " of the " + std::to_string(logged) + " frames logged; " + std::to_string(logged - held.get<size_t>()) + " missing");
    }
    return true;
  } catch (const std::exception& e) {
    say(std::string("[gRPC Client] Failed to end episode: ") + e.what());
    return false;
  }
}

bool VelquinGrpcClient::reset_episode(std::optional<std::string> http_server_url) {
  send_held(kHeldWait);  // frames of the attempt arrive before the reset clears them
  try {
    const Json answer = post_until_answered(http_server_url, "/sessions/episodes/reset", Json{{"userId", user_id}}, "reset the episode",
                                            frames_sent_ > 0 ? kEpisodeRequestPatience : std::chrono::seconds(0));
    say("[gRPC Client] Episode reset, " + field_text(answer, "framesCleared") + " frames cleared");
    episode_frames_logged_ = 0;
    return true;
  } catch (const std::exception& e) {
    say(std::string("[gRPC Client] Failed to reset episode: ") + e.what());
    return false;
  }
}

}  // namespace tessaline
