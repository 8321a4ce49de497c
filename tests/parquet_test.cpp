// The Parquet writer against two independent readers (hyparquet and DuckDB,
// from npm): every column kind, nested lists, several row groups, empty
// lists, UTF-8 text and footer metadata read back the same, with pages
// uncompressed and snappy-compressed; misuse fails.
#include "kit/parquet/writer.hpp"

#include <gtest/gtest.h>

#include "kit/parquet/reader.hpp"
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "kit/json/text.hpp"
#include "kit/parquet/format_codes.hpp"
#include "kit/parquet/thrift_compact.hpp"
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

// Every column kind, nested and empty lists, three row groups, metadata.
std::string sample_file(Compression compression = Compression::none) {
  Writer w({{"index", Physical::INT64},
            {"timestamp", Physical::FLOAT},
            {"mean", Physical::DOUBLE},
            {"task", Physical::STRING},
            {"action", Physical::FLOAT, 1},
            {"image_mean", Physical::DOUBLE, 3},
            {"tasks", Physical::STRING, 1},
            {"count", Physical::INT64, 1}},
           {{"pandas", R"({"index_columns": ["task"]})"}}, compression);
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
  return w.finish();
}

class ParquetPages : public ::testing::TestWithParam<Compression> {};
INSTANTIATE_TEST_SUITE_P(Compressions, ParquetPages, ::testing::Values(Compression::none, Compression::snappy),
                         [](const auto& info) { return info.param == Compression::none ? "Plain" : "Snappy"; });

TEST_P(ParquetPages, EveryColumnKindReadsBackInTwoIndependentReaders) {
  const Json got = read_back(sample_file(GetParam()));
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

// Our own reader (the studio's dataset viewer and episode deletion use it)
// sees what the writer wrote, row by row and group by group.
TEST_P(ParquetPages, OurReaderReadsBackWhatTheWriterWrote) {
  const Reader r(sample_file(GetParam()));
  ASSERT_EQ(r.schema().size(), 8u);
  EXPECT_EQ(r.schema()[5].name, "image_mean");
  EXPECT_EQ(r.schema()[5].list_depth, 3);
  EXPECT_EQ(r.row_groups(), 3u);
  EXPECT_EQ(r.total_rows(), 5);
  EXPECT_EQ(r.key_values().at(0).first, "pandas");
  const std::vector<size_t> group_rows{2, 2, 1};
  int row = 0;
  for (size_t g = 0; g < r.row_groups(); ++g) {
    ASSERT_EQ(r.rows(g), static_cast<int64_t>(group_rows[g]));
    const auto index = r.column(g, "index"), timestamp = r.column(g, "timestamp"), task = r.column(g, "task");
    const auto action = r.column(g, "action"), image = r.column(g, "image_mean"), tags = r.column(g, "tasks");
    for (size_t i = 0; i < group_rows[g]; ++i, ++row) {
      EXPECT_EQ(index.ints[i], row * 1'000'000'000'000LL);
      EXPECT_EQ(timestamp.reals[i], static_cast<float>(row) / 30.0f);  // widened exactly
      EXPECT_EQ(task.strings[i], row == 2 ? "pick the cube — gently" : "teleoperation");
      ASSERT_EQ(action.row_start[i + 1] - action.row_start[i], 6u);
      EXPECT_EQ(action.reals[action.row_start[i]], row);
      EXPECT_EQ(action.reals[action.row_start[i] + 1], -1.5);
      EXPECT_EQ(image.shapes[i], (std::vector<size_t>{3, 1, 1}));
      EXPECT_DOUBLE_EQ(image.reals[image.row_start[i]], 0.1 * row);
      EXPECT_EQ(tags.row_start[i + 1] - tags.row_start[i], static_cast<size_t>(row % 3));  // empty lists too
    }
  }
}

TEST_P(ParquetPages, DamagedFilesAreRefusedNeverMisread) {
  const std::string good = sample_file(GetParam());
  EXPECT_THROW(Reader("PAR1"), ParquetError);
  EXPECT_THROW(Reader(std::string(100, 'x')), ParquetError);
  // Every cut and a flipped byte at every position: an error or a file that
  // still reads, never a crash.
  size_t refused = 0;
  for (size_t cut = 0; cut < good.size(); cut += 7) {
    std::string damaged = good;
    damaged[cut] = static_cast<char>(damaged[cut] ^ 0x5A);
    for (const std::string& bytes : {good.substr(0, cut), damaged}) {
      try {
        const Reader r(bytes);
        for (size_t g = 0; g < r.row_groups(); ++g) {
          for (size_t c = 0; c < r.schema().size(); ++c) r.column(g, c);
        }
      } catch (const ParquetError&) {
        ++refused;
      } catch (const std::exception&) {
        ++refused;  // std::out_of_range from a bad index counts as refused too
      }
    }
  }
  EXPECT_GT(refused, good.size() / 7);  // every cut at least
}

TEST(ParquetWriter, SnappyPagesAreSmallerWhereValuesRepeat) {
  auto file = [](Compression compression) {
    Writer w({{"episode_index", Physical::INT64}, {"state", Physical::FLOAT, 1}}, {}, compression);
    for (int r = 0; r < 1000; ++r) {
      w.add(0, int64_t{7});
      const std::vector<float> state(6, 0.5f);
      w.add_list(1, std::span<const float>(state));
      w.end_row();
    }
    return w.finish();
  };
  const std::string plain = file(Compression::none), snappy = file(Compression::snappy);
  EXPECT_LT(snappy.size() * 10, plain.size());
  EXPECT_EQ(Reader(snappy).column(0, "state").reals, Reader(plain).column(0, "state").reals);
}

}  // namespace

namespace {

// A file DuckDB writes, an independent writer that, like pyarrow, writes
// nullable columns and dictionary pages: nulls in scalars, lists and list
// elements, dictionary-coded and unique strings, nested lists, several row
// groups.
std::string duckdb_file(const std::string& version, const std::string& codec) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("duckdb-" + std::to_string(getpid()) + "-" + version + "-" + codec + ".parquet");
  const std::string sql =
      "COPY (SELECT i::BIGINT AS episode_index, i::INTEGER AS small, "
      "CASE WHEN i % 4 = 3 THEN NULL ELSE i * 0.25 END::FLOAT AS maybe, "
      "CASE WHEN i % 2 = 0 THEN 'pick up the cube' ELSE 'fold the towel' END AS task, "
      "[i * 1.5, NULL, -i]::FLOAT[] AS action, "
      "CASE WHEN i = 5 THEN NULL ELSE [[i::DOUBLE], [i + 1.0]] END AS nested, "
      "i % 3 = 0 AS flag, 'unique-' || i AS name, {'a': i} AS a_struct "
      "FROM range(5000) t(i)) TO '" + path.string() + "' (FORMAT parquet, PARQUET_VERSION " + version + ", COMPRESSION " +
      codec + ", ROW_GROUP_SIZE 2048)";
  const auto run = test_support::run_process({NODE_EXECUTABLE, std::string(TESSALINE_NODE_DIR) + "/duckdb_sql.mjs", sql});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  std::ifstream in(path, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), {}};
  std::filesystem::remove(path);
  return bytes;
}

class IndependentFiles : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(IndependentFiles, ReadAsTheirWriterWroteThem) {
  const auto& [version, codec] = GetParam();
  const Reader r(duckdb_file(version, codec));
  ASSERT_GE(r.row_groups(), 2u);
  EXPECT_EQ(r.total_rows(), 5000);
  std::vector<std::string> names;
  for (const auto& c : r.schema()) names.push_back(c.name);
  // A struct is not a column we read; it does not keep the others from being read.
  EXPECT_EQ(names, (std::vector<std::string>{"episode_index", "small", "maybe", "task", "action", "nested", "flag", "name"}));
  int64_t row = 0;
  for (size_t g = 0; g < r.row_groups(); ++g) {
    const auto episode = r.column(g, "episode_index"), small = r.column(g, "small"), maybe = r.column(g, "maybe");
    const auto task = r.column(g, "task"), action = r.column(g, "action"), nested = r.column(g, "nested");
    const auto flag = r.column(g, "flag"), name = r.column(g, "name");
    for (size_t k = 0; k < episode.rows(); ++k, ++row) {
      const auto i = row;
      ASSERT_EQ(episode.ints[k], i);
      EXPECT_EQ(small.ints[k], i);
      const bool null = i % 4 == 3;
      EXPECT_EQ(std::find(maybe.null_rows.begin(), maybe.null_rows.end(), k) != maybe.null_rows.end(), null) << i;
      if (!null) {
        EXPECT_EQ(maybe.reals[k], static_cast<float>(i * 0.25));
      }
      EXPECT_EQ(task.strings[k], i % 2 == 0 ? "pick up the cube" : "fold the towel");
      EXPECT_EQ(flag.ints[k], i % 3 == 0 ? 1 : 0);
      EXPECT_EQ(name.strings[k], "unique-" + std::to_string(i));
      // [i * 1.5, null, -i]: three elements, the middle one null.
      ASSERT_EQ(action.row_start[k + 1] - action.row_start[k], 3u);
      EXPECT_EQ(action.reals[action.row_start[k]], static_cast<float>(i * 1.5));
      EXPECT_TRUE(std::isnan(action.reals[action.row_start[k] + 1]));
      EXPECT_EQ(action.reals[action.row_start[k] + 2], static_cast<float>(-i));
      EXPECT_EQ(action.shapes[k], std::vector<size_t>{3});
      if (i == 5) {
        EXPECT_EQ(nested.row_start[k + 1], nested.row_start[k]);  // a null list: no values
      } else {
        EXPECT_EQ(nested.shapes[k], (std::vector<size_t>{2, 1}));
        EXPECT_EQ(nested.reals[nested.row_start[k] + 1], i + 1.0);
      }
    }
  }
  EXPECT_EQ(row, 5000);
}

INSTANTIATE_TEST_SUITE_P(PagesAndCodecs, IndependentFiles,
                         ::testing::Combine(::testing::Values("V1", "V2"),
                                            ::testing::Values("uncompressed", "snappy", "gzip", "zstd")),
                         [](const auto& info) { return std::get<0>(info.param) + "_" + std::get<1>(info.param); });

TEST(IndependentFiles, ACodecBeyondTheFieldsIsRefusedByName) {
  const Reader r(duckdb_file("V1", "lz4_raw"));
  try {
    r.column(0, "episode_index");
    FAIL() << "an lz4 page was read";
  } catch (const ParquetError& e) {
    EXPECT_NE(std::string(e.what()).find("LZ4"), std::string::npos) << e.what();
  }
}

}  // namespace

namespace {

using namespace kit::parquet::codes;

// A whole file of one OPTIONAL INT64 column whose chunk and page declare
// `values` entries, all null: a few dozen bytes that a reader trusting the
// counts would turn into gigabytes of levels and placeholders.
std::string declaring_file(int64_t values, int32_t page_values) {
  std::string page_body;
  // The definition levels: one RLE run of zeros (nulls), behind its length.
  uint64_t header = static_cast<uint64_t>(page_values) << 1;
  std::string run;
  while (header >= 0x80) {
    run.push_back(static_cast<char>((header & 0x7F) | 0x80));
    header >>= 7;
  }
  run.push_back(static_cast<char>(header));
  run.push_back('\0');
  const uint32_t length = static_cast<uint32_t>(run.size());
  page_body.append(reinterpret_cast<const char*>(&length), 4);
  page_body += run;
  CompactWriter page;
  page.field_i32(1, DATA_PAGE);
  page.field_i32(2, static_cast<int32_t>(page_body.size()));
  page.field_i32(3, static_cast<int32_t>(page_body.size()));
  page.begin_struct(5);
  page.field_i32(1, page_values);
  page.field_i32(2, PLAIN);
  page.field_i32(3, RLE);
  page.field_i32(4, RLE);
  page.end_struct();
  page.end_message();
  const std::string chunk = page.bytes() + page_body;
  CompactWriter meta;
  meta.field_i32(1, 1);
  meta.begin_list(2, CompactWriter::STRUCT, 2);
  meta.begin_element_struct();
  meta.field_binary(4, "schema");
  meta.field_i32(5, 1);
  meta.end_element_struct();
  meta.begin_element_struct();
  meta.field_i32(1, T_INT64);
  meta.field_i32(3, OPTIONAL);
  meta.field_binary(4, "x");
  meta.end_element_struct();
  meta.field_i64(3, values);
  meta.begin_list(4, CompactWriter::STRUCT, 1);
  meta.begin_element_struct();
  meta.begin_list(1, CompactWriter::STRUCT, 1);
  meta.begin_element_struct();
  meta.field_i64(2, 4);
  meta.begin_struct(3);
  meta.field_i32(1, T_INT64);
  meta.begin_list(2, CompactWriter::I32, 1);
  meta.element_i32(PLAIN);
  meta.begin_list(3, CompactWriter::BINARY, 1);
  meta.element_binary("x");
  meta.field_i32(4, UNCOMPRESSED);
  meta.field_i64(5, values);
  meta.field_i64(6, static_cast<int64_t>(chunk.size()));
  meta.field_i64(7, static_cast<int64_t>(chunk.size()));
  meta.field_i64(9, 4);
  meta.end_struct();
  meta.end_element_struct();
  meta.field_i64(2, static_cast<int64_t>(chunk.size()));
  meta.field_i64(3, values);
  meta.end_element_struct();
  meta.end_message();
  const uint32_t footer = static_cast<uint32_t>(meta.bytes().size());
  return "PAR1" + chunk + meta.bytes() + std::string(reinterpret_cast<const char*>(&footer), 4) + "PAR1";
}

// Peak resident memory (KiB) of a child that reads every column of `bytes`,
// beyond what it started with; the reader's error (or "read") in `outcome`.
long read_in_child(const std::string& bytes, std::string& outcome) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    std::string said = "read";
    try {
      const Reader r(bytes);
      for (size_t g = 0; g < r.row_groups(); ++g) {
        for (size_t c = 0; c < r.schema().size(); ++c) r.column(g, c);
      }
    } catch (const std::exception& e) {
      said = e.what();
    }
    [[maybe_unused]] const ssize_t n = write(pipe_fds[1], said.data(), said.size());
    _exit(0);
  }
  close(pipe_fds[1]);
  char text[512];
  const ssize_t n = read(pipe_fds[0], text, sizeof text);
  close(pipe_fds[0]);
  outcome.assign(text, n > 0 ? static_cast<size_t>(n) : 0);
  rusage usage{};
  int status = 0;
  wait4(child, &status, 0, &usage);
  return usage.ru_maxrss;
}

TEST(HostileParquet, DeclaredCountsAreCheckedBeforeAnythingIsAllocated) {
  for (const int64_t declared : {int64_t{1} << 28, int64_t{1} << 31}) {
    const std::string file = declaring_file(declared, static_cast<int32_t>(std::min<int64_t>(declared, INT32_MAX)));
    std::string outcome;
    const long peak_kib = read_in_child(file, outcome);
    std::printf("a %zu-byte file declaring %lld values: %s; the reader's process peaked at %ld MiB\n", file.size(),
                static_cast<long long>(declared), outcome.c_str(), peak_kib / 1024);
    EXPECT_NE(outcome.find("more than this reader takes"), std::string::npos) << outcome;
    EXPECT_LT(peak_kib, 256 * 1024) << "a few dozen bytes took " << peak_kib / 1024 << " MiB";
  }
  // What a file really holds is read: a million nulls in the same few bytes.
  std::string outcome;
  read_in_child(declaring_file(1 << 20, 1 << 20), outcome);
  EXPECT_EQ(outcome, "read");
}

}  // namespace
