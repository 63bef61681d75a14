// The catalog read once per run: for any catalog and any adapter, a lookup
// in what one reading met gives exactly what a reading of the whole file for
// that adapter gives. Catalogs are made at random from a small stock of
// values (ids with dashes that shift the fields, attributes out of order,
// elements without "subdevid", identity values after it), and each is
// checked against the rules applied attribute by attribute.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "main/catalog_index.h"

namespace {

struct raw {
  bool element_start;
  catalog_attr kind;
  std::string value;
};
using stream = std::vector<raw>;

template <class Pick>
const std::string& pick(std::mt19937& rng, const Pick& from) {
  return from[std::uniform_int_distribution<size_t>(0, std::size(from) - 1)(rng)];
}

const std::string kVenids[] = {"15B3", "15b3", "5B3", "15B3-1003", "-", "15B3-"};
const std::string kDevids[] = {"1003", "1017", "1003-15B3", "", "0050-1003"};
const std::string kPsids[] = {"P1", "P2", "0050-P1", "15B3-0050-P1", "1003-15B3-0050-P1", ""};
const std::string kSubs[] = {"15B3", "0050", "50", "0050-0050", "1"};
const std::string kOthers[] = {"a", "b", "1.0.0", "2.0.0", "x.bin", "y.bin"};

// An element of up to eight attributes, mostly in the catalog's own order,
// sometimes shuffled or with attributes left out or given twice.
std::vector<raw> random_element(std::mt19937& rng) {
  static constexpr catalog_attr kOrder[] = {
      catalog_attr::name, catalog_attr::venid,    catalog_attr::devid, catalog_attr::subvenid,
      catalog_attr::psid, catalog_attr::subdevid, catalog_attr::rom,   catalog_attr::fw_file};
  std::vector<catalog_attr> kinds;
  for (catalog_attr k : kOrder)
    if (rng() % 4 != 0) kinds.push_back(k);
  if (rng() % 5 == 0) std::shuffle(kinds.begin(), kinds.end(), rng);
  if (rng() % 8 == 0) kinds.push_back(kOrder[rng() % 8]);
  std::vector<raw> element{{true, catalog_attr::name, {}}};
  for (catalog_attr k : kinds) {
    const std::string& value =
        k == catalog_attr::venid   ? pick(rng, kVenids)
        : k == catalog_attr::devid ? pick(rng, kDevids)
        : k == catalog_attr::psid  ? pick(rng, kPsids)
                                   : pick(rng, kOthers);
    element.push_back({false, k, value});
  }
  return element;
}

stream random_catalog(std::mt19937& rng) {
  stream s;
  const int elements = static_cast<int>(rng() % 12);
  for (int i = 0; i < elements; ++i) {
    std::vector<raw> e = random_element(rng);
    s.insert(s.end(), e.begin(), e.end());
  }
  return s;
}

// A value of kind from the catalog s, or from the whole stock when s has
// none (or one time in four).
template <class Stock>
const std::string& value_of(std::mt19937& rng, const stream& s, catalog_attr kind,
                            const Stock& stock) {
  std::vector<const std::string*> values;
  for (const raw& r : s)
    if (!r.element_start && r.kind == kind) values.push_back(&r.value);
  if (values.empty() || rng() % 4 == 0) return pick(rng, stock);
  return *values[rng() % values.size()];
}

// An adapter to look up: mostly one whose id the values of the catalog
// spell, with its own subsystem texts, so that matches (shifted ones
// included) are frequent.
catalog_key random_key(std::mt19937& rng, const stream& s) {
  catalog_key key;
  key.sub_ven = pick(rng, kSubs);
  key.sub_dev = pick(rng, kSubs);
  const bool own = rng() % 4 != 0;
  key.id = catalog_id(value_of(rng, s, catalog_attr::venid, kVenids),
                      value_of(rng, s, catalog_attr::devid, kDevids),
                      own ? key.sub_ven : pick(rng, kSubs), own ? key.sub_dev : pick(rng, kSubs),
                      value_of(rng, s, catalog_attr::psid, kPsids));
  return key;
}

catalog_matches by_the_rules(const stream& s, const catalog_key& key, size_t room) {
  catalog_replay replay(key, room);
  for (const raw& r : s) {
    if (r.element_start) {
      replay.begin_element();
    } else {
      replay.attribute(r.kind, r.value);
    }
  }
  return replay.take();
}

catalog_index indexed(const stream& s) {
  catalog_index index;
  for (const raw& r : s) {
    if (r.element_start) {
      index.begin_element();
    } else {
      index.attribute(r.kind, r.value);
    }
  }
  index.finish();
  return index;
}

std::string text(const opt_text& t) { return t ? "\"" + *t + "\"" : "-"; }

std::string describe(const catalog_matches& m) {
  std::ostringstream out;
  for (const XMLFW_INFO& e : m.entries) {
    out << "[" << text(e.pxmlName) << " " << text(e.pxmlVenId) << " " << text(e.pxmlDevId) << " "
        << text(e.pxmlSubVenId) << " " << text(e.pxmlSubDevId) << " " << text(e.pxmlPSID) << " "
        << text(e.pxmlRom) << " " << text(e.pxmlFwImage) << "]";
  }
  out << (m.dropped ? " dropped" : "");
  return out.str();
}

std::string describe(const stream& s) {
  std::ostringstream out;
  static const char* const kNames[] = {"name", "venid",    "devid", "subvenid",
                                       "PSID", "subdevid", "rom",   "fwFile"};
  for (const raw& r : s) {
    if (r.element_start) {
      out << "\n<e";
    } else {
      out << " " << kNames[static_cast<int>(r.kind)] << "=\"" << r.value << "\"";
    }
  }
  return out.str();
}

TEST(CatalogIndex, LookupsGiveWhatTheRulesGive) {
  std::mt19937 rng(20240521);
  int matched = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    const stream s = random_catalog(rng);
    const catalog_index index = indexed(s);
    for (int k = 0; k < 6; ++k) {
      const catalog_key key = random_key(rng, s);
      for (size_t room : {size_t{0}, size_t{1}, size_t{2}, size_t{100}}) {
        const std::string want = describe(by_the_rules(s, key, room));
        const std::string got = describe(index.find(key, room));
        ASSERT_EQ(got, want) << "adapter " << key.id << " (" << key.sub_ven << ", " << key.sub_dev
                             << "), room " << room << ", catalog:" << describe(s);
        matched += !want.empty();
      }
    }
  }
  // The stock of values must make the cases worth comparing.
  EXPECT_GT(matched, 2000);
}

// Elements that set identity values after their "subdevid" change the
// working values only for an adapter that matched them.
TEST(CatalogIndex, IdentityAfterSubdevidCountsOnlyForTheAdapterThatMatched) {
  const stream s = {
      {true, {}, {}},
      {false, catalog_attr::venid, "15B3"},
      {false, catalog_attr::devid, "1003"},
      {false, catalog_attr::subvenid, "0"},
      {false, catalog_attr::psid, "P1"},
      {false, catalog_attr::subdevid, "0"},
      {false, catalog_attr::psid, "P2"},
      {false, catalog_attr::rom, "1.0.0"},
      {true, {}, {}},
      {false, catalog_attr::subdevid, "0"},
      {false, catalog_attr::rom, "2.0.0"}};
  const catalog_index index = indexed(s);
  const catalog_key p1{"15B3-1003-15B3-0050-P1", "15B3", "0050"};
  const catalog_key p2{"15B3-1003-15B3-0050-P2", "15B3", "0050"};
  // P1's reading goes on with the PSID P2, which the second element does
  // not match; P2's never takes it, and matches neither.
  EXPECT_EQ(describe(index.find(p1, 100)),
            "[- \"15B3\" \"1003\" \"15B3\" \"0050\" \"P1\" "
            "\"1.0.0\" -]");
  EXPECT_EQ(describe(index.find(p2, 100)), "");
}

}  // namespace
