// Fuzz target: the payload decoder and what the store does with a decoded
// payload. A payload that decodes must re-encode to its computed size and
// decode back equal; equal values must hash alike; indexing then unindexing
// it must leave the index empty; its filter keys must come out sorted.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "check.h"
#include "format/codec.h"
#include "format/payload.h"

namespace {

using namespace ulmora;

void check_round_trip(const Payload& p) {
  std::vector<uint8_t> once;
  Encoder e(once);
  encode_payload(e, p);
  FUZZ_CHECK(once.size() == encoded_size(p));
  Decoder d(once.data(), once.size());
  Payload again;
  FUZZ_CHECK(decode_payload(d, again));
  FUZZ_CHECK(d.remaining() == 0);
  FUZZ_CHECK(again == p);
  const PayloadValueHash hash;
  for (const auto& [key, value] : p) FUZZ_CHECK(hash(again.at(key)) == hash(value));
}

void check_index(const Payload& p) {
  PayloadIndex index;
  index_payload(index, 7, p);
  index_payload(index, 9, p);
  size_t scalars = 0;
  for (const auto& [key, value] : p) {
    if (!value.is_scalar()) continue;
    ++scalars;
    FUZZ_CHECK(index.at(key).at(value).size() == 2);
  }
  FUZZ_CHECK(index.size() == scalars);
  unindex_payload(index, 7, p);
  unindex_payload(index, 7, p);  // removing twice passes over what is gone
  unindex_payload(index, 9, p);
  FUZZ_CHECK(index.empty());

  PayloadMap payloads;
  put_payload(payloads, 7, p);
  FUZZ_CHECK(payloads.at(7) == p);
  remove_payload(payloads, 7);
  remove_payload(payloads, 7);
  FUZZ_CHECK(payloads.empty());
}

void check_filter_keys(const Payload& p) {
  const std::set<std::string> allow = {"a", "b", ""};
  for (const std::set<std::string>* a : {static_cast<const std::set<std::string>*>(nullptr), &allow}) {
    for (std::optional<uint64_t> max : {std::optional<uint64_t>{}, std::optional<uint64_t>{1}}) {
      const auto keys = filter_keys(p, a, max);
      if (max) FUZZ_CHECK(keys.size() <= *max);
      for (size_t i = 0; i < keys.size(); ++i) {
        FUZZ_CHECK(keys[i].kind <= 3);
        FUZZ_CHECK(p.count(keys[i].key) && p.at(keys[i].key).is_scalar());
        if (a) FUZZ_CHECK(a->count(keys[i].key));
        if (i > 0) {
          const auto& x = keys[i - 1];
          const auto& y = keys[i];
          FUZZ_CHECK(x.kind < y.kind || (x.kind == y.kind && x.key < y.key));
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decoder d(data, size);
  Payload p;
  if (!decode_payload(d, p)) {
    FUZZ_CHECK(d.failed() && !d.error().empty());
    return 0;
  }
  check_round_trip(p);
  check_index(p);
  check_filter_keys(p);
  return 0;
}
