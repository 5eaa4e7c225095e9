#include "vector/hnsw/restore_stream.h"

#include <fcntl.h>

#include <bit>
#include <cstring>
#include <vector>

#include "base/clock.h"
#include "base/file.h"
#include "format/codec.h"
#include "format/snapshot_stream.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/restore_parts.h"

namespace ulmora::hnsw {

namespace {

// Vectors longer than this take the whole-file path: one entry must fit the
// read window.
constexpr size_t kWindow = size_t{1} << 20;
constexpr uint64_t kMaxStreamDim = (kWindow - 16) / sizeof(float);

uint64_t ns_between(Instant a, Instant b) {
  return b < a ? 0 : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count());
}

}  // namespace

// Friend of Graph and HnswIndex: builds a graph through the restore
// constructor and hands it over as an index.
class StreamRestore {
 public:
  using Out = Result<std::optional<StreamedSegment>>;

  StreamRestore(const file::File& f, const SnapshotLayout& layout) : file_(f), layout_(layout) {}
  Out run();

 private:
  static Out decline() { return std::optional<StreamedSegment>(); }
  // The reader's failure: a read error, or (end of data, irregular shape)
  // a decline.
  Out stop(const StreamReader& r) {
    if (r.error()) return *r.error();
    return decline();
  }
  // Whether n more bytes of the segment record follow the cursor.
  bool have(const StreamReader& r, uint64_t n) const {
    return r.position() <= layout_.record_end && n <= layout_.record_end - r.position();
  }
  bool check_layers(StreamReader& r);
  bool read_vectors(StreamReader& r);
  bool store_layers(StreamReader& r);
  bool store_list(StreamReader& r, NeighborLayer* layer, uint64_t key, uint64_t len);

  const file::File& file_;
  const SnapshotLayout& layout_;
  std::unique_ptr<Graph> graph_;
  std::vector<uint64_t> ids_;
  uint64_t top_level_ = 0;
  std::optional<IdTranslator> translate_;
  std::vector<uint32_t> scratch_;
};

// First pass over the layers: levels ascending, every list backed by bytes.
// Keys inside a level may come in any order (a repeated key's last list
// wins when the second pass stores them in file order, as in decoding).
// Nothing is kept but the top level.
bool StreamRestore::check_layers(StreamReader& r) {
  uint64_t levels = 0;
  if (!have(r, 8) || !r.u64(levels)) return false;
  for (uint64_t i = 0; i < levels; ++i) {
    uint64_t level = 0, count = 0;
    if (!have(r, 16) || !r.u64(level) || !r.u64(count)) return false;
    if (i > 0 && level <= top_level_) return false;
    top_level_ = level;
    for (uint64_t e = 0; e < count; ++e) {
      const uint8_t* h = have(r, 16) ? r.peek(16) : nullptr;
      if (!h) return false;
      const uint64_t len = load_le<uint64_t>(h + 8);
      r.advance(16);
      if (len > (layout_.record_end - r.position()) / 8 || !r.skip(len * 8)) return false;
    }
  }
  return true;
}

// The vectors map, straight into the vector column. Its first entry fixes
// the length every entry must have (and dim must equal, checked later).
bool StreamRestore::read_vectors(StreamReader& r) {
  uint64_t count = 0;
  if (!have(r, 24) || !r.u64(count) || count == 0 || count > kMaxNodes) return false;
  const uint8_t* h = r.peek(16);
  if (!h) return false;
  const uint64_t dim = load_le<uint64_t>(h + 8);
  if (dim == 0 || dim > kMaxStreamDim) return false;
  const size_t entry = 16 + static_cast<size_t>(dim) * sizeof(float);
  if (count > (layout_.record_end - r.position()) / entry) return false;  // all of them lie in the record
  graph_.reset(new Graph(Graph::RestoreTag{}, Metric::kCosine, dim));
  ids_.reserve(static_cast<size_t>(count));
  for (uint64_t k = 0; k < count;) {
    const uint8_t* p = r.buffered() >= entry ? r.cursor() : r.peek(entry);
    if (!p) return false;
    // Every whole entry in the window at once.
    const uint64_t run = std::min<uint64_t>(r.buffered() / entry, count - k);
    for (uint64_t i = 0; i < run; ++i) {
      const uint8_t* e = p + i * entry;
      const uint64_t key = load_le<uint64_t>(e);
      if (load_le<uint64_t>(e + 8) != dim || (!ids_.empty() && key <= ids_.back())) return false;
      ids_.push_back(key);
    }
    // Byte pointers: the floats in the file are not aligned, and the column
    // copies them with memcpy.
    graph_->vectors.append_n(run, [&](uint64_t i) { return p + i * entry + 16; });
    r.advance(static_cast<size_t>(run * entry));
    k += run;
  }
  return true;
}

// One stored list of a level being built: translated to node indices and
// stored for its node, or only consumed when its key is not a node.
bool StreamRestore::store_list(StreamReader& r, NeighborLayer* layer, uint64_t key, uint64_t len) {
  const uint64_t node = layer ? (*translate_)(key) : kNoEntry;
  scratch_.clear();
  while (len > 0) {
    if (r.buffered() < 8 && !r.peek(8)) return false;
    const uint64_t k = std::min<uint64_t>(len, r.buffered() / 8);
    if (node != kNoEntry) {
      const uint8_t* p = r.cursor();
      for (uint64_t i = 0; i < k; ++i) {
        const uint64_t j = (*translate_)(load_le<uint64_t>(p + i * 8));
        if (j != kNoEntry) scratch_.push_back(static_cast<uint32_t>(j));
      }
    }
    r.advance(static_cast<size_t>(k * 8));
    len -= k;
  }
  if (node != kNoEntry) layer->assign_packed(node, scratch_);
  return true;
}

// Second pass over the layers: the same walk as check_layers, storing the
// lists of every level the graph has.
bool StreamRestore::store_layers(StreamReader& r) {
  uint64_t levels = 0;
  if (!r.u64(levels)) return false;
  for (uint64_t i = 0; i < levels; ++i) {
    uint64_t level = 0, count = 0;
    if (!r.u64(level) || !r.u64(count)) return false;
    NeighborLayer* layer = level < graph_->layers.size() ? graph_->layers[level].get() : nullptr;
    for (uint64_t e = 0; e < count; ++e) {
      uint64_t key = 0, len = 0;
      if (!r.u64(key) || !r.u64(len) || len > r.remaining() / 8) return false;
      if (!store_list(r, layer, key, len)) return false;
    }
  }
  return r.remaining() == 0;
}

StreamRestore::Out StreamRestore::run() {
  if constexpr (std::endian::native != std::endian::little) return decline();
  StreamedSegment out;
  out.file_bytes = layout_.file_size;
  const Instant t0 = now();

  // Pass 1: the whole body in order, for the checksum.
  StreamReader r(file_, 0, layout_.body_end, kWindow);
  if (!r.skip(layout_.record_begin) || !check_layers(r)) return stop(r);
  const uint64_t vectors_at = r.position();
  const uint32_t layers_sum = r.checksum();
  if (!read_vectors(r)) return stop(r);
  file::Bytes tail(static_cast<size_t>(layout_.record_end - r.position()));
  if (!r.bytes(tail.data(), tail.capacity())) return stop(r);
  tail.set_size(tail.capacity());
  if (!r.skip(r.remaining())) return stop(r);
  if (layout_.checksum && r.checksum() != *layout_.checksum) return decline();
  HnswSnapshot s;
  Decoder d(tail.data(), tail.size());
  if (!decode_hnsw_after_vectors(d, s, false) || !decode_segment_after_graph(d, out.rest)) return decline();
  tail = file::Bytes();
  if (s.dim != graph_->dim) return decline();
  const Instant t1 = now();

  // Build: parameters, node columns, id map, then the lists (pass 2).
  Graph& g = *graph_;
  g.metric = s.metric;
  apply_config(g, s);
  const uint64_t n = ids_.size();
  fill_id_map(g.id_to_index, ids_);
  fill_node_meta(g, ids_, s);
  add_layers(g, top_level_, s.max_level, n);
  translate_.emplace(ids_, g.id_to_index);
  StreamReader r2(file_, 0, vectors_at, kWindow);
  if (!r2.skip(layout_.record_begin) || !store_layers(r2)) return stop(r2);
  if (r2.checksum() != layers_sum) return decline();  // the file changed between the passes
  std::optional<uint64_t> entry_node;
  if (s.entry_point) entry_node = (*translate_)(*s.entry_point);
  finish_restore(g, entry_node, s.max_level, n);
  const Instant t2 = now();

  out.read_ns = r.read_ns() + r2.read_ns();
  out.checksum_ns = r.checksum_ns() + r2.checksum_ns();
  const uint64_t pass1 = ns_between(t0, t1), build = ns_between(t1, t2);
  out.decode_ns = pass1 - std::min(pass1, r.read_ns() + r.checksum_ns());
  out.build_ns = build - std::min(build, r2.read_ns() + r2.checksum_ns());
  out.index.reset(new HnswIndex(std::move(graph_)));
  return std::optional<StreamedSegment>(std::move(out));
}

Result<std::optional<StreamedSegment>> load_streamed(const std::string& path) {
  auto f = file::File::open(path, O_RDONLY);
  if (!f.ok()) return f.error();
  auto layout = probe_snapshot_layout(*f);
  if (!layout.ok()) return layout.error();
  if (!*layout) return std::optional<StreamedSegment>();
  return StreamRestore(*f, **layout).run();
}

}  // namespace ulmora::hnsw
