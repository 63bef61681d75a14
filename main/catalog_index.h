// The firmware catalog read once per run: what one streaming read of the
// catalog met, kept so that every adapter of the run can be matched against
// it without reading the file again. A lookup gives exactly the entries a
// reading of the whole file for that one adapter would give: values carried
// over from element to element, "rom" and "fwFile" going to the entry
// appended last, the rest of an element skipped once it does not match, and
// the caller's room for entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/vexor.h"

// The catalog attributes the reading acts on; every other name is ignored.
enum class catalog_attr : uint8_t { name, venid, devid, subvenid, psid, subdevid, rom, fw_file };

// The attribute a catalog attribute name stands for (compared exactly,
// case-sensitive); nullopt for a name the reading ignores.
std::optional<catalog_attr> catalog_attribute(std::string_view name);

// The entries one reading of the catalog appends for one adapter.
struct catalog_matches {
  std::vector<XMLFW_INFO> entries;  // in file order, at most the room asked for
  bool dropped = false;             // a further match found no room
};

// What an adapter is looked up by: its id string "%04X-%04X-%04X-%04X-%s",
// and its own subsystem vendor and device texts, which stand in for the
// catalog's values.
struct catalog_key {
  std::string id;
  std::string sub_ven;
  std::string sub_dev;
};

// The reading rules, applied attribute by attribute for one adapter.
class catalog_replay {
 public:
  catalog_replay(const catalog_key& key, size_t room) : key_(key), room_(room) {}
  // Starts from the values met before, as a reading resumed in the middle.
  catalog_replay(const catalog_key& key, size_t room, XMLFW_INFO working,
                 std::vector<XMLFW_INFO> entries) :
      key_(key), room_(room), working_(std::move(working)), entries_(std::move(entries)) {}

  void begin_element() { skipping_ = false; }
  void attribute(catalog_attr kind, const std::string& value);
  catalog_matches take() { return {std::move(entries_), dropped_}; }

 private:
  // "subdevid" completes an element's identity: either it matches and an
  // entry is appended, or the element's remaining attributes are skipped.
  void judge();

  const catalog_key& key_;
  size_t room_;
  XMLFW_INFO working_;
  std::vector<XMLFW_INFO> entries_;
  bool dropped_ = false;
  bool skipping_ = false;
};

// The id "%4s-%4s-%4s-%4s-%s" that the reading compares with an adapter's:
// the working vendor and device id, the adapter's subsystem texts, each
// right-aligned in at least four characters, and the working PSID.
std::string catalog_id(const std::string& venid, const std::string& devid,
                       const std::string& sub_ven, const std::string& sub_dev,
                       const std::string& psid);

// One reading of the catalog, fed attribute by attribute in document order,
// then asked for any number of adapters. A lookup costs a binary search over
// the elements and one per entry found, whatever the size of the catalog;
// the values kept take a few dozen bytes per element.
class catalog_index {
 public:
  // Feeding: each element with attributes, then its attributes in order.
  void begin_element();
  void attribute(catalog_attr kind, std::string_view value);
  // After the last attribute of the reading; before the first lookup.
  void finish();

  // The entries a reading of the whole catalog for key appends, at most room.
  catalog_matches find(const catalog_key& key, size_t room) const;

 private:
  // A value kept in text_: where it starts and how long it is.
  struct text_ref {
    uint32_t at = 0;
    uint32_t size = kAbsent;
    bool present() const { return size != kAbsent; }
  };
  static constexpr uint32_t kAbsent = UINT32_MAX;

  // Where an element was judged: the working values at its "subdevid",
  // which do not depend on the adapter as long as it matched no element
  // that changes them after its "subdevid" (a divergent one).
  struct point {
    uint32_t seq = 0;  // the attribute's position in the reading
    text_ref venid, devid, psid, name;
    text_ref rom, fw_file;   // given after the "subdevid" in its element
    uint32_t resume = 0;     // where a reading of the rest goes on in tail_
    bool subven = false;     // a "subvenid" was met before
    bool divergent = false;  // its element sets identity values after its "subdevid"
  };
  struct raw_attribute {
    bool element_start;  // a mark: the next element begins
    catalog_attr kind;
    std::string value;
  };
  // "rom" or "fwFile" met outside the part of an element after its
  // "subdevid": it goes to the last entry whatever the adapter.
  struct free_value {
    uint32_t seq;
    text_ref value;
  };

  std::string_view view(text_ref r) const { return {text_.data() + r.at, r.size}; }
  opt_text text(text_ref r) const;
  // value kept: the same as was when it equals that, else appended to text_.
  text_ref keep(std::string_view value, text_ref was);
  bool complete(const point& p) const {
    return p.venid.present() && p.devid.present() && p.psid.present() && p.subven;
  }
  // True when the padded ids of p hold a dash: such an element is compared
  // in full, for its fields do not cut at the dashes.
  bool odd(const point& p) const;
  void add_point();
  void close_element();
  std::vector<uint32_t> matching_points(const catalog_key& key) const;
  bool matches_in_full(const point& p, const catalog_key& key) const;
  XMLFW_INFO entry_of(const point& p, const catalog_key& key) const;
  void give_values(XMLFW_INFO& entry, const point& p, uint32_t bound) const;
  catalog_matches read_on(const point& p, const catalog_key& key, size_t room,
                          std::vector<XMLFW_INFO> entries) const;

  std::string text_;  // every value kept, one after the other
  uint32_t seq_ = 0;
  text_ref venid_, devid_, psid_, name_;  // the working values of the reading
  bool subven_ = false;
  bool after_subdevid_ = false;         // in the current element, past its "subdevid"
  bool divergent_ = false;              // the current element is divergent
  std::vector<raw_attribute> pending_;  // its attributes after the "subdevid"

  std::vector<point> points_;
  // The complete points whose padded ids hold no dash, ordered by padded
  // vendor id, padded device id, PSID and position; the other complete
  // points.
  std::vector<uint32_t> by_id_;
  std::vector<uint32_t> odd_points_;
  std::vector<free_value> free_roms_, free_files_;
  // Everything from the first divergent element's part after its
  // "subdevid" on: an adapter that matched a divergent element is read on
  // from there by the rules themselves.
  std::vector<raw_attribute> tail_;
  bool recording_ = false;
};
