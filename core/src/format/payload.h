// Payload values, payloads and the inverted payload index.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "format/codec.h"

namespace ulmora {

// Variant order is the encoding's variant index.
struct PayloadValue {
  enum Kind : uint32_t { kInt = 0, kFloat, kStr, kBool, kListInt, kListFloat, kListStr, kListBool };
  using Storage = std::variant<int64_t, double, std::string, bool, std::vector<int64_t>, std::vector<double>,
                               std::vector<std::string>, std::vector<bool>>;
  Storage v;

  Kind kind() const { return static_cast<Kind>(v.index()); }
  // Int, Float, Str and Bool enter the payload index and the filter keys.
  bool is_scalar() const { return v.index() <= kBool; }

  // Index-key equality: Float equal numerically except NaN == NaN (so
  // +0.0 == -0.0); lists elementwise under the same rules.
  friend bool operator==(const PayloadValue& a, const PayloadValue& b);
};

// The hashes of the store's unordered keys (point ids, payload keys and
// values) start from a seed drawn once per process: with a fixed hash a
// file could choose keys that all share one bucket and make its own load
// quadratic (a 1 MB set of such ids took over a minute).
uint64_t hash_seed();

// Agrees with operator== (NaN hashes alike, +0.0 and -0.0 hash alike).
struct PayloadValueHash {
  size_t operator()(const PayloadValue& v) const;
};
struct PointIdHash {
  size_t operator()(uint64_t id) const;
};
struct TextHash {
  size_t operator()(const std::string& s) const;
};

using Payload = std::map<std::string, PayloadValue>;
using PayloadMap = std::unordered_map<uint64_t, Payload, PointIdHash>;
using PointIdSet = std::unordered_set<uint64_t, PointIdHash>;
using PayloadIndex =
    std::unordered_map<std::string, std::unordered_map<PayloadValue, PointIdSet, PayloadValueHash>, TextHash>;

// Encoding (maps: u64 count then key/value pairs; last repeated key wins).
bool decode_payload_value(Decoder& d, PayloadValue& out);
bool decode_payload(Decoder& d, Payload& out);
void encode_payload_value(Encoder& e, const PayloadValue& v);
void encode_payload(Encoder& e, const Payload& p);
// Exact encoded size in bytes.
uint64_t encoded_size(const PayloadValue& v);
uint64_t encoded_size(const Payload& p);

// Index maintenance (scalar entries only; list values are skipped).
void index_payload(PayloadIndex& index, uint64_t point, const Payload& payload);
void unindex_payload(PayloadIndex& index, uint64_t point, const Payload& payload);
void put_payload(PayloadMap& payloads, uint64_t point, Payload payload);
void remove_payload(PayloadMap& payloads, uint64_t point);

// One filter key of a payload: kind number (Bool 0, Str 1, Int 2, Float 3)
// and the key text.
struct FilterKey {
  uint32_t kind;
  std::string key;
  friend bool operator==(const FilterKey&, const FilterKey&) = default;
};

// Filter keys of a payload: scalar entries, restricted to `allow` when
// given, sorted by kind then key bytes, cut to `max_keys` when given (> 0).
std::vector<FilterKey> filter_keys(const Payload& payload, const std::set<std::string>* allow,
                                   std::optional<uint64_t> max_keys);

}  // namespace ulmora
