// Fuzz target: a snapshot file through the loader's steps (trailer, body,
// graph restore with the segment's other fields), the binding's export and
// second restore, SQ8 codes, and searches under every metric. The loader's
// streamed path reads the same bytes from a memory file and must build what
// those steps build, or decline.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "check.h"
#include "exercise.h"
#include "format/snapshot.h"
#include "segment/segment.h"
#include "vector/hnsw/index.h"
#include "vector/hnsw/restore_stream.h"

namespace {

using namespace ulmora;

std::vector<uint8_t> encode_graph(const HnswSnapshot& g) {
  std::vector<uint8_t> out;
  Encoder e(out);
  encode_hnsw_snapshot(e, g, false);
  return out;
}

// The graph record again under each metric: restore, search, and (for the
// record's own metric) SQ8 codes as Index(quantize=True) builds them.
void restore_and_search(const HnswSnapshot& graph, uint64_t seed) {
  const Metric own = graph.metric;
  const Metric order[] = {own, Metric::kCosine, Metric::kDot, Metric::kEuclidean};
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0 && order[i] == own) continue;
    if (i > 0 && graph.vectors.size() * graph.dim > fuzz::kMaxSearchWork) return;  // one round for big inputs
    HnswSnapshot copy = graph;
    copy.metric = order[i];
    auto index = hnsw::restore(std::move(copy));
    FUZZ_CHECK(index.ok());  // an exported record always restores
    FUZZ_CHECK(index.value()->len() == graph.vectors.size());
    if (i == 0) {
      // Export is a fixed point of restore: restoring what was exported and
      // exporting again gives the same record.
      FUZZ_CHECK(encode_graph(hnsw::export_snapshot(*index.value())) == encode_graph(graph));
      index.value()->quantize_sq8();
    }
    fuzz::exercise_search(*index.value(), seed + i);
  }
}

std::optional<hnsw::StreamedSegment> load_streamed_bytes(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("snapshot", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  for (size_t done = 0; done < size;) {
    const ssize_t w = ::write(fd, data + done, size - done);
    FUZZ_CHECK(w > 0);
    done += static_cast<size_t>(w);
  }
  auto loaded = hnsw::load_streamed("/proc/self/fd/" + std::to_string(fd));
  ::close(fd);
  FUZZ_CHECK(loaded.ok());  // a memory file never fails a read
  return std::move(loaded.value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> file(data, size);
  const auto streamed = load_streamed_bytes(data, size);
  auto body = snapshot_body(file);
  std::span<const uint8_t> bytes;
  if (body.ok()) {
    bytes = body.value();
  } else {
    // A mutated trailer fails here; decode the body anyway so that trailed
    // inputs still reach the decoder.
    FUZZ_CHECK(body.error().message() == "Serialization error: segment snapshot checksum mismatch");
    bytes = file.first(size - 8);
  }
  auto decoded = decode_snapshot_body(bytes);
  if (!decoded.ok()) {
    FUZZ_CHECK(decoded.error().kind() == ErrorKind::kSerialization);
    FUZZ_CHECK(!streamed);
    return 0;
  }
  const uint64_t seed = fuzz::digest(data, size) | 1;

  // The loader's build step, then the binding's export and second restore.
  auto segment = Segment::from_snapshot(std::move(decoded.value()));
  if (!segment.ok()) {
    FUZZ_CHECK(segment.error().kind() == ErrorKind::kSerialization);
    FUZZ_CHECK(!streamed);
    return 0;
  }
  if (streamed) {
    const Segment& ref = *segment.value();
    FUZZ_CHECK(body.ok());
    FUZZ_CHECK(encode_graph(hnsw::export_snapshot(*streamed->index)) == encode_graph(hnsw::export_snapshot(ref.hnsw())));
    FUZZ_CHECK(streamed->rest.next_id == ref.next_id() && streamed->rest.deleted == ref.deleted());
    FUZZ_CHECK(streamed->rest.payloads == ref.payloads() && streamed->rest.payload_index == ref.payload_index());
  }
  fuzz::exercise_search(segment.value()->hnsw(), seed);
  HnswSnapshot exported = hnsw::export_snapshot(segment.value()->hnsw());
  FUZZ_CHECK(exported.vectors.size() == segment.value()->hnsw().len());
  segment.value().reset();
  restore_and_search(exported, seed);
  return 0;
}
