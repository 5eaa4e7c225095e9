// The filter-key field of a snapshot's metadata block: written after the
// block's four fixed fields, where a reader that knows only those fields
// meets it as trailing bytes and ignores it.
#include <fcntl.h>

#include <cstring>

#include "base/file.h"
#include "format/codec.h"
#include "format/snapshot.h"

namespace ulmora {

void encode_metadata_filter_keys(Encoder& e, const std::vector<std::string>& keys) {
  e.u64(keys.size());
  for (const std::string& k : keys) e.string(k);
}

std::optional<std::vector<std::string>> decode_metadata_filter_keys(Decoder& d) {
  if (d.remaining() == 0) return std::nullopt;
  uint64_t n = 0;
  if (!d.u64(n) || n > d.remaining() / 8) return std::nullopt;  // each string has its u64 length
  std::vector<std::string> keys(static_cast<size_t>(n));
  for (std::string& k : keys) {
    if (!d.string(k)) return std::nullopt;
  }
  return keys;
}

Result<std::optional<std::vector<std::string>>> read_snapshot_filter_keys(const std::string& path) {
  using Keys = std::optional<std::vector<std::string>>;
  auto f = file::File::open(path, O_RDONLY);
  if (!f.ok()) return f.error();
  auto size = f->size();
  if (!size.ok()) return size.error();
  uint8_t head[8];
  auto got = f->read_at(0, head, sizeof head);
  if (!got.ok()) return got.error();
  uint32_t version = 0;
  if (*got == 8) std::memcpy(&version, head + 4, 4);
  if (*got < 8 || std::memcmp(head, kSnapshotHeaderMagic, 4) != 0 || version != 3) return Keys();
  // The body ends before the 8-byte trailer when there is one.
  uint64_t end = *size;
  uint8_t tail[8];
  if (end >= 16) {
    auto t = f->read_at(end - 8, tail, sizeof tail);
    if (!t.ok()) return t.error();
    if (*t == 8 && std::memcmp(tail, kSnapshotTrailerMagic, 4) == 0) end -= 8;
  }
  // Block: metadata (c bytes), u32 c, u32 block version, "VDBM".
  if (end < 8 + 12) return Keys();
  uint8_t block[12];
  auto b = f->read_at(end - 12, block, sizeof block);
  if (!b.ok()) return b.error();
  uint32_t c = 0, block_version = 0;
  std::memcpy(&c, block, 4);
  std::memcpy(&block_version, block + 4, 4);
  if (*b != 12 || std::memcmp(block + 8, kSnapshotMetadataMagic, 4) != 0 ||
      block_version != kSnapshotMetadataVersion || end - 8 - 12 < c) {
    return Keys();
  }
  std::vector<uint8_t> meta(c);
  auto m = f->read_at(end - 12 - c, meta.data(), c);
  if (!m.ok()) return m.error();
  if (*m != c) return Keys();
  Decoder d(meta.data(), meta.size());
  SnapshotMetadata fixed;
  if (!decode_snapshot_metadata(d, fixed)) return Keys();
  return decode_metadata_filter_keys(d);
}

}  // namespace ulmora
