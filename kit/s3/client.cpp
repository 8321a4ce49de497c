#include "kit/s3/client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

namespace kit::s3 {
namespace {

// The store's answers are small XML documents; the few fields we read are
// plain elements without attributes or nesting of the same name.
std::vector<std::string> elements(std::string_view xml, std::string_view name) {
  std::vector<std::string> out;
  const std::string open = "<" + std::string(name) + ">", close = "</" + std::string(name) + ">";
  for (size_t at = xml.find(open); at != std::string_view::npos; at = xml.find(open, at)) {
    const size_t begin = at + open.size();
    const size_t end = xml.find(close, begin);
    if (end == std::string_view::npos) break;
    out.emplace_back(xml.substr(begin, end - begin));
    at = end + close.size();
  }
  return out;
}

std::string element(std::string_view xml, std::string_view name) {
  auto all = elements(xml, name);
  return all.empty() ? std::string() : all.front();
}

std::string xml_text(std::string text) {  // the five entities the store escapes
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  for (const auto& [entity, plain] : entities) {
    for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, std::string_view(entity).size(), plain);
    }
  }
  return text;
}

size_t collect_body(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

size_t collect_header(char* data, size_t size, size_t count, void* out) {
  const std::string_view line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    std::string name(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) value.remove_suffix(1);
    static_cast<std::vector<std::pair<std::string, std::string>>*>(out)->emplace_back(std::move(name), std::string(value));
  }
  return size * count;
}

struct Upload {
  std::string_view data;
  std::istream* stream = nullptr;  // instead of `data`
  size_t offset = 0;
};

size_t feed_body(char* buffer, size_t size, size_t count, void* in) {
  auto* upload = static_cast<Upload*>(in);
  if (upload->stream) {
    upload->stream->read(buffer, static_cast<std::streamsize>(size * count));
    return static_cast<size_t>(upload->stream->gcount());
  }
  const size_t n = std::min(size * count, upload->data.size() - upload->offset);
  std::copy_n(upload->data.data() + upload->offset, n, buffer);
  upload->offset += n;
  return n;
}

std::vector<std::string> condition_headers(const Precondition& condition) {
  std::vector<std::string> headers;
  if (condition.absent) headers.push_back("If-None-Match: *");
  if (!condition.etag.empty()) headers.push_back("If-Match: " + condition.etag);
  return headers;
}

// A query string in the form the signature is computed over: parameters
// sorted by name, names and values encoded, "name=" for one without a value.
std::string canonical_query(std::map<std::string, std::string> parameters) {
  std::string out;
  for (const auto& [name, value] : parameters) {
    if (!out.empty()) out += '&';
    out += uri_encode(name, false) + "=" + uri_encode(value, false);
  }
  return out;
}

std::string trimmed_etag(std::string etag) {
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') etag = etag.substr(1, etag.size() - 2);
  return etag;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

struct Client::Request {
  std::string method = "GET";
  std::string url{};
  std::string_view body{};
  std::vector<std::string> headers{};
  bool head = false;
  std::istream* body_stream = nullptr;  // a body read as it is sent, of `body_size` bytes
  uint64_t body_size = 0;
};

std::string uri_encode(std::string_view text, bool keep_slash) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

Endpoint Endpoint::from_environment(std::string url) {
  Endpoint endpoint;
  endpoint.url = std::move(url);
  while (!endpoint.url.empty() && endpoint.url.back() == '/') endpoint.url.pop_back();
  endpoint.access_key = environment("AWS_ACCESS_KEY_ID");
  endpoint.secret_key = environment("AWS_SECRET_ACCESS_KEY");
  for (const char* name : {"AWS_REGION", "AWS_DEFAULT_REGION"}) {
    if (!environment(name).empty()) {
      endpoint.region = environment(name);
      break;
    }
  }
  if (endpoint.access_key.empty() || endpoint.secret_key.empty()) {
    throw std::invalid_argument("S3 needs credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY");
  }
  return endpoint;
}

std::string Client::Answer::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return "";
}

Client::Client(Endpoint endpoint) : endpoint_(std::move(endpoint)), curl_(nullptr) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised || !(curl_ = curl_easy_init())) throw std::runtime_error("libcurl could not start");
}

Client::~Client() { curl_easy_cleanup(static_cast<CURL*>(curl_)); }

std::string Client::address(const std::string& bucket, const std::string& key, const std::string& query) const {
  std::string url = endpoint_.url + "/" + uri_encode(bucket, false);
  if (!key.empty()) url += "/" + uri_encode(key, true);
  if (!query.empty()) url += "?" + query;
  return url;
}

Client::Answer Client::send(const Request& request) {
  auto* curl = static_cast<CURL*>(curl_);
  curl_easy_reset(curl);
  Answer answer;
  Upload upload{request.body, request.body_stream};
  const std::string sigv4 = "aws:amz:" + endpoint_.region + ":s3";
  const std::string user = endpoint_.access_key + ":" + endpoint_.secret_key;
  curl_slist* headers = nullptr;
  // The signature covers the payload's hash; S3 takes this marker instead.
  // (No header may be removed with an empty "Name:" line: libcurl signs it anyway.)
  headers = curl_slist_append(headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
  for (const auto& header : request.headers) headers = curl_slist_append(headers, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(curl, CURLOPT_USERPWD, user.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
  // A transfer slower than 1 KiB/s for 30 s is given up (and may be retried by the caller).
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.headers);
  if (request.head) {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT" || request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, feed_body);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(request.body_stream ? request.body_size : request.body.size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  const CURLcode result = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  if (result != CURLE_OK) {
    throw Error(request.method + " " + request.url + ": " + curl_easy_strerror(result), 0, "");
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

Client::Answer Client::send_checked(const Request& request, const std::string& what) {
  auto answer = send(request);
  if (answer.status >= 200 && answer.status < 300) {
    // A copy or a multipart completion can fail after its 200 has begun.
    if (answer.body.find("<Error>") == std::string::npos) return answer;
  }
  const std::string code = element(answer.body, "Code");
  std::string message = element(answer.body, "Message");
  throw Error(what + ": the store answered " + std::to_string(answer.status) + (code.empty() ? "" : " " + code) +
                  (message.empty() ? "" : " (" + xml_text(message) + ")"),
              answer.status, code);
}

void Client::create_bucket(const std::string& bucket) {
  try {
    send_checked({.method = "PUT", .url = address(bucket, "")}, "creating bucket " + bucket);
  } catch (const Error& e) {
    if (e.code() != "BucketAlreadyOwnedByYou") throw;
  }
}

std::string Client::put(const std::string& bucket, const std::string& key, std::string_view body,
                        const std::string& content_type) {
  return trimmed_etag(send_checked({.method = "PUT", .url = address(bucket, key), .body = body, .headers = {"Content-Type: " + content_type}},
               "writing " + bucket + "/" + key)
                          .header("etag"));
}

std::string Client::put_if(const std::string& bucket, const std::string& key, std::string_view body,
                           const Precondition& condition, const std::string& content_type) {
  Request request{.method = "PUT", .url = address(bucket, key), .body = body, .headers = condition_headers(condition)};
  request.headers.push_back("Content-Type: " + content_type);
  return trimmed_etag(send_checked(request, "writing " + bucket + "/" + key).header("etag"));
}

std::string Client::put_file_if(const std::string& bucket, const std::string& key, const std::filesystem::path& file,
                                const Precondition& condition) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  Request request{.method = "PUT", .url = address(bucket, key), .headers = condition_headers(condition)};
  request.body_stream = &in;
  request.body_size = std::filesystem::file_size(file);
  return trimmed_etag(send_checked(request, "writing " + file.string() + " to " + bucket + "/" + key).header("etag"));
}

std::string Client::get(const std::string& bucket, const std::string& key, std::optional<Range> range) {
  Request request{.url = address(bucket, key)};
  if (range) request.headers.push_back("Range: bytes=" + std::to_string(range->first) + "-" + std::to_string(range->last));
  return send_checked(request, "reading " + bucket + "/" + key).body;
}

std::optional<ObjectInfo> Client::head(const std::string& bucket, const std::string& key) {
  const auto answer = send({.method = "HEAD", .url = address(bucket, key), .head = true});
  if (answer.status == 404) return std::nullopt;
  if (answer.status < 200 || answer.status >= 300) {
    throw Error("looking up " + bucket + "/" + key + ": the store answered " + std::to_string(answer.status), answer.status, "");
  }
  return ObjectInfo{key, std::stoull("0" + answer.header("content-length")), trimmed_etag(answer.header("etag"))};
}

std::vector<ObjectInfo> Client::list(const std::string& bucket, const std::string& prefix, size_t page_size) {
  std::vector<ObjectInfo> out;
  std::string token;
  do {
    std::map<std::string, std::string> query{{"list-type", "2"}, {"max-keys", std::to_string(page_size)}, {"prefix", prefix}};
    if (!token.empty()) query["continuation-token"] = token;
    const auto answer = send_checked({.url = address(bucket, "", canonical_query(query))}, "listing " + bucket + "/" + prefix);
    for (const auto& entry : elements(answer.body, "Contents")) {
      out.push_back({xml_text(element(entry, "Key")), std::stoull("0" + element(entry, "Size")),
                     trimmed_etag(xml_text(element(entry, "ETag")))});
    }
    token = element(answer.body, "IsTruncated") == "true" ? xml_text(element(answer.body, "NextContinuationToken")) : "";
  } while (!token.empty());
  return out;
}

void Client::remove(const std::string& bucket, const std::string& key) {
  const auto answer = send({.method = "DELETE", .url = address(bucket, key)});
  if (answer.status != 204 && answer.status != 200 && answer.status != 404) {
    throw Error("removing " + bucket + "/" + key + ": the store answered " + std::to_string(answer.status), answer.status,
                element(answer.body, "Code"));
  }
}

void Client::copy(const std::string& bucket, const std::string& from_key, const std::string& to_key) {
  send_checked({.method = "PUT", .url = address(bucket, to_key),
                .headers = {"x-amz-copy-source: /" + uri_encode(bucket, false) + "/" + uri_encode(from_key, true)}},
               "copying " + bucket + "/" + from_key + " to " + to_key);
}

std::string Client::copy_as_part(const std::string& bucket, const std::string& from_key, const std::string& to_key) {
  const std::string what = "copying " + bucket + "/" + from_key + " to " + to_key + " as a part";
  const auto started = send_checked({.method = "POST", .url = address(bucket, to_key, canonical_query({{"uploads", ""}}))}, what);
  const std::string upload_id = xml_text(element(started.body, "UploadId"));
  if (upload_id.empty()) throw Error(what + ": the store gave no upload id", started.status, "");
  try {
    // (A part's byte range would allow more parts; one gateway refuses its signature.)
    const auto part = send_checked(
        {.method = "PUT",
         .url = address(bucket, to_key, canonical_query({{"partNumber", "1"}, {"uploadId", upload_id}})),
         .headers = {"x-amz-copy-source: /" + uri_encode(bucket, false) + "/" + uri_encode(from_key, true)}},
        what);
    send_checked({.method = "POST", .url = address(bucket, to_key, canonical_query({{"uploadId", upload_id}})),
                  .body = "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>" +
                          xml_text(element(part.body, "ETag")) + "</ETag></Part></CompleteMultipartUpload>",
                  .headers = {"Content-Type: application/xml"}},
                 what);
  } catch (...) {
    try {
      send({.method = "DELETE", .url = address(bucket, to_key, canonical_query({{"uploadId", upload_id}}))});
    } catch (const Error&) {  // the store drops unfinished uploads by its own rules
    }
    throw;
  }
  const auto info = head(bucket, to_key);
  return info ? info->etag : "";
}

std::string Client::upload_file(const std::string& bucket, const std::string& key, const std::filesystem::path& file,
                                uint64_t part_size) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  const uint64_t size = std::filesystem::file_size(file);
  std::string part(static_cast<size_t>(std::min(size, part_size)), '\0');
  if (size <= part_size) {
    in.read(part.data(), static_cast<std::streamsize>(part.size()));
    return put(bucket, key, part);
  }
  const std::string what = "uploading " + file.string() + " to " + bucket + "/" + key;
  const auto started = send_checked({.method = "POST", .url = address(bucket, key, canonical_query({{"uploads", ""}}))}, what);
  const std::string upload_id = xml_text(element(started.body, "UploadId"));
  if (upload_id.empty()) throw Error(what + ": the store gave no upload id", started.status, "");
  try {
    std::string completion = "<CompleteMultipartUpload>";
    for (int number = 1; in; ++number) {
      in.read(part.data(), static_cast<std::streamsize>(part.size()));
      const auto n = static_cast<size_t>(in.gcount());
      if (n == 0) break;
      const auto answer = send_checked(
          {.method = "PUT",
           .url = address(bucket, key, canonical_query({{"partNumber", std::to_string(number)}, {"uploadId", upload_id}})),
           .body = std::string_view(part.data(), n)},
          what + " (part " + std::to_string(number) + ")");
      completion += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" + answer.header("etag") +
                    "</ETag></Part>";
    }
    completion += "</CompleteMultipartUpload>";
    const auto done = send_checked({.method = "POST", .url = address(bucket, key, canonical_query({{"uploadId", upload_id}})),
                                    .body = completion, .headers = {"Content-Type: application/xml"}},
                                   what);
    const std::string etag = trimmed_etag(xml_text(element(done.body, "ETag")));
    if (!etag.empty()) return etag;
    const auto info = head(bucket, key);  // some gateways leave the answer's ETag empty
    return info ? info->etag : "";
  } catch (...) {
    try {
      send({.method = "DELETE", .url = address(bucket, key, canonical_query({{"uploadId", upload_id}}))});
    } catch (const Error&) {  // the store is away: it drops unfinished uploads by its own rules
    }
    throw;
  }
}

}  // namespace kit::s3
