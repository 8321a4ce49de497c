#include "studio/server/pages.hpp"

#include "studio/server/web_assets.hpp"

namespace studio {

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

void send_asset(httplib::Response& res, const std::string& name) {
  const WebAsset* asset = find_web_asset(name);
  res.set_content(std::string(asset->body), std::string(asset->content_type));
}

void send_access_page(httplib::Response& res, const std::string& next, const std::string& error, int status) {
  std::string page(find_web_asset("access.html")->body);
  page.replace(page.find("{{ERROR}}"), 9, html_escape(error));
  page.replace(page.find("{{NEXT}}"), 8, html_escape(next));
  res.status = status;
  res.set_content(page, "text/html; charset=utf-8");
}

}  // namespace studio
