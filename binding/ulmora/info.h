// The dict ulmora.info() and Segment.info() return, and metric names.
#pragma once

#include "pyref.h"

#include <string>

#include "format/snapshot.h"
#include "segment/inspect.h"

namespace ulmora_py {

// "cosine", "dot" or "euclidean".
const char* metric_text(ulmora::Metric m);
PyObject* info_dict(const std::string& path, const ulmora::SegmentInfo& info, const ulmora::FileInfo& files);

}  // namespace ulmora_py
