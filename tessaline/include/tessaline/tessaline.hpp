#pragma once
// Tessaline SDK for robot teleoperation and data collection: the settings,
// the session manager, the frame-logging client, the WebRTC streamer and the
// browser sign-in, with the value types they take.
#include "tessaline/auth.hpp"
#include "tessaline/config.hpp"
#include "tessaline/grpc_client.hpp"
#include "tessaline/session.hpp"
#include "tessaline/values.hpp"
#include "tessaline/webrtc_streamer.hpp"
