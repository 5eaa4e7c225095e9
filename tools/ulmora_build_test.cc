// Tests of ulmora_build: input parsing (.npy and raw), option parsing, and a
// small end-to-end build whose snapshot decodes back and finds its points.
#include "ulmora_build.cc"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "segment/segment.h"
#include "vector/hnsw/search.h"

namespace ulmora::tools {
namespace {

// .npy bytes with the given header dict text, padded like NumPy does.
std::string make_npy(const std::string& dict, const std::vector<float>& data, int version = 1) {
  std::string header = dict;
  const size_t len_width = version == 1 ? 2 : 4;
  while ((8 + len_width + header.size() + 1) % 64 != 0) header.push_back(' ');
  header.push_back('\n');
  std::string out("\x93NUMPY", 6);
  out.push_back(static_cast<char>(version));
  out.push_back('\0');
  for (size_t i = 0; i < len_width; ++i) out.push_back(static_cast<char>((header.size() >> (8 * i)) & 0xFF));
  out += header;
  out.append(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(float));
  return out;
}

std::string dict(const std::string& descr, const std::string& fortran, const std::string& shape) {
  return "{'descr': '" + descr + "', 'fortran_order': " + fortran + ", 'shape': " + shape + ", }";
}

struct NpyCase {
  const char* name;
  std::string bytes;
  const char* error_part;  // nullptr: must parse
};

TEST(UlmoraBuildNpy, AcceptsAndRejects) {
  const std::vector<float> six = {1, 2, 3, 4, 5, 6};
  const std::vector<NpyCase> cases = {
      {"v1", make_npy(dict("<f4", "False", "(2, 3)"), six), nullptr},
      {"v2", make_npy(dict("<f4", "False", "(3, 2)"), six, 2), nullptr},
      {"extra data ignored", make_npy(dict("<f4", "False", "(1, 3)"), six), nullptr},
      {"bad magic", "NUMPY\x01\x00\x10\x00", "bad magic"},
      {"version 9", make_npy(dict("<f4", "False", "(2, 3)"), six, 9), "version 9"},
      {"float64", make_npy(dict("<f8", "False", "(2, 3)"), six), "'<f8'"},
      {"big endian", make_npy(dict(">f4", "False", "(2, 3)"), six), "'>f4'"},
      {"fortran", make_npy(dict("<f4", "True", "(2, 3)"), six), "C-ordered"},
      {"1-D", make_npy(dict("<f4", "False", "(6,)"), six), "2-D"},
      {"3-D", make_npy(dict("<f4", "False", "(1, 2, 3)"), six), "2-D"},
      {"short data", make_npy(dict("<f4", "False", "(3, 3)"), six), "needs more data"},
      {"dim 0", make_npy(dict("<f4", "False", "(2, 0)"), six), "dim is 0"},
      {"product overflows", make_npy(dict("<f4", "False", "(4611686018427387904, 8)"), six), "needs more data"},
  };
  for (const auto& c : cases) {
    Matrix m;
    std::string err;
    const bool ok = parse_npy(c.bytes, m, err);
    if (c.error_part == nullptr) {
      EXPECT_TRUE(ok) << c.name << ": " << err;
      EXPECT_EQ(m.data.size(), m.rows * m.dim) << c.name;
      EXPECT_EQ(m.data[0], 1.0f) << c.name;
    } else {
      EXPECT_FALSE(ok) << c.name;
      EXPECT_NE(err.find(c.error_part), std::string::npos) << c.name << ": " << err;
    }
  }
}

TEST(UlmoraBuildNpy, HeaderLengthPastEndIsRejected) {
  std::string bytes = make_npy(dict("<f4", "False", "(1, 1)"), {1});
  bytes[8] = '\xff';
  bytes[9] = '\xff';
  Matrix m;
  std::string err;
  EXPECT_FALSE(parse_npy(bytes, m, err));
  EXPECT_NE(err.find("truncated"), std::string::npos) << err;
}

TEST(UlmoraBuildRaw, RowsMustBeWhole) {
  const std::string eight_floats(32, '\0');
  Matrix m;
  std::string err;
  EXPECT_TRUE(parse_raw(eight_floats, 4, m, err));
  EXPECT_EQ(m.rows, 2u);
  EXPECT_FALSE(parse_raw(eight_floats, 3, m, err));
  EXPECT_FALSE(parse_raw(eight_floats, 0, m, err));
  EXPECT_FALSE(parse_raw(std::string(7, '\0'), 1, m, err));
}

TEST(UlmoraBuildArgs, Validation) {
  struct Case {
    std::vector<std::string> args;
    const char* error_part;
  };
  const std::vector<Case> cases = {
      {{"--input", "x.npy", "--output", "y.snap", "--metric", "dot", "--threads", "2"}, nullptr},
      {{"--input", "x.npy", "--output", "y.snap"}, "required"},
      {{"--input", "x.npy", "--output", "y.snap", "--metric", "l2"}, "--metric"},
      {{"--input", "x.npy", "--output", "y.snap", "--metric", "dot", "--m", "1"}, "--m"},
      {{"--input", "x.npy", "--output", "y.snap", "--metric", "dot", "--threads", "0"}, "--threads"},
      {{"--input", "x.npy", "--output", "y.snap", "--metric", "dot", "--m", "16x"}, "--m"},
      {{"--input", "x.npy", "--bogus", "1"}, "unknown option"},
      {{"--input"}, "missing value"},
  };
  for (const auto& c : cases) {
    std::vector<char*> argv = {const_cast<char*>("ulmora_build")};
    for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    Options o;
    std::string err;
    const bool ok = parse_args(static_cast<int>(argv.size()), argv.data(), o, err);
    EXPECT_EQ(ok, c.error_part == nullptr) << c.args[0] << " " << err;
    if (c.error_part) {
      EXPECT_NE(err.find(c.error_part), std::string::npos) << err;
    }
  }
}

TEST(UlmoraBuildInput, NonFiniteValueIsLocated) {
  const std::vector<float> data = {0, 1, 2, 3, 4, std::nanf("")};
  auto bad = ulmora::find_non_finite(data.data(), 3, 2);
  ASSERT_TRUE(bad.has_value());
  EXPECT_EQ(bad->first, 2u);
  EXPECT_EQ(bad->second, 1u);
  const std::vector<float> fine = {0, 1, 2, 3, 4, 5};
  EXPECT_FALSE(ulmora::find_non_finite(fine.data(), 3, 2).has_value());
}

// Runs the tool on a .npy file with two threads; the snapshot loads back as a
// segment with every point, no log, and a stored vector finds itself first.
TEST(UlmoraBuildEndToEnd, SnapshotLoadsAndSearches) {
  const uint64_t rows = 600, dim = 8;
  std::vector<float> data;
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  for (uint64_t i = 0; i < rows * dim; ++i) data.push_back(normal(rng));
  const std::string dir = ::testing::TempDir();
  const std::string input = dir + "/ulmora_build_input.npy";
  const std::string output = dir + "/ulmora_build_output.snap";
  {
    std::ofstream out(input, std::ios::binary);
    out << make_npy(dict("<f4", "False", "(600, 8)"), data);
  }
  std::vector<std::string> args = {"ulmora_build", "--input", input, "--output", output, "--metric", "euclidean",
                                   "--m", "8", "--ef-construction", "64", "--threads", "2"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  ASSERT_EQ(run(static_cast<int>(argv.size()), argv.data()), 0);

  auto seg = Segment::load(output);
  ASSERT_TRUE(seg.ok()) << seg.error().message();
  EXPECT_EQ((*seg)->hnsw().len(), rows);
  EXPECT_EQ((*seg)->hnsw().dim(), dim);
  EXPECT_EQ((*seg)->next_id(), rows);
  EXPECT_FALSE(file::exists(output + ".tmp.write"));
  hnsw::SearchOptions opts;
  opts.ef = 64;
  std::vector<hnsw::ScoredNode> out;
  for (uint64_t row : {0ull, 123ull, 599ull}) {
    ASSERT_TRUE((*seg)->hnsw().search({data.data() + row * dim, dim}, 1, opts, out).ok());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].node, row);
  }
}

}  // namespace
}  // namespace ulmora::tools
