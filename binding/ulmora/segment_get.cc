// The Segment type's lookups by id: get(id), get_many(ids) and
// contains(ids). One read lock per call; the vectors are copied straight
// into the result array, the payloads copied under the lock and converted
// after it (that needs the GIL).
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "args.h"
#include "convert.h"
#include "numpy_bridge.h"
#include "segment/live.h"
#include "segment_type.h"

namespace ulmora_py {

namespace {

using ulmora::LiveSegment;
using ulmora::Status;
using ulmora::binding::Buffer;
using ulmora::binding::GilRelease;
using ulmora::binding::guarded;

// What a lookup of n ids fills: found[i], and when asked for, vectors row i
// (NaN when not found) and payloads[i].
static_assert(sizeof(bool) == 1, "found masks are written into NumPy bool arrays");

struct Lookup {
  const uint64_t* ids = nullptr;
  size_t n = 0;
  bool* found = nullptr;
  float* vectors = nullptr;                          // n x dim, or nullptr
  std::vector<std::optional<ulmora::Payload>>* payloads = nullptr;  // or nullptr
};

Status look_up(const LiveSegment& live, const Lookup& q, uint64_t* dim_out) {
  GilRelease nogil;  // a compaction may hold the segment for a while
  auto reader = live.read();
  const ulmora::Segment* seg = reader.segment();
  if (seg == nullptr) return ulmora::closed_error();
  const auto& g = seg->hnsw();
  const uint64_t dim = g.dim();
  if (dim_out) *dim_out = dim;
  for (size_t i = 0; i < q.n; ++i) {
    auto at = g.index_of(q.ids[i]);
    q.found[i] = at && seg->is_live(*at);
    if (q.vectors) {
      float* row = q.vectors + i * dim;
      if (q.found[i]) {
        std::memcpy(row, g.vector(*at), dim * sizeof(float));
      } else {
        std::fill(row, row + dim, std::numeric_limits<float>::quiet_NaN());
      }
    }
    if (q.payloads && q.found[i]) {
      if (auto it = seg->payloads().find(q.ids[i]); it != seg->payloads().end()) (*q.payloads)[i] = it->second;
    }
  }
  return Status::Ok();
}

PyObject* fail(const ulmora::StoreError& e, const LiveSegment& live) {
  raise_store_error(e, live.path());
  return nullptr;
}

// The segment's dim, read before the result arrays are made.
bool dim_of(const LiveSegment& live, uint64_t* dim) {
  bool none = false;
  Status s = look_up(live, Lookup{nullptr, 0, &none, nullptr, nullptr}, dim);
  if (!s.ok()) fail(s.error(), live);
  return s.ok();
}

}  // namespace

// get(id) -> (vector float32 array, payload dict or None) or None when not live.
PyObject* segment_get(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    uint64_t id = 0;
    if (!ulmora::binding::to_u64(arg, "get", "id", &id)) return nullptr;
    auto live = segment_live(self);
    if (!live) return nullptr;
    bool found = false;
    std::vector<std::optional<ulmora::Payload>> payload(1);
    uint64_t dim = 0;
    if (!dim_of(*live, &dim)) return nullptr;
    std::vector<float> vector(dim);
    Status s = look_up(*live, Lookup{&id, 1, &found, vector.data(), &payload}, nullptr);
    if (!s.ok()) return fail(s.error(), *live);
    if (!found) Py_RETURN_NONE;
    const ulmora::binding::NumpyHandles* np = ulmora::binding::numpy_handles();
    if (np == nullptr) return nullptr;
    void* data = nullptr;
    Ref vec(ulmora::binding::new_array(*np, np->float32, static_cast<Py_ssize_t>(dim), -1, &data));
    if (!vec) return nullptr;
    std::memcpy(data, vector.data(), dim * sizeof(float));
    Ref py_payload(payload[0] ? from_payload(*payload[0]) : Py_NewRef(Py_None));
    if (!py_payload) return nullptr;
    return PyTuple_Pack(2, vec.get(), py_payload.get());
  });
}

// get_many(ids uint64[n]) -> (vectors float32[n, dim], payloads list, found bool[n]).
PyObject* segment_get_many(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Buffer ids;
    if (!ids.bind(arg, Buffer::kU64, 1, "ids")) return nullptr;
    auto live = segment_live(self);
    if (!live) return nullptr;
    const ulmora::binding::NumpyHandles* np = ulmora::binding::numpy_handles();
    if (np == nullptr) return nullptr;
    uint64_t dim = 0;
    if (!dim_of(*live, &dim)) return nullptr;
    const auto n = static_cast<Py_ssize_t>(ids.shape(0));
    void *vec_data = nullptr, *found_data = nullptr;
    Ref vectors(ulmora::binding::new_array(*np, np->float32, n, static_cast<Py_ssize_t>(dim), &vec_data));
    Ref found(vectors ? ulmora::binding::new_array(*np, np->bool8, n, -1, &found_data) : nullptr);
    if (!found) return nullptr;
    std::vector<std::optional<ulmora::Payload>> payloads(static_cast<size_t>(n));
    // The compaction that may run meanwhile keeps the dimension.
    Status s = look_up(*live, Lookup{ids.u64s(), static_cast<size_t>(n), static_cast<bool*>(found_data),
                                     static_cast<float*>(vec_data), &payloads}, nullptr);
    if (!s.ok()) return fail(s.error(), *live);
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      auto& p = payloads[static_cast<size_t>(i)];
      PyObject* item = p ? from_payload(*p) : Py_NewRef(Py_None);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), i, item);
    }
    return PyTuple_Pack(3, vectors.get(), list.get(), found.get());
  });
}

// contains(ids uint64[n]) -> bool[n]: whether each id is live.
PyObject* segment_contains(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Buffer ids;
    if (!ids.bind(arg, Buffer::kU64, 1, "ids")) return nullptr;
    auto live = segment_live(self);
    if (!live) return nullptr;
    const ulmora::binding::NumpyHandles* np = ulmora::binding::numpy_handles();
    if (np == nullptr) return nullptr;
    void* data = nullptr;
    Ref found(ulmora::binding::new_array(*np, np->bool8, static_cast<Py_ssize_t>(ids.shape(0)), -1, &data));
    if (!found) return nullptr;
    Status s = look_up(*live, Lookup{ids.u64s(), ids.shape(0), static_cast<bool*>(data), nullptr, nullptr}, nullptr);
    if (!s.ok()) return fail(s.error(), *live);
    return found.release();
  });
}

}  // namespace ulmora_py
