// The streamer's control channel, command queue and text forms, and the
// candidate-line parser: no network needed.
#include "tessaline/webrtc_streamer.hpp"

#include <gtest/gtest.h>

#include "kit/loop/event_loop.hpp"
#include "kit/log/logger.hpp"
#include "kit/webrtc/candidate.hpp"
#include "kit/webrtc/peer_connection.hpp"
#include "tessaline/src/signaling_text.hpp"

namespace {

using namespace std::chrono_literals;
using tessaline::Json;
namespace st = tessaline::signaling_text;

struct CapturedLog : kit::log::Handler {
  void emit(const kit::log::Record& r) override {
    lines.push_back(std::string(kit::log::level_name(r.level)) + ": " + std::string(r.message));
  }
  std::vector<std::string> lines;
};

class ControlChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_.set_level(kit::log::Level::DEBUG);
    logger_.add_handler(log_);
  }
  void TearDown() override { logger_.remove_handler(log_); }
  std::optional<std::string> take(double timeout) {
    return loop_.run_blocking(streamer_.wait_for_command(timeout), 5s);
  }
  void deliver(const std::string& text) {
    loop_.run_blocking([](tessaline::WebRTCStreamer& s, std::string t) -> asio::awaitable<void> {
      s._on_control_message(t);
      co_return;
    }(streamer_, text), 5s);
  }

  kit::log::Logger& logger_ = kit::log::get_logger("tessaline.webrtc_streamer");
  std::shared_ptr<CapturedLog> log_ = std::make_shared<CapturedLog>();
  kit::EventLoop loop_;
  std::vector<std::string> callbacks_;
  tessaline::WebRTCStreamer streamer_{"http://127.0.0.1:9", [this](const std::string& c) { callbacks_.push_back(c); },
                                      "op"};
};

TEST_F(ControlChannel, CommandsAreQueuedInOrderWithTheirValuesStoredFirst) {
  deliver(R"({"command": "start"})");
  EXPECT_TRUE(streamer_.repo_id().is_null());
  deliver(R"({"command": "start", "repoId": "lab/a"})");
  deliver(R"({"command": "end", "repoId": "other", "datasetName": "ds"})");
  deliver(R"({"command": "select_cameras", "selected": ["observation.images.cam_front"]})");
  deliver(R"({"command": "dance"})");
  EXPECT_EQ(streamer_.repo_id(), "lab/a");  // only "start" carries the repository id
  EXPECT_EQ(streamer_.dataset_name(), "ds");
  EXPECT_EQ(streamer_.selected_cameras(), Json::array({"observation.images.cam_front"}));
  deliver(R"({"command": "start", "repoId": null})");
  EXPECT_TRUE(streamer_.repo_id().is_null());
  for (const char* expected : {"start", "start", "end", "select_cameras", "dance", "start"}) {
    EXPECT_EQ(take(1.0), expected);
  }
  EXPECT_EQ(callbacks_, (std::vector<std::string>{"start", "start", "end", "select_cameras", "dance", "start"}));
  EXPECT_NE(std::find(log_->lines.begin(), log_->lines.end(), "DEBUG: Repo ID set to: lab/a"), log_->lines.end());
  EXPECT_NE(std::find(log_->lines.begin(), log_->lines.end(), "DEBUG: Selected cameras set to: ['observation.images.cam_front']"),
            log_->lines.end());
}

TEST_F(ControlChannel, UnusableMessagesAreIgnoredAndBadJsonIsLogged) {
  for (const char* text : {R"({"command": ""})", R"({"other": 1})", R"({"command": null})", R"({"command": false})"}) {
    deliver(text);
  }
  EXPECT_TRUE(log_->lines.empty());
  deliver("not json");
  deliver(R"({"command": "start", "repoId": 1e999})");  // out of range for a double
  EXPECT_EQ(log_->lines, (std::vector<std::string>{"WARNING: Invalid control message: not json",
                                                   R"(WARNING: Invalid control message: {"command": "start", "repoId": 1e999})"}));
  EXPECT_EQ(take(0.01), std::nullopt);
  EXPECT_TRUE(callbacks_.empty());
}

TEST_F(ControlChannel, WaitingTimesOutWithoutConsumingLaterCommands) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(take(0.01), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  deliver(R"({"command": "end_episode"})");
  EXPECT_EQ(take(0.01), "end_episode");
  // A waiter is woken by a command that arrives while it waits.
  std::thread later([this] {
    std::this_thread::sleep_for(100ms);
    loop_.post([this] { streamer_._on_control_message(R"({"command": "retry_episode"})"); });
  });
  EXPECT_EQ(take(5.0), "retry_episode");
  later.join();
}

TEST_F(ControlChannel, StatusesAndFramesBeforeConnectingAreHarmless) {
  streamer_.send_status("waiting");
  streamer_.update_camera_frame("observation.images.cam_front", tessaline::NdArray(kit::DType::uint8, {2, 2, 3}));
  EXPECT_FALSE(streamer_.is_connected());
  loop_.run_blocking(streamer_.close(), 5s);
  loop_.run_blocking(streamer_.close(), 5s);  // twice, and before any connect
  EXPECT_FALSE(streamer_.has_peer_connection());
}

TEST(SignalingText, StatusMessagesKeepKeyOrderAndLetDataOverride) {
  EXPECT_EQ(st::status_message("recording", {{"episode", 2}}), R"({"status": "recording", "episode": 2})");
  EXPECT_EQ(st::status_message("recording", Json::object()), R"({"status": "recording"})");
  EXPECT_EQ(st::status_message("recording", {{"status", "idle"}}), R"({"status": "idle"})");
  EXPECT_EQ(st::status_message("camera_selection", {{"cameras", {"caf\xc3\xa9"}}, {"selected", Json::array()}}),
            R"({"status": "camera_selection", "cameras": ["caf\u00e9"], "selected": []})");
}

TEST(SignalingText, CandidatesCarryTheirMediaSection) {
  const std::string sdp =
      "v=0\na=candidate:0 1 udp 1 10.0.0.9 9 typ host\n"
      "m=video 9 UDP/TLS/RTP/SAVPF 96\na=candidate:1 1 udp 2 10.0.0.1 5000 typ host\n"
      "a=mid:video0\na=candidate:2 1 udp 3 10.0.0.1 5001 typ host\n"
      "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\na=mid:data1\n"
      "a=candidate:3 1 tcp 4 10.0.0.1 9 typ host tcptype active\n";
  const auto lf = st::candidate_bodies_from_sdp(sdp, "a b&c");
  std::string crlf_sdp;
  for (const char c : sdp) crlf_sdp += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(st::candidate_bodies_from_sdp(crlf_sdp, "a b&c"), lf);
  ASSERT_EQ(lf.size(), 4u);
  EXPECT_EQ(lf[0]["sdpMid"], nullptr);
  EXPECT_EQ(lf[0]["sdpMLineIndex"], -1);
  EXPECT_EQ(lf[1]["sdpMid"], nullptr);
  EXPECT_EQ(lf[1]["sdpMLineIndex"], 0);
  EXPECT_EQ(lf[2]["sdpMid"], "video0");
  EXPECT_EQ(lf[3]["sdpMid"], "data1");
  EXPECT_EQ(lf[3]["sdpMLineIndex"], 1);
  EXPECT_EQ(kit::json::to_wire(lf[2]), R"({"sender": "robot", "userId": "a b&c", "candidate": "candidate:2 1 udp 3 10.0.0.1 5001 typ host", "sdpMid": "video0", "sdpMLineIndex": 0})");
}

TEST(SignalingText, DescriptionTypeFallsBack) {
  EXPECT_EQ(st::description_type({{"sdp", "x"}, {"type", "answer"}}), "answer");
  EXPECT_EQ(st::description_type({{"sdp", "x"}, {"type", ""}, {"sdpType", "pranswer"}}), "pranswer");
  EXPECT_EQ(st::description_type({{"sdp", "x"}}), "answer");
  EXPECT_EQ(st::description_type({{"sdp", "x"}, {"type", 5}}), "answer");
}

TEST(CandidateParser, ReadsBrowserCandidatesAndRejectsJunk) {
  const auto c = kit::webrtc::parse_candidate(
      "candidate:842163049 1 UDP 1677729535 203.0.113.7 61665 typ srflx raddr 10.0.0.2 rport 61665 generation 0");
  EXPECT_EQ(c.protocol, "udp");
  EXPECT_EQ(c.type, "srflx");
  EXPECT_EQ(c.port, 61665);
  EXPECT_EQ(c.related_address, "10.0.0.2");
  EXPECT_EQ(kit::webrtc::parse_candidate("a=candidate:1 1 tcp 5 ::1 9 typ host tcptype active").tcp_type, "active");
  for (const char* bad : {"", "candidate:", "candidate:1 1 udp 5 10.0.0.1 99999 typ host",
                          "candidate:1 1 sctp 5 10.0.0.1 9 typ host", "candidate:1 1 udp x 10.0.0.1 9 typ host",
                          "candidate:1 1 udp 5 10.0.0.1 9 type host", "candidate:1 1 udp 5 10.0.0.1 9 typ bogus"}) {
    EXPECT_THROW(kit::webrtc::parse_candidate(bad), kit::webrtc::WebRtcError) << bad;
  }
}

TEST(CameraVideoTrack, SendsBlackUntilTheFirstFrameThenTheLatest) {
  kit::EventLoop loop;
  tessaline::CameraVideoTrack track("observation.images.cam_front");
  const auto first = loop.run_blocking(track.recv(), 5s);
  EXPECT_EQ(first.shape(), (std::vector<size_t>{480, 640, 3}));
  EXPECT_EQ(std::count(first.data(), first.data() + first.nbytes(), std::byte{0}), static_cast<long>(first.nbytes()));
  tessaline::NdArray frame(kit::DType::uint8, {2, 2, 3});
  track.update_frame(frame);
  const auto next = loop.run_blocking(track.recv(), 5s);
  EXPECT_TRUE(next.shares_buffer_with(frame));  // handed over, never copied
}

}  // namespace
