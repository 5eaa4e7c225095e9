#include "segment/payload_views.h"

#include <cmath>
#include <utility>

namespace ulmora {

int compare_numbers(const Number& a, const Number& b) {
  if (a.is_int && b.is_int) return (a.i > b.i) - (a.i < b.i);
  if (!a.is_int && !b.is_int) return (a.d > b.d) - (a.d < b.d);
  // An int64 against a double, exactly: no rounding of either side.
  const bool flip = !a.is_int;
  const int64_t i = flip ? b.i : a.i;
  const double d = flip ? a.d : b.d;
  constexpr double kTwo63 = 9223372036854775808.0;
  int c;
  if (d >= kTwo63) {
    c = -1;
  } else if (d < -kTwo63) {
    c = 1;
  } else {
    const double whole = std::trunc(d);
    const auto t = static_cast<int64_t>(whole);  // exact: |whole| < 2^63
    const double frac = d - whole;
    c = i != t ? (i < t ? -1 : 1) : (frac > 0 ? -1 : (frac < 0 ? 1 : 0));
  }
  return flip ? -c : c;
}

// ---- SortedColumn ----------------------------------------------------------

template <class V, class Cmp>
void SortedColumn<V, Cmp>::build(std::vector<Entry> entries) {
  std::sort(entries.begin(), entries.end(), Less());
  main_ = std::move(entries);
  dead_.assign(main_.size(), 0);
  dead_count_ = 0;
  delta_.clear();
}

template <class V, class Cmp>
void SortedColumn<V, Cmp>::add(const V& value, uint64_t point) {
  Entry e{value, point};
  delta_.insert(std::upper_bound(delta_.begin(), delta_.end(), e, Less()), std::move(e));
  // Merging costs the main array's length; about 2 * sqrt(n) adds in
  // between keep both the delta's moves and the merges near sqrt(n) a change.
  const auto limit = static_cast<size_t>(2.0 * std::sqrt(static_cast<double>(main_.size()))) + 64;
  if (delta_.size() > limit) merge();
}

template <class V, class Cmp>
void SortedColumn<V, Cmp>::remove(const V& value, uint64_t point) {
  const Entry probe{value, point};
  auto same = [&](const Entry& e) { return Cmp()(e.value, value) == 0 && e.point == point; };
  auto d = std::lower_bound(delta_.begin(), delta_.end(), probe, Less());
  if (d != delta_.end() && same(*d)) {
    delta_.erase(d);
    return;
  }
  auto m = std::lower_bound(main_.begin(), main_.end(), probe, Less());
  // A removed entry stays in place, marked; a live twin may follow it.
  for (; m != main_.end() && same(*m); ++m) {
    const size_t at = static_cast<size_t>(m - main_.begin());
    if (dead_[at] != 0) continue;
    dead_[at] = 1;
    ++dead_count_;
    if (dead_count_ * 8 > main_.size()) merge();
    return;
  }
}

template <class V, class Cmp>
void SortedColumn<V, Cmp>::merge() {
  std::vector<Entry> merged;
  merged.reserve(main_.size() - dead_count_ + delta_.size());
  size_t j = 0;
  for (size_t i = 0; i < main_.size(); ++i) {
    if (dead_[i] != 0) continue;
    while (j < delta_.size() && Less()(delta_[j], main_[i])) merged.push_back(std::move(delta_[j++]));
    merged.push_back(std::move(main_[i]));
  }
  while (j < delta_.size()) merged.push_back(std::move(delta_[j++]));
  main_ = std::move(merged);
  dead_.assign(main_.size(), 0);
  dead_count_ = 0;
  delta_.clear();
}

template class SortedColumn<Number, NumberCmp>;
template class SortedColumn<std::string, TextCmp>;

// ---- Per-point entries -----------------------------------------------------

namespace {

// The distinct numbers (NaN left out) and strings one entry holds.
struct EntryValues {
  std::vector<Number> numbers;
  std::vector<std::string_view> texts;
};

void add_number(EntryValues& out, Number n) {
  if (!n.is_int && std::isnan(n.d)) return;  // a NaN is never in a range
  out.numbers.push_back(n);
}

EntryValues values_of(const PayloadValue& v) {
  EntryValues out;
  switch (v.kind()) {
    case PayloadValue::kInt: add_number(out, Number::of_int(std::get<int64_t>(v.v))); break;
    case PayloadValue::kFloat: add_number(out, Number::of_float(std::get<double>(v.v))); break;
    case PayloadValue::kStr: out.texts.push_back(std::get<std::string>(v.v)); break;
    case PayloadValue::kListInt:
      for (int64_t x : std::get<std::vector<int64_t>>(v.v)) add_number(out, Number::of_int(x));
      break;
    case PayloadValue::kListFloat:
      for (double x : std::get<std::vector<double>>(v.v)) add_number(out, Number::of_float(x));
      break;
    case PayloadValue::kListStr:
      for (const std::string& x : std::get<std::vector<std::string>>(v.v)) out.texts.push_back(x);
      break;
    default: break;  // bools take no range
  }
  auto dedupe = [](auto& xs, auto cmp) {
    std::sort(xs.begin(), xs.end(), [&](const auto& a, const auto& b) { return cmp(a, b) < 0; });
    xs.erase(std::unique(xs.begin(), xs.end(), [&](const auto& a, const auto& b) { return cmp(a, b) == 0; }),
             xs.end());
  };
  dedupe(out.numbers, NumberCmp());
  dedupe(out.texts, TextCmp());
  return out;
}

// The distinct elements of a list entry, as scalar values.
std::vector<PayloadValue> elements_of(const PayloadValue& v) {
  std::vector<PayloadValue> out;
  auto take = [&]<size_t K>(const auto& xs, std::in_place_index_t<K> kind) {
    // In place: moving a fresh variant into the vector trips GCC 12's
    // maybe-uninitialized warning.
    for (const auto& x : xs) out.emplace_back().v.template emplace<K>(x);
    (void)kind;
  };
  switch (v.kind()) {
    case PayloadValue::kListInt: take(std::get<std::vector<int64_t>>(v.v), std::in_place_index<PayloadValue::kInt>); break;
    case PayloadValue::kListFloat:
      take(std::get<std::vector<double>>(v.v), std::in_place_index<PayloadValue::kFloat>);
      break;
    case PayloadValue::kListStr:
      take(std::get<std::vector<std::string>>(v.v), std::in_place_index<PayloadValue::kStr>);
      break;
    case PayloadValue::kListBool:
      take(std::get<std::vector<bool>>(v.v), std::in_place_index<PayloadValue::kBool>);
      break;
    default: break;
  }
  return out;
}

void list_add(ListIndex& index, const std::string& key, uint64_t point, const PayloadValue& v) {
  ListKey& k = index[key];
  k.holders.insert(point);
  for (PayloadValue& e : elements_of(v)) k.by_value[std::move(e)].insert(point);
}

void list_remove(ListIndex& index, const std::string& key, uint64_t point, const PayloadValue& v) {
  auto by_key = index.find(key);
  if (by_key == index.end()) return;
  ListKey& k = by_key->second;
  k.holders.erase(point);
  for (const PayloadValue& e : elements_of(v)) {
    auto hit = k.by_value.find(e);
    if (hit == k.by_value.end()) continue;
    hit->second.erase(point);
    if (hit->second.empty()) k.by_value.erase(hit);
  }
  if (k.holders.empty()) index.erase(by_key);
}

template <class Column, class Values>
void column_change(Column& column, const Values& values, uint64_t point, bool adding) {
  for (const auto& x : values) {
    if (adding) {
      column.add(x, point);
    } else {
      column.remove(x, point);
    }
  }
  if (values.size() > 1) column.note_multi(adding ? 1 : -1);
}

void view_change(KeyView& view, const PayloadValue& v, uint64_t point, bool adding) {
  const EntryValues values = values_of(v);
  column_change(view.numbers, values.numbers, point, adding);
  std::vector<std::string> texts(values.texts.begin(), values.texts.end());
  column_change(view.texts, texts, point, adding);
}

}  // namespace

// ---- PayloadViews ------------------------------------------------------------

const ListIndex& PayloadViews::lists(const PayloadMap& payloads) const {
  if (lists_built_.load(std::memory_order_acquire)) return lists_;
  std::lock_guard<std::mutex> lock(mu_);
  if (!lists_built_.load(std::memory_order_relaxed)) {
    for (const auto& [point, payload] : payloads) {
      for (const auto& [key, value] : payload) {
        if (!value.is_scalar()) list_add(lists_, key, point, value);
      }
    }
    lists_built_.store(true, std::memory_order_release);
  }
  return lists_;
}

const KeyView& PayloadViews::sorted(const std::string& key, const PayloadMap& payloads) const {
  KeyView* view;
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::unique_ptr<KeyView>& slot = views_[key];
    if (!slot) slot = std::make_unique<KeyView>();
    view = slot.get();
  }
  // Readers that come first to one key wait for one build; other keys go on.
  std::call_once(view->once, [&] {
    std::vector<SortedColumn<Number, NumberCmp>::Entry> numbers;
    std::vector<SortedColumn<std::string, TextCmp>::Entry> texts;
    int multi_numbers = 0, multi_texts = 0;
    for (const auto& [point, payload] : payloads) {
      auto it = payload.find(key);
      if (it == payload.end()) continue;
      const EntryValues values = values_of(it->second);
      for (const Number& n : values.numbers) numbers.push_back({n, point});
      for (std::string_view s : values.texts) texts.push_back({std::string(s), point});
      multi_numbers += values.numbers.size() > 1;
      multi_texts += values.texts.size() > 1;
    }
    view->numbers.build(std::move(numbers));
    view->texts.build(std::move(texts));
    view->numbers.note_multi(multi_numbers);
    view->texts.note_multi(multi_texts);
    view->built.store(true, std::memory_order_release);
  });
  return *view;
}

KeyView* PayloadViews::built_view(const std::string& key) {
  auto it = views_.find(key);
  if (it == views_.end() || !it->second->built.load(std::memory_order_acquire)) return nullptr;
  return it->second.get();
}

void PayloadViews::add(uint64_t point, const Payload& payload) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool lists = lists_built_.load(std::memory_order_relaxed);
  for (const auto& [key, value] : payload) {
    if (lists && !value.is_scalar()) list_add(lists_, key, point, value);
    if (KeyView* view = built_view(key)) view_change(*view, value, point, true);
  }
}

void PayloadViews::remove(uint64_t point, const Payload& payload) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool lists = lists_built_.load(std::memory_order_relaxed);
  for (const auto& [key, value] : payload) {
    if (lists && !value.is_scalar()) list_remove(lists_, key, point, value);
    if (KeyView* view = built_view(key)) view_change(*view, value, point, false);
  }
}

void PayloadViews::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lists_.clear();
  lists_built_.store(false, std::memory_order_release);
  views_.clear();
}

}  // namespace ulmora
