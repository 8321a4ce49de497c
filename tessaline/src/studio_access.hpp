#pragma once
// The studio's access token, for a studio on another computer: taken from
// TESSALINE_STUDIO_TOKEN and sent with every request to the studio (an
// Authorization header, and the same as gRPC metadata on frame puts). A
// studio on this computer needs none.
#include "kit/http/client.hpp"

namespace tessaline::studio_access {

kit::http::Headers http_headers();   // {} when no token is set
kit::http::Headers grpc_metadata();  // lower-case keys, as gRPC wants them

}  // namespace tessaline::studio_access
