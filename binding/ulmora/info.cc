#include "info.h"

namespace ulmora_py {

using ulmora::binding::Ref;

const char* metric_text(ulmora::Metric m) {
  switch (m) {
    case ulmora::Metric::kCosine: return "cosine";
    case ulmora::Metric::kDot: return "dot";
    case ulmora::Metric::kEuclidean: return "euclidean";
  }
  return "unknown";
}

namespace {

bool put(PyObject* dict, const char* key, PyObject* value) {
  Ref v(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* text(const std::string& s) {
  return PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// The filter keys as a list of str, or None.
PyObject* key_list(const std::optional<std::vector<std::string>>& keys) {
  if (!keys) return Py_NewRef(Py_None);
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& k : *keys) {
    Ref v(PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), "replace"));
    if (!v || PyList_Append(list.get(), v.get()) != 0) return nullptr;
  }
  return list.release();
}

}  // namespace

PyObject* info_dict(const std::string& path, const ulmora::SegmentInfo& info, const ulmora::FileInfo& files) {
  Ref levels(PyList_New(0)), degree(PyList_New(0)), log(PyDict_New()), out(PyDict_New());
  if (!levels || !degree || !log || !out) return nullptr;
  for (uint64_t n : info.levels) {
    Ref v(u64(n));
    if (!v || PyList_Append(levels.get(), v.get()) != 0) return nullptr;
  }
  for (const ulmora::DegreeStats& d : info.degree) {
    Ref entry(Py_BuildValue("{s:K,s:d,s:K}", "min", static_cast<unsigned long long>(d.min), "mean", d.mean, "max",
                            static_cast<unsigned long long>(d.max)));
    if (!entry || PyList_Append(degree.get(), entry.get()) != 0) return nullptr;
  }
  const bool ok = put(log.get(), "path", text(files.log_path)) &&
                  put(log.get(), "exists", PyBool_FromLong(files.log_exists)) &&
                  put(log.get(), "records", u64(files.log_records)) && put(log.get(), "bytes", u64(files.log_bytes)) &&
                  put(log.get(), "torn", PyBool_FromLong(files.log_torn)) && put(out.get(), "path", text(path)) &&
                  put(out.get(), "format_version", u64(files.format_version)) &&
                  put(out.get(), "metric", PyUnicode_FromString(metric_text(info.metric))) &&
                  put(out.get(), "dim", u64(info.dim)) && put(out.get(), "points", u64(info.points)) &&
                  put(out.get(), "deleted", u64(info.deleted)) &&
                  put(out.get(), "live", u64(info.points - info.deleted)) &&
                  put(out.get(), "levels", levels.release()) && put(out.get(), "degree", degree.release()) &&
                  put(out.get(), "next_id", u64(info.next_id)) && put(out.get(), "m", u64(info.m)) &&
                  put(out.get(), "ef_construction", u64(info.ef_construction)) &&
                  put(out.get(), "filter_keys", key_list(info.filter_keys)) &&
                  put(out.get(), "checksum", PyUnicode_FromString(files.checksum ? "ok" : "absent")) &&
                  put(out.get(), "snapshot_bytes", u64(files.snapshot_bytes)) && put(out.get(), "log", log.release());
  return ok ? out.release() : nullptr;
}

}  // namespace ulmora_py
