#pragma once
// The studio's access token, for a studio on another computer: taken from
// TESSALINE_STUDIO_TOKEN and sent with every request to the studio (an
// Authorization header, and the same as gRPC metadata on frame puts). A
// studio on this computer needs none.
#include "kit/http/client.hpp"

namespace tessaline::studio_access {

// {} when no token is set. The key is lower case, as gRPC metadata must be
// (HTTP takes it in any case).
kit::http::Headers headers();

}  // namespace tessaline::studio_access
