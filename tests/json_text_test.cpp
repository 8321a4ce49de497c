#include "kit/json/text.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using kit::json::Json;

struct TextCase {
  Json value;
  std::string wire;
  std::string repr;
};

TEST(JsonText, WireAndPythonFormsOfValues) {
  const std::vector<TextCase> cases = {
      {nullptr, "null", "None"},
      {true, "true", "True"},
      {false, "false", "False"},
      {42, "42", "42"},
      {-7, "-7", "-7"},
      {30.0, "30.0", "30.0"},
      {0.1, "0.1", "0.1"},
      {"a", "\"a\"", "'a'"},
      {"it's", "\"it's\"", "\"it's\""},
      {Json::array({"a", "b"}), "[\"a\", \"b\"]", "['a', 'b']"},
      {Json::array(), "[]", "[]"},
      {Json::object(), "{}", "{}"},
      {Json{{"k", 1}}, "{\"k\": 1}", "{'k': 1}"},
      {Json{{"status", "recording"}, {"episode", 2}, {"ok", nullptr}},
       "{\"status\": \"recording\", \"episode\": 2, \"ok\": null}",
       "{'status': 'recording', 'episode': 2, 'ok': None}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kit::json::to_wire(c.value), c.wire);
    EXPECT_EQ(kit::json::py_repr(c.value), c.repr);
  }
}

TEST(JsonText, PrettyFormMatchesPythonsPprint) {
  const Json config = Json::parse(R"({"teleop": {"type": "so101_leader", "port": "/dev/ttyACM0"},
    "robot": {"type": "so101_follower", "port": "/dev/ttyACM1",
              "cameras": {"front": {"index_or_path": "virtual:/tmp/x/front", "width": 640, "height": 480, "fps": 30}}},
    "teleop_time_s": null, "use_webrtc": true, "webrtc_server_url": "", "repo_id": null,
    "selected_cameras": ["observation.images.cam_front"]})");
  // What pprint.pformat prints for the same mapping.
  EXPECT_EQ(kit::json::py_pformat(config),
            "{'repo_id': None,\n 'robot': {'cameras': {'front': {'fps': 30,\n                                 'height': 480,\n"
            "                                 'index_or_path': 'virtual:/tmp/x/front',\n"
            "                                 'width': 640}},\n           'port': '/dev/ttyACM1',\n"
            "           'type': 'so101_follower'},\n 'selected_cameras': ['observation.images.cam_front'],\n"
            " 'teleop': {'port': '/dev/ttyACM0', 'type': 'so101_leader'},\n 'teleop_time_s': None,\n"
            " 'use_webrtc': True,\n 'webrtc_server_url': ''}");
  EXPECT_EQ(kit::json::py_pformat(Json{{"a", 1}}), "{'a': 1}");
}

TEST(JsonText, KeysKeepInsertionOrder) {
  Json v;
  v["z"] = 1;
  v["a"] = 2;
  v["m"] = 3;
  EXPECT_EQ(kit::json::to_wire(v), "{\"z\": 1, \"a\": 2, \"m\": 3}");
}

TEST(JsonText, NonAsciiIsEscapedOnTheWireAndInFiles) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"caf\xc3\xa9", "\"caf\\u00e9\""},
      {"\xe2\x9c\xa8", "\"\\u2728\""},
      {"\xf0\x9f\xa4\x96", "\"\\ud83e\\udd16\""},  // outside the BMP: surrogate pair
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nnext\ttab", "\"line\\nnext\\ttab\""},
      {std::string("\x01\x7f", 2), "\"\\u0001\\u007f\""},
      {"\xff", "\"\\ufffd\""},  // malformed UTF-8 never aborts the output
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(kit::json::to_wire(Json(in)), out) << in;
    EXPECT_EQ(kit::json::quote_ascii(in), out);
  }
}

TEST(JsonText, FileFormIsIndentedAsciiWithoutTrailingNewline) {
  Json v;
  v["robot_type"] = "so101_follower";
  v["cameras"] = nullptr;
  v["selected_cameras"] = Json::array();
  v["ids"] = Json::array({1, 2});
  v["name"] = "\xc3\xa9";
  v["nested"] = Json{{"a", Json::object()}};
  EXPECT_EQ(kit::json::to_file(v),
            "{\n"
            "  \"robot_type\": \"so101_follower\",\n"
            "  \"cameras\": null,\n"
            "  \"selected_cameras\": [],\n"
            "  \"ids\": [\n"
            "    1,\n"
            "    2\n"
            "  ],\n"
            "  \"name\": \"\\u00e9\",\n"
            "  \"nested\": {\n"
            "    \"a\": {}\n"
            "  }\n"
            "}");
}

TEST(JsonText, FloatsFollowPythonLayout) {
  const std::vector<std::pair<double, std::string>> cases = {
      {30.0, "30.0"},       {1.5, "1.5"},         {-2.25, "-2.25"},    {0.0001, "0.0001"},
      {0.00001, "1e-05"},   {1e16, "1e+16"},      {1e15, "1000000000000000.0"},
      {123456.789, "123456.789"}, {1.0 / 3, "0.3333333333333333"},  {2.5e-300, "2.5e-300"},
      {-0.0, "-0.0"},       {0.0, "0.0"},         {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(kit::json::py_float(value), text) << text;
  EXPECT_EQ(kit::json::py_float(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(kit::json::to_wire(Json(std::numeric_limits<double>::infinity())), "Infinity");
}

TEST(JsonText, StrOfStringIsBareButNestedStringsAreQuoted) {
  EXPECT_EQ(kit::json::py_str(Json("abc")), "abc");
  EXPECT_EQ(kit::json::py_str(Json(3)), "3");
  EXPECT_EQ(kit::json::py_str(Json(nullptr)), "None");
  EXPECT_EQ(kit::json::py_str(Json::array({"x"})), "['x']");
  EXPECT_EQ(kit::json::py_repr(Json("a\nb\\")), "'a\\nb\\\\'");
}

}  // namespace
