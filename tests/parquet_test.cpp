// The Parquet writer against two independent readers (hyparquet and DuckDB,
// from npm): every column kind, nested lists, several row groups, empty
// lists, UTF-8 text and footer metadata read back the same; misuse fails.
#include "kit/parquet/writer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "kit/json/text.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace kit::parquet;
using kit::json::Json;

Json read_back(const std::string& bytes) {
  const auto path = std::filesystem::temp_directory_path() / ("writer-" + std::to_string(getpid()) + ".parquet");
  std::ofstream(path, std::ios::binary) << bytes;
  const auto run = test_support::run_process({NODE_EXECUTABLE, std::string(TESSALINE_NODE_DIR) + "/read_parquet.mjs", path.string()});
  std::filesystem::remove(path);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  return Json::parse(run.out);
}

TEST(ParquetWriter, EveryColumnKindReadsBackInTwoIndependentReaders) {
  Writer w({{"index", Physical::INT64},
            {"timestamp", Physical::FLOAT},
            {"mean", Physical::DOUBLE},
            {"task", Physical::STRING},
            {"action", Physical::FLOAT, 1},
            {"image_mean", Physical::DOUBLE, 3},
            {"tasks", Physical::STRING, 1},
            {"count", Physical::INT64, 1}},
           {{"pandas", R"({"index_columns": ["task"]})"}});
  for (int r = 0; r < 5; ++r) {
    w.add(0, int64_t{r} * 1'000'000'000'000);
    w.add(1, static_cast<float>(r) / 30.0f);
    w.add(2, r * 0.25);
    w.add(3, std::string_view(r == 2 ? "pick the cube — gently" : "teleoperation"));
    const std::vector<float> action{static_cast<float>(r), -1.5f, 0, 3, 4, 100};
    w.add_list(4, std::span<const float>(action));
    const std::vector<double> image{0.1 * r, 0.2, 0.3};
    w.add_list(5, std::span<const double>(image), {3, 1, 1});
    std::vector<std::string> tags(static_cast<size_t>(r % 3), "t");
    w.add_list(6, std::span<const std::string>(tags));
    const std::vector<int64_t> count{r};
    w.add_list(7, std::span<const int64_t>(count));
    w.end_row();
    if (r == 1 || r == 3) w.end_row_group();  // one row group per episode, as datasets keep them
  }
  const Json got = read_back(w.finish());
  EXPECT_EQ(got["types"], Json::parse(R"({"index": "BIGINT", "timestamp": "FLOAT", "mean": "DOUBLE", "task": "VARCHAR",
    "action": "FLOAT[]", "image_mean": "DOUBLE[][][]", "tasks": "VARCHAR[]", "count": "BIGINT[]"})"));
  EXPECT_EQ(got["rowGroups"], 3);
  EXPECT_EQ(got["keyValue"]["pandas"], R"({"index_columns": ["task"]})");
  for (const char* reader : {"hyparquet", "duckdb"}) {
    const Json& rows = got[reader];
    ASSERT_EQ(rows.size(), 5u) << reader;
    for (int r = 0; r < 5; ++r) {
      const Json& row = rows[static_cast<size_t>(r)];
      const Json index = row["index"];
      EXPECT_EQ(index.is_string() ? std::stoll(index.get<std::string>()) : index.get<long long>(), r * 1'000'000'000'000LL);
      EXPECT_NEAR(row["timestamp"].get<double>(), r / 30.0, 1e-6) << reader;
      EXPECT_EQ(row["task"], r == 2 ? "pick the cube — gently" : "teleoperation");
      EXPECT_EQ(row["action"][0], r);
      EXPECT_EQ(row["action"][1], -1.5);
      EXPECT_EQ(row["action"].size(), 6u);
      EXPECT_NEAR(row["image_mean"][0][0][0].get<double>(), 0.1 * r, 1e-12) << reader;
      EXPECT_EQ(row["image_mean"][2][0][0], 0.3);
      EXPECT_EQ(row["tasks"].size(), static_cast<size_t>(r % 3)) << reader;
    }
  }
}

TEST(ParquetWriter, MisuseIsRefused) {
  Writer w({{"a", Physical::INT64}, {"v", Physical::DOUBLE, 2}});
  EXPECT_THROW(w.add(0, 1.0), std::invalid_argument);  // wrong type
  w.add(0, int64_t{1});
  EXPECT_THROW(w.add(0, int64_t{2}), std::logic_error);  // twice in one row
  EXPECT_THROW(w.end_row(), std::logic_error);            // a column missing
  const std::vector<double> v{1, 2, 3};
  EXPECT_THROW(w.add_list(1, std::span<const double>(v), {2, 2}), std::invalid_argument);  // shape and values disagree
  EXPECT_THROW(w.add_list(1, std::span<const double>(v)), std::invalid_argument);          // depth 2 needs a 2-d shape
  w.add_list(1, std::span<const double>(v), {3, 1});
  w.end_row();
  const std::string bytes = w.finish();
  EXPECT_EQ(bytes.substr(0, 4), "PAR1");
  EXPECT_EQ(bytes.substr(bytes.size() - 4), "PAR1");
  EXPECT_THROW(w.add(0, int64_t{3}), std::logic_error);  // finished
}

}  // namespace
