// ulmora_build: builds a segment snapshot from a float32 matrix by graph
// insertion.
//
//   ulmora_build --input X.npy --output seg.snap --metric cosine|dot|euclidean
//                [--m 16] [--ef-construction 200] [--threads N]
//                [--dim D (raw .f32 input)] [--limit N]
//
// Row i of the input becomes point id i. A front end over the core builder
// (segment/builder.h): rows are inserted concurrently by N threads and the
// file is written as a version-3 snapshot with metadata and checksum trailer
// (via a temporary file renamed into place). Prints the insertion
// throughput in points/s. Every failure is one message on stderr
// and exit status 1 (2 for usage errors).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/file.h"
#include "format/snapshot.h"
#include "segment/builder.h"

namespace ulmora::tools {

// ---- Input matrix --------------------------------------------------------

struct Matrix {
  uint64_t rows = 0;
  uint64_t dim = 0;
  std::vector<float> data;  // rows * dim, row-major
};

// Reads a whole file; nullopt with `err` set on failure.
std::optional<std::string> read_file(const std::string& path, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size < 0) {
    err = "cannot determine the size of " + path;
    return std::nullopt;
  }
  std::string bytes(static_cast<size_t>(size), '\0');
  in.read(bytes.data(), size);
  if (!in || in.gcount() != size) {
    err = "cannot read " + path;
    return std::nullopt;
  }
  return bytes;
}

uint64_t read_le(const std::string& s, size_t pos, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(s[pos + i])) << (8 * i);
  return v;
}

// Value text of `key` in a .npy header dict ("'key': value"), up to the next
// top-level comma or the closing brace; empty when absent.
std::string npy_field(std::string_view header, std::string_view key) {
  std::string quoted(1, '\'');
  quoted.append(key);
  quoted.push_back('\'');
  size_t at = header.find(quoted);
  if (at == std::string_view::npos) return {};
  size_t colon = header.find(':', at + quoted.size());
  if (colon == std::string_view::npos) return {};
  size_t i = colon + 1, depth = 0;
  std::string out;
  for (; i < header.size(); ++i) {
    char c = header[i];
    if (c == '(') ++depth;
    if (c == ')' && depth > 0) --depth;
    if (depth == 0 && (c == ',' || c == '}')) break;
    out.push_back(c);
  }
  size_t b = out.find_first_not_of(' '), e = out.find_last_not_of(' ');
  return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
}

// Parses "(a, b)" into two positive counts.
bool parse_shape(const std::string& text, uint64_t& rows, uint64_t& cols) {
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
  std::vector<uint64_t> dims;
  std::string_view body(text.data() + 1, text.size() - 2);
  while (!body.empty()) {
    size_t b = body.find_first_not_of(' ');
    if (b == std::string_view::npos) break;
    body.remove_prefix(b);
    uint64_t v = 0;
    auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
    if (ec != std::errc() || ptr == body.data()) return false;
    dims.push_back(v);
    body.remove_prefix(static_cast<size_t>(ptr - body.data()));
    b = body.find_first_not_of(' ');
    if (b == std::string_view::npos) break;
    if (body[b] != ',') return false;
    body.remove_prefix(b + 1);
  }
  if (dims.size() != 2) return false;
  rows = dims[0];
  cols = dims[1];
  return true;
}

// Fills `m` from .npy bytes: a C-ordered 2-D little-endian float32 array.
bool parse_npy(const std::string& bytes, Matrix& m, std::string& err) {
  static constexpr char kMagic[] = "\x93NUMPY";
  if (bytes.size() < 10 || bytes.compare(0, 6, kMagic, 6) != 0) {
    err = "not a .npy file (bad magic)";
    return false;
  }
  const int major = static_cast<uint8_t>(bytes[6]);
  const size_t len_width = major == 1 ? 2 : 4;
  if (major < 1 || major > 3 || bytes.size() < 8 + len_width) {
    err = "unsupported or truncated .npy header (version " + std::to_string(major) + ")";
    return false;
  }
  const uint64_t header_len = read_le(bytes, 8, len_width);
  const uint64_t data_at = 8 + len_width + header_len;
  if (data_at > bytes.size()) {
    err = "truncated .npy header";
    return false;
  }
  std::string_view header(bytes.data() + 8 + len_width, header_len);
  const std::string descr = npy_field(header, "descr");
  if (descr != "'<f4'" && descr != "'=f4'") {
    err = "input dtype must be little-endian float32 ('<f4'), found " + (descr.empty() ? "none" : descr);
    return false;
  }
  if (npy_field(header, "fortran_order") != "False") {
    err = "input array must be C-ordered (fortran_order False)";
    return false;
  }
  if (!parse_shape(npy_field(header, "shape"), m.rows, m.dim)) {
    err = "input array must be 2-D, found shape " + npy_field(header, "shape");
    return false;
  }
  const uint64_t payload = bytes.size() - data_at;
  if (m.dim == 0 || (m.rows > 0 && m.dim > payload / 4 / m.rows) || m.rows * m.dim * 4 > payload) {
    err = "shape (" + std::to_string(m.rows) + ", " + std::to_string(m.dim) + ") needs more data than the " +
          std::to_string(payload) + " bytes in the file (or dim is 0)";
    return false;
  }
  m.data.resize(m.rows * m.dim);
  std::memcpy(m.data.data(), bytes.data() + data_at, m.data.size() * sizeof(float));
  return true;
}

// Fills `m` from raw little-endian float32 rows of `dim` values.
bool parse_raw(const std::string& bytes, uint64_t dim, Matrix& m, std::string& err) {
  if (dim == 0) {
    err = "--dim is required for raw .f32 input and must be > 0";
    return false;
  }
  if (bytes.size() % 4 != 0 || (bytes.size() / 4) % dim != 0) {
    err = "raw input of " + std::to_string(bytes.size()) + " bytes is not a whole number of " +
          std::to_string(dim) + "-float rows";
    return false;
  }
  m.dim = dim;
  m.rows = bytes.size() / 4 / dim;
  m.data.resize(m.rows * m.dim);
  std::memcpy(m.data.data(), bytes.data(), bytes.size());
  return true;
}

// ---- Options -------------------------------------------------------------

struct Options {
  std::string input;
  std::string output;
  Metric metric = Metric::kCosine;
  bool metric_set = false;
  uint64_t m = 16;
  uint64_t ef_construction = 200;
  uint64_t threads = 1;
  uint64_t dim = 0;
  uint64_t limit = UINT64_MAX;
};

constexpr char kUsage[] =
    "usage: ulmora_build --input X.npy|X.f32 --output seg.snap --metric cosine|dot|euclidean\n"
    "                    [--m 16] [--ef-construction 200] [--threads N] [--dim D] [--limit N]\n"
    "  --input            float32 matrix: .npy (2-D, C order) or raw .f32 rows (needs --dim)\n"
    "  --output           snapshot file to write (version 3, with checksum trailer)\n"
    "  --metric           distance metric of the graph\n"
    "  --m                neighbours per node on upper levels (level 0 keeps 2*m), >= 2\n"
    "  --ef-construction  insertion beam width (also the stored default search ef)\n"
    "  --threads          insertion threads (default 1)\n"
    "  --dim              row length of raw .f32 input\n"
    "  --limit            insert only the first N rows\n";

bool parse_count(std::string_view text, uint64_t& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

bool parse_metric(std::string_view text, Metric& out) {
  if (text == "cosine") out = Metric::kCosine;
  else if (text == "dot") out = Metric::kDot;
  else if (text == "euclidean") out = Metric::kEuclidean;
  else return false;
  return true;
}

// Parses argv into `o`; on failure `err` says why.
bool parse_args(int argc, char** argv, Options& o, std::string& err) {
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      err = "help";
      return false;
    }
    if (i + 1 >= argc) {
      err = "missing value after " + std::string(flag);
      return false;
    }
    std::string_view value = argv[++i];
    bool ok = true;
    if (flag == "--input") o.input = value;
    else if (flag == "--output") o.output = value;
    else if (flag == "--metric") ok = o.metric_set = parse_metric(value, o.metric);
    else if (flag == "--m") ok = parse_count(value, o.m) && o.m >= 2 && o.m <= 4096;
    else if (flag == "--ef-construction") ok = parse_count(value, o.ef_construction) && o.ef_construction >= 1;
    else if (flag == "--threads") ok = parse_count(value, o.threads) && o.threads >= 1 && o.threads <= 1024;
    else if (flag == "--dim") ok = parse_count(value, o.dim) && o.dim >= 1;
    else if (flag == "--limit") ok = parse_count(value, o.limit);
    else {
      err = "unknown option " + std::string(flag);
      return false;
    }
    if (!ok) {
      err = "invalid value '" + std::string(value) + "' for " + std::string(flag);
      return false;
    }
  }
  if (o.input.empty() || o.output.empty() || !o.metric_set) {
    err = "--input, --output and --metric are required";
    return false;
  }
  return true;
}

bool load_matrix(const Options& o, Matrix& m, std::string& err) {
  auto bytes = read_file(o.input, err);
  if (!bytes) return false;
  const bool npy = bytes->size() >= 6 && bytes->compare(0, 6, "\x93NUMPY", 6) == 0;
  if (!(npy ? parse_npy(*bytes, m, err) : parse_raw(*bytes, o.dim, m, err))) {
    err = o.input + ": " + err;
    return false;
  }
  if (npy && o.dim != 0 && o.dim != m.dim) {
    err = o.input + ": --dim " + std::to_string(o.dim) + " differs from the array's " + std::to_string(m.dim);
    return false;
  }
  if (m.rows > o.limit) {
    m.rows = o.limit;
    m.data.resize(m.rows * m.dim);
  }
  if (m.rows == 0) {
    err = o.input + ": no rows to insert";
    return false;
  }
  if (m.rows > 0xFFFFFFFEull) {
    err = o.input + ": too many rows (" + std::to_string(m.rows) + ")";
    return false;
  }
  if (auto bad = ulmora::find_non_finite(m.data.data(), m.rows, m.dim)) {
    err = o.input + ": non-finite value at row " + std::to_string(bad->first) + ", column " +
          std::to_string(bad->second);
    return false;
  }
  return true;
}

// ---- Build ---------------------------------------------------------------

int run(int argc, char** argv) {
  Options o;
  std::string err;
  if (!parse_args(argc, argv, o, err)) {
    if (err == "help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "ulmora_build: %s\n%s", err.c_str(), kUsage);
    return 2;
  }
  Matrix m;
  if (!load_matrix(o, m, err)) {
    std::fprintf(stderr, "ulmora_build: %s\n", err.c_str());
    return 1;
  }
  BuildRequest request;
  request.vectors = m.data.data();
  request.rows = m.rows;
  request.dim = m.dim;
  request.metric = o.metric;
  request.m = o.m;
  request.ef_construction = o.ef_construction;
  request.threads = o.threads;
  bool busy = false;
  auto built = build_segment(o.output, request, nullptr, &busy);
  if (!built.ok()) {
    std::fprintf(stderr, "ulmora_build: cannot build %s: %s\n", o.output.c_str(), built.error().message().c_str());
    return 1;
  }
  const BuildStats& st = built.value();
  std::printf("inserted %llu points (dim %llu, %s, m %llu, ef_construction %llu, %llu threads) in %.2f s: "
              "%.0f points/s\n",
              static_cast<unsigned long long>(m.rows), static_cast<unsigned long long>(m.dim),
              metric_name(o.metric), static_cast<unsigned long long>(o.m),
              static_cast<unsigned long long>(o.ef_construction), static_cast<unsigned long long>(o.threads),
              st.insert_seconds, static_cast<double>(m.rows) / st.insert_seconds);
  std::printf("wrote %s: %llu bytes (export + encode + write %.2f s)\n", o.output.c_str(),
              static_cast<unsigned long long>(st.bytes), st.total_seconds - st.insert_seconds);
  return 0;
}

}  // namespace ulmora::tools

#ifndef ULMORA_BUILD_NO_MAIN
int main(int argc, char** argv) {
  try {
    return ulmora::tools::run(argc, argv);
  } catch (const std::exception& e) {  // allocation failure on huge inputs
    std::fprintf(stderr, "ulmora_build: %s\n", e.what());
    return 1;
  }
}
#endif
