#include "format/payload.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>

namespace ulmora {

namespace {

inline bool float_eq(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

inline uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

inline uint64_t combine(uint64_t h, uint64_t v) { return mix(h ^ v); }

// Every NaN hashes alike, and -0.0 like +0.0, matching float_eq.
inline uint64_t hash_float(double d) {
  if (std::isnan(d)) return 0x7FF8000000000000ull;
  if (d == 0) return 0;
  uint64_t bits = 0;
  std::memcpy(&bits, &d, 8);
  return bits;
}

// Eight bytes at a time through the mix, from the process seed.
inline uint64_t hash_bytes(const std::string& s) {
  uint64_t h = hash_seed() ^ s.size();
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = mix(h ^ w);
  }
  uint64_t tail = 0;
  std::memcpy(&tail, s.data() + i, s.size() - i);
  return mix(h ^ tail);
}

template <class T, class Eq>
bool list_eq(const std::vector<T>& a, const std::vector<T>& b, Eq eq) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!eq(a[i], b[i])) return false;
  return true;
}

template <class T, class H>
uint64_t hash_list(uint64_t h, const std::vector<T>& v, H hash_one) {
  h = combine(h, v.size());
  for (const auto& x : v) h = combine(h, hash_one(x));
  return h;
}

// Count-prefixed lists whose elements may fail individually (strings, bools):
// reservation is capped, growth follows the bytes actually read.
template <class T, class ReadOne>
bool decode_list(Decoder& d, std::vector<T>& out, ReadOne read_one) {
  uint64_t count = 0;
  if (!d.u64(count)) return false;
  out.clear();
  out.reserve(reserve_limit(count, sizeof(T)));
  for (uint64_t i = 0; i < count; ++i) {
    T v;
    if (!read_one(v)) return false;
    out.push_back(std::move(v));
  }
  return true;
}

}  // namespace

bool operator==(const PayloadValue& a, const PayloadValue& b) {
  if (a.v.index() != b.v.index()) return false;
  switch (a.kind()) {
    case PayloadValue::kFloat: return float_eq(std::get<double>(a.v), std::get<double>(b.v));
    case PayloadValue::kListFloat:
      return list_eq(std::get<std::vector<double>>(a.v), std::get<std::vector<double>>(b.v), float_eq);
    default: return a.v == b.v;  // exact equality for the other variants
  }
}

uint64_t hash_seed() {
  static const uint64_t seed = [] {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    try {
      std::random_device rd;
      s ^= (uint64_t{rd()} << 32) ^ rd();
    } catch (...) {
      // No entropy device: the clock and an address still differ per run.
      s ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      s ^= reinterpret_cast<uintptr_t>(&s);
    }
    return s;
  }();
  return seed;
}

size_t PointIdHash::operator()(uint64_t id) const { return mix(id ^ hash_seed()); }

size_t TextHash::operator()(const std::string& s) const { return hash_bytes(s); }

size_t PayloadValueHash::operator()(const PayloadValue& value) const {
  const uint64_t h = value.v.index() ^ hash_seed();
  switch (value.kind()) {
    case PayloadValue::kInt: return combine(h, static_cast<uint64_t>(std::get<int64_t>(value.v)));
    case PayloadValue::kFloat: return combine(h, hash_float(std::get<double>(value.v)));
    case PayloadValue::kStr: return combine(h, hash_bytes(std::get<std::string>(value.v)));
    case PayloadValue::kBool: return combine(h, std::get<bool>(value.v) ? 1 : 0);
    case PayloadValue::kListInt:
      return hash_list(h, std::get<std::vector<int64_t>>(value.v), [](int64_t x) { return uint64_t(x); });
    case PayloadValue::kListFloat: return hash_list(h, std::get<std::vector<double>>(value.v), hash_float);
    case PayloadValue::kListStr: return hash_list(h, std::get<std::vector<std::string>>(value.v), hash_bytes);
    case PayloadValue::kListBool: {
      const auto& v = std::get<std::vector<bool>>(value.v);
      uint64_t r = combine(h, v.size());
      for (bool x : v) r = combine(r, x ? 1 : 0);
      return r;
    }
  }
  return h;
}

// ---- Encoding ----

bool decode_payload_value(Decoder& d, PayloadValue& out) {
  uint32_t kind = 0;
  if (!d.variant(kind, 8)) return false;
  auto& v = out.v;
  switch (kind) {
    case PayloadValue::kInt: return d.i64(v.emplace<int64_t>());
    case PayloadValue::kFloat: return d.f64(v.emplace<double>());
    case PayloadValue::kStr: return d.string(v.emplace<std::string>());
    case PayloadValue::kBool: return d.boolean(v.emplace<bool>());
    case PayloadValue::kListInt: {
      uint64_t n = 0;
      return d.u64(n) && d.i64_array(n, v.emplace<std::vector<int64_t>>());
    }
    case PayloadValue::kListFloat: {
      uint64_t n = 0;
      return d.u64(n) && d.f64_array(n, v.emplace<std::vector<double>>());
    }
    case PayloadValue::kListStr:
      return decode_list(d, v.emplace<std::vector<std::string>>(), [&](std::string& s) { return d.string(s); });
    default: {
      uint64_t count = 0;
      if (!d.u64(count)) return false;
      auto& list = v.emplace<std::vector<bool>>();
      list.reserve(reserve_limit(count, 1));
      for (uint64_t i = 0; i < count; ++i) {
        bool b = false;
        if (!d.boolean(b)) return false;
        list.push_back(b);
      }
      return true;
    }
  }
}

bool decode_payload(Decoder& d, Payload& out) {
  uint64_t count = 0;
  if (!d.u64(count)) return false;
  out.clear();
  for (uint64_t i = 0; i < count; ++i) {
    std::string key;
    PayloadValue value;
    if (!d.string(key) || !decode_payload_value(d, value)) return false;
    out.insert_or_assign(std::move(key), std::move(value));  // last repeated key wins
  }
  return true;
}

void encode_payload_value(Encoder& e, const PayloadValue& value) {
  e.u32(value.kind());
  const auto& v = value.v;
  switch (value.kind()) {
    case PayloadValue::kInt: e.i64(std::get<int64_t>(v)); break;
    case PayloadValue::kFloat: e.f64(std::get<double>(v)); break;
    case PayloadValue::kStr: e.string(std::get<std::string>(v)); break;
    case PayloadValue::kBool: e.boolean(std::get<bool>(v)); break;
    case PayloadValue::kListInt: {
      const auto& l = std::get<std::vector<int64_t>>(v);
      e.u64(l.size());
      e.array(l.data(), l.size());
      break;
    }
    case PayloadValue::kListFloat: {
      const auto& l = std::get<std::vector<double>>(v);
      e.u64(l.size());
      e.array(l.data(), l.size());
      break;
    }
    case PayloadValue::kListStr: {
      const auto& l = std::get<std::vector<std::string>>(v);
      e.u64(l.size());
      for (const auto& s : l) e.string(s);
      break;
    }
    case PayloadValue::kListBool: {
      const auto& l = std::get<std::vector<bool>>(v);
      e.u64(l.size());
      for (bool b : l) e.boolean(b);
      break;
    }
  }
}

void encode_payload(Encoder& e, const Payload& p) {
  e.u64(p.size());
  for (const auto& [key, value] : p) {
    e.string(key);
    encode_payload_value(e, value);
  }
}

uint64_t encoded_size(const PayloadValue& value) {
  const auto& v = value.v;
  uint64_t body = 0;
  switch (value.kind()) {
    case PayloadValue::kInt:
    case PayloadValue::kFloat: body = 8; break;
    case PayloadValue::kStr: body = 8 + std::get<std::string>(v).size(); break;
    case PayloadValue::kBool: body = 1; break;
    case PayloadValue::kListInt: body = 8 + 8 * std::get<std::vector<int64_t>>(v).size(); break;
    case PayloadValue::kListFloat: body = 8 + 8 * std::get<std::vector<double>>(v).size(); break;
    case PayloadValue::kListStr:
      body = 8;
      for (const auto& s : std::get<std::vector<std::string>>(v)) body += 8 + s.size();
      break;
    case PayloadValue::kListBool: body = 8 + std::get<std::vector<bool>>(v).size(); break;
  }
  return 4 + body;
}

uint64_t encoded_size(const Payload& p) {
  uint64_t n = 8;
  for (const auto& [key, value] : p) n += 8 + key.size() + encoded_size(value);
  return n;
}

// ---- Index maintenance ----

void index_payload(PayloadIndex& index, uint64_t point, const Payload& payload) {
  for (const auto& [key, value] : payload) {
    if (!value.is_scalar()) continue;
    index[key][value].insert(point);
  }
}

void unindex_payload(PayloadIndex& index, uint64_t point, const Payload& payload) {
  for (const auto& [key, value] : payload) {
    if (!value.is_scalar()) continue;
    auto by_key = index.find(key);
    if (by_key == index.end()) continue;
    auto by_value = by_key->second.find(value);
    if (by_value == by_key->second.end()) continue;
    by_value->second.erase(point);
    // Empty sets and empty per-key maps never stay in the index.
    if (by_value->second.empty()) by_key->second.erase(by_value);
    if (by_key->second.empty()) index.erase(by_key);
  }
}

void put_payload(PayloadMap& payloads, uint64_t point, Payload payload) {
  payloads.insert_or_assign(point, std::move(payload));
}

void remove_payload(PayloadMap& payloads, uint64_t point) { payloads.erase(point); }

// ---- Filter keys ----

namespace {

uint32_t filter_kind(PayloadValue::Kind k) {
  switch (k) {
    case PayloadValue::kBool: return 0;
    case PayloadValue::kStr: return 1;
    case PayloadValue::kInt: return 2;
    default: return 3;  // kFloat; lists never get here
  }
}

}  // namespace

std::vector<FilterKey> filter_keys(const Payload& payload, const std::set<std::string>* allow,
                                   std::optional<uint64_t> max_keys) {
  std::vector<FilterKey> keys;
  for (const auto& [key, value] : payload) {
    if (!value.is_scalar()) continue;
    if (allow && !allow->count(key)) continue;
    keys.push_back(FilterKey{filter_kind(value.kind()), key});
  }
  // std::string compares bytes as unsigned, so a prefix sorts first.
  std::sort(keys.begin(), keys.end(), [](const FilterKey& a, const FilterKey& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.key < b.key;
  });
  if (max_keys && *max_keys > 0 && keys.size() > *max_keys) keys.resize(static_cast<size_t>(*max_keys));
  return keys;
}

}  // namespace ulmora
