#pragma once
// The studio's own pages as answers: the web assets compiled into the
// program, and the pages that carry text of the request (escaped).
#include <httplib.h>

#include <string>

namespace studio {

std::string html_escape(const std::string& text);

void send_asset(httplib::Response& res, const std::string& name);
// The page that asks a browser from another computer for the access token,
// then sends it on to `next`.
void send_access_page(httplib::Response& res, const std::string& next, const std::string& error, int status);

}  // namespace studio
