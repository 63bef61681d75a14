// The firmware catalog read once per run, and matched per adapter.
#include "main/catalog_index.h"

#include <algorithm>
#include <iterator>
#include <new>

std::optional<catalog_attr> catalog_attribute(std::string_view name) {
  // The names are compared exactly, as the catalog format has them.
  static constexpr std::pair<std::string_view, catalog_attr> kNames[] = {
      {"name", catalog_attr::name},   {"venid", catalog_attr::venid},
      {"devid", catalog_attr::devid}, {"subvenid", catalog_attr::subvenid},
      {"PSID", catalog_attr::psid},   {"subdevid", catalog_attr::subdevid},
      {"rom", catalog_attr::rom},     {"fwFile", catalog_attr::fw_file}};
  for (const auto& [text, kind] : kNames)
    if (name == text) return kind;
  return std::nullopt;
}

namespace {

// text right-aligned in at least four characters, as "%4s" prints it.
void append_padded(std::string& out, const std::string& text) {
  if (text.size() < 4) out.append(4 - text.size(), ' ');
  out += text;
}

bool has_dash(const std::string& text) { return text.find('-') != std::string::npos; }

}  // namespace

// Put together by hand because a reading makes one for every element, where
// formatting it through printf took a fifth of the instructions of a large
// catalog's reading.
std::string catalog_id(const std::string& venid, const std::string& devid,
                       const std::string& sub_ven, const std::string& sub_dev,
                       const std::string& psid) {
  std::string id;
  id.reserve(24 + psid.size());
  for (const std::string* field : {&venid, &devid, &sub_ven, &sub_dev}) {
    append_padded(id, *field);
    id += '-';
  }
  id += psid;
  return id;
}

// ---------------------------------------------------------------------------
// The rules, one attribute at a time
// ---------------------------------------------------------------------------

void catalog_replay::attribute(catalog_attr kind, const std::string& value) {
  if (skipping_) return;
  switch (kind) {
    case catalog_attr::name: working_.pxmlName = value; break;
    case catalog_attr::venid: working_.pxmlVenId = value; break;
    case catalog_attr::devid: working_.pxmlDevId = value; break;
    case catalog_attr::subvenid: working_.pxmlSubVenId = key_.sub_ven; break;
    case catalog_attr::psid: working_.pxmlPSID = value; break;
    case catalog_attr::subdevid: judge(); break;
    // The entry appended last takes them; none before the first one, and
    // none once a match was dropped, whose values they are.
    case catalog_attr::rom:
      if (!dropped_ && !entries_.empty()) entries_.back().pxmlRom = value;
      break;
    case catalog_attr::fw_file:
      if (!dropped_ && !entries_.empty()) entries_.back().pxmlFwImage = value;
      break;
  }
}

void catalog_replay::judge() {
  working_.pxmlSubDevId = key_.sub_dev;
  const XMLFW_INFO& w = working_;
  const bool complete = w.pxmlVenId && w.pxmlDevId && w.pxmlSubVenId && w.pxmlPSID;
  if (!complete || catalog_id(*w.pxmlVenId, *w.pxmlDevId, *w.pxmlSubVenId, *w.pxmlSubDevId,
                              *w.pxmlPSID) != key_.id) {
    skipping_ = true;
    return;
  }
  // Matches beyond the room are dropped: the entries kept are the first
  // ones in file order.
  if (entries_.size() >= room_) {
    dropped_ = true;
    return;
  }
  XMLFW_INFO entry;
  entry.pxmlVenId = w.pxmlVenId;
  entry.pxmlDevId = w.pxmlDevId;
  entry.pxmlSubVenId = w.pxmlSubVenId;
  entry.pxmlPSID = w.pxmlPSID;
  entry.pxmlSubDevId = w.pxmlSubDevId;
  entry.pxmlName = w.pxmlName;
  entries_.push_back(std::move(entry));
}

// ---------------------------------------------------------------------------
// Feeding the index
// ---------------------------------------------------------------------------

opt_text catalog_index::text(text_ref r) const {
  if (!r.present()) return std::nullopt;
  return std::string(view(r));
}

catalog_index::text_ref catalog_index::keep(std::string_view value, text_ref was) {
  // Most elements repeat the vendor, device and name of the one before.
  if (was.present() && view(was) == value) return was;
  if (text_.size() + value.size() >= kAbsent) throw std::bad_alloc();
  const text_ref kept{static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(value.size())};
  text_.append(value);
  return kept;
}

void catalog_index::begin_element() {
  close_element();
  if (recording_) tail_.push_back({true, catalog_attr::name, {}});
}

void catalog_index::close_element() {
  // The first divergent element starts the record of the rest: an adapter
  // that matched it reads on from its part after the "subdevid".
  if (divergent_ && !recording_) {
    points_.back().resume = 0;
    tail_ = std::move(pending_);
    recording_ = true;
  }
  pending_.clear();
  after_subdevid_ = false;
  divergent_ = false;
}

void catalog_index::attribute(catalog_attr kind, std::string_view value) {
  const uint32_t seq = seq_++;
  if (recording_) {
    tail_.push_back({false, kind, std::string(value)});
  } else if (after_subdevid_) {
    pending_.push_back({false, kind, std::string(value)});
  }
  if (after_subdevid_) {
    // Applied only for an adapter that matched the element: kept with its
    // point, or, for identity values, left to the rules themselves.
    point& p = points_.back();
    if (kind == catalog_attr::rom) {
      p.rom = keep(value, {});
    } else if (kind == catalog_attr::fw_file) {
      p.fw_file = keep(value, {});
    } else {
      p.divergent = divergent_ = true;
    }
    return;
  }
  switch (kind) {
    case catalog_attr::name: name_ = keep(value, name_); break;
    case catalog_attr::venid: venid_ = keep(value, venid_); break;
    case catalog_attr::devid: devid_ = keep(value, devid_); break;
    case catalog_attr::subvenid: subven_ = true; break;
    case catalog_attr::psid: psid_ = keep(value, psid_); break;
    case catalog_attr::rom: free_roms_.push_back({seq, keep(value, {})}); break;
    case catalog_attr::fw_file: free_files_.push_back({seq, keep(value, {})}); break;
    case catalog_attr::subdevid: add_point(); break;
  }
}

void catalog_index::add_point() {
  point p;
  p.seq = seq_ - 1;
  p.venid = venid_;
  p.devid = devid_;
  p.psid = psid_;
  p.name = name_;
  p.subven = subven_;
  p.resume = static_cast<uint32_t>(tail_.size());
  after_subdevid_ = true;
  points_.push_back(p);
}

namespace {

// a and b as "%4s" prints them, compared byte by byte: -1, 0 or 1.
int compare_padded(std::string_view a, std::string_view b) {
  const size_t pad_a = a.size() < 4 ? 4 - a.size() : 0;
  const size_t pad_b = b.size() < 4 ? 4 - b.size() : 0;
  const size_t len_a = a.size() + pad_a;
  const size_t len_b = b.size() + pad_b;
  for (size_t i = 0; i < std::min(len_a, len_b); ++i) {
    const unsigned char ca = i < pad_a ? ' ' : static_cast<unsigned char>(a[i - pad_a]);
    const unsigned char cb = i < pad_b ? ' ' : static_cast<unsigned char>(b[i - pad_b]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return len_a < len_b ? -1 : (len_a > len_b ? 1 : 0);
}

// The fields of an id looked up: vendor, device and the PSID.
struct id_fields {
  std::string_view venid, devid, psid;
};

int compare_ids(const id_fields& a, const id_fields& b) {
  if (int c = compare_padded(a.venid, b.venid)) return c;
  if (int c = compare_padded(a.devid, b.devid)) return c;
  return a.psid.compare(b.psid) < 0 ? -1 : (a.psid == b.psid ? 0 : 1);
}

}  // namespace

bool catalog_index::odd(const point& p) const {
  return view(p.venid).find('-') != std::string_view::npos ||
         view(p.devid).find('-') != std::string_view::npos;
}

void catalog_index::finish() {
  close_element();
  for (uint32_t i = 0; i < points_.size(); ++i) {
    if (!complete(points_[i])) continue;
    (odd(points_[i]) ? odd_points_ : by_id_).push_back(i);
  }
  auto fields = [this](uint32_t i) {
    const point& p = points_[i];
    return id_fields{view(p.venid), view(p.devid), view(p.psid)};
  };
  std::sort(by_id_.begin(), by_id_.end(), [&](uint32_t a, uint32_t b) {
    const int c = compare_ids(fields(a), fields(b));
    return c != 0 ? c < 0 : a < b;
  });
}

// ---------------------------------------------------------------------------
// Lookups
// ---------------------------------------------------------------------------

namespace {

// id cut at its first four dashes: the four fields and the rest; false when
// it has fewer.
bool split_id(std::string_view id, std::string_view (&fields)[4], std::string_view& rest) {
  size_t from = 0;
  for (std::string_view& field : fields) {
    const size_t dash = id.find('-', from);
    if (dash == std::string_view::npos) return false;
    field = id.substr(from, dash - from);
    from = dash + 1;
  }
  rest = id.substr(from);
  return true;
}

}  // namespace

bool catalog_index::matches_in_full(const point& p, const catalog_key& key) const {
  return complete(p) && catalog_id(std::string(view(p.venid)), std::string(view(p.devid)),
                                   key.sub_ven, key.sub_dev, std::string(view(p.psid))) == key.id;
}

std::vector<uint32_t> catalog_index::matching_points(const catalog_key& key) const {
  std::vector<uint32_t> found;
  std::string padded_ven, padded_dev;
  append_padded(padded_ven, key.sub_ven);
  append_padded(padded_dev, key.sub_dev);
  if (has_dash(padded_ven) || has_dash(padded_dev)) {
    // Subsystem texts no adapter has (they are "%04X" of a number): every
    // element is compared in full.
    for (uint32_t i = 0; i < points_.size(); ++i)
      if (matches_in_full(points_[i], key)) found.push_back(i);
    return found;
  }
  // A catalog id without dashes in its padded ids cuts into its fields at
  // its first four dashes, and equals the adapter's exactly when the fields
  // do. Padded ids have at least four characters.
  std::string_view fields[4], rest;
  if (split_id(key.id, fields, rest) && fields[0].size() >= 4 && fields[1].size() >= 4 &&
      fields[2] == padded_ven && fields[3] == padded_dev) {
    const id_fields wanted{fields[0], fields[1], rest};
    auto below = [&](uint32_t i, const id_fields& w) {
      const point& p = points_[i];
      return compare_ids({view(p.venid), view(p.devid), view(p.psid)}, w) < 0;
    };
    auto above = [&](const id_fields& w, uint32_t i) {
      const point& p = points_[i];
      return compare_ids(w, {view(p.venid), view(p.devid), view(p.psid)}) < 0;
    };
    const auto first = std::lower_bound(by_id_.begin(), by_id_.end(), wanted, below);
    found.assign(first, std::upper_bound(first, by_id_.end(), wanted, above));
  }
  std::vector<uint32_t> odd;
  for (uint32_t i : odd_points_)
    if (matches_in_full(points_[i], key)) odd.push_back(i);
  std::vector<uint32_t> all;
  std::merge(found.begin(), found.end(), odd.begin(), odd.end(), std::back_inserter(all));
  return all;
}

XMLFW_INFO catalog_index::entry_of(const point& p, const catalog_key& key) const {
  XMLFW_INFO entry;
  entry.pxmlVenId = text(p.venid);
  entry.pxmlDevId = text(p.devid);
  entry.pxmlSubVenId = key.sub_ven;
  entry.pxmlPSID = text(p.psid);
  entry.pxmlSubDevId = key.sub_dev;
  entry.pxmlName = text(p.name);
  return entry;
}

namespace {

// The last of values (ordered by position) met after `after` and before
// `before`; null when none was.
template <typename Value>
const Value* last_between(const std::vector<Value>& values, uint32_t after, uint32_t before) {
  auto it = std::lower_bound(values.begin(), values.end(), before,
                             [](const Value& v, uint32_t seq) { return v.seq < seq; });
  if (it == values.begin()) return nullptr;
  --it;
  return it->seq > after ? &*it : nullptr;
}

}  // namespace

void catalog_index::give_values(XMLFW_INFO& entry, const point& p, uint32_t bound) const {
  // Its element's own values come first, then whatever "rom" and "fwFile"
  // the reading meets before the next match; the last one stays.
  const free_value* rom = last_between(free_roms_, p.seq, bound);
  const text_ref r = rom ? rom->value : p.rom;
  if (r.present()) entry.pxmlRom = text(r);
  const free_value* file = last_between(free_files_, p.seq, bound);
  const text_ref f = file ? file->value : p.fw_file;
  if (f.present()) entry.pxmlFwImage = text(f);
}

catalog_matches catalog_index::read_on(const point& p, const catalog_key& key, size_t room,
                                       std::vector<XMLFW_INFO> entries) const {
  XMLFW_INFO working;
  working.pxmlVenId = text(p.venid);
  working.pxmlDevId = text(p.devid);
  working.pxmlPSID = text(p.psid);
  working.pxmlName = text(p.name);
  working.pxmlSubVenId = key.sub_ven;
  working.pxmlSubDevId = key.sub_dev;
  entries.push_back(entry_of(p, key));
  catalog_replay replay(key, room, std::move(working), std::move(entries));
  for (size_t i = p.resume; i < tail_.size(); ++i) {
    if (tail_[i].element_start) {
      replay.begin_element();
    } else {
      replay.attribute(tail_[i].kind, tail_[i].value);
    }
  }
  return replay.take();
}

catalog_matches catalog_index::find(const catalog_key& key, size_t room) const {
  const std::vector<uint32_t> found = matching_points(key);
  catalog_matches result;
  // Up to a divergent element the working values are the ones recorded;
  // from there on the rules read the rest for this adapter.
  size_t kept = 0;
  while (kept < found.size() && kept < room && !points_[found[kept]].divergent) ++kept;
  for (size_t k = 0; k < kept; ++k) {
    const point& p = points_[found[k]];
    const uint32_t bound = k + 1 < found.size() ? points_[found[k + 1]].seq : UINT32_MAX;
    result.entries.push_back(entry_of(p, key));
    give_values(result.entries.back(), p, bound);
  }
  if (kept == found.size()) return result;
  if (kept >= room) {
    result.dropped = true;
    return result;
  }
  return read_on(points_[found[kept]], key, room, std::move(result.entries));
}
