// A payload holding every value kind, varied by point id: the fixture the
// format tests and the fuzz seed generator share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/payload.h"

namespace ulmora::testing {

inline Payload every_kind_payload(uint64_t id) {
  Payload p;
  p["i"] = PayloadValue{int64_t(id % 3)};
  p["f"] = PayloadValue{id % 4 == 0 ? 0.5 : -0.0};
  p["s"] = PayloadValue{std::string(id % 6 == 0 ? "red" : "blue\xC3\xA9")};
  p["b"] = PayloadValue{id % 8 == 0};
  if (id % 4 == 0) {
    p["li"] = PayloadValue{std::vector<int64_t>{1, -2}};
    p["lf"] = PayloadValue{std::vector<double>{1.5}};
    p["ls"] = PayloadValue{std::vector<std::string>{"a", ""}};
    p["lb"] = PayloadValue{std::vector<bool>{true, false}};
  }
  return p;
}

}  // namespace ulmora::testing
