#include "simulator/profile.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace ecrsim {

using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what);
}

// Packed decimal, most significant digits first, over n bytes.
void putBcd(Bytes& mem, std::size_t at, std::size_t n, unsigned long long value) {
  for (std::size_t i = n; i-- > 0;) {
    unsigned lo = value % 10;
    value /= 10;
    unsigned hi = value % 10;
    value /= 10;
    mem.at(at + i) = static_cast<uint8_t>(hi << 4 | lo);
  }
}

uint8_t bcdByte(int v) {
  return static_cast<uint8_t>((v / 10 % 10) << 4 | (v % 10));
}

void put16(Bytes& mem, std::size_t at, unsigned v) {
  mem.at(at) = static_cast<uint8_t>(v & 0xff);
  mem.at(at + 1) = static_cast<uint8_t>(v >> 8 & 0xff);
}

void put24(Bytes& mem, std::size_t at, unsigned long v) {
  put16(mem, at, static_cast<unsigned>(v & 0xffff));
  mem.at(at + 2) = static_cast<uint8_t>(v >> 16 & 0xff);
}

// Text into a fixed field, space padded, never longer than the field.
void putText(Bytes& mem, std::size_t at, std::size_t n, const std::string& text, char pad = ' ') {
  for (std::size_t i = 0; i < n; ++i)
    mem.at(at + i) = static_cast<uint8_t>(i < text.size() ? text[i] : pad);
}

// A misspelt key would silently leave its field at the default and the register
// different from what its author meant: every object's keys are checked.
void checkKeys(const json& j, std::initializer_list<const char*> known, const char* where) {
  if (!j.is_object()) fail(std::string(where) + " must be a JSON object");
  for (auto& [key, value] : j.items()) {
    bool ok = false;
    for (const char* k : known) ok = ok || key == k;
    if (!ok) fail(std::string("unknown key \"") + key + "\" in " + where);
  }
}

unsigned num(const json& j, const char* key, unsigned dflt) {
  if (!j.contains(key)) return dflt;
  const json& v = j.at(key);
  if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<long long>() >= 0))
    fail(std::string("\"") + key + "\" must be a non-negative integer");
  return v.get<unsigned>();
}

Bytes hexField(const json& v, const std::string& what) {
  Bytes out;
  if (!v.is_string() || !parseHex(v.get<std::string>(), out))
    fail(what + " must be a string of hex digits");
  return out;
}

// Address and record length of a table of the memory map.
struct Area {
  unsigned address = 0;
  unsigned length = 0;
};

Area area(const json& mem, const char* key, Area dflt) {
  if (!mem.contains(key)) return dflt;
  const json& a = mem.at(key);
  if (a.is_number()) return {a.get<unsigned>(), dflt.length};
  checkKeys(a, {"address", "length"}, key);
  return {num(a, "address", dflt.address), num(a, "length", dflt.length)};
}

void checkRange(unsigned address, std::size_t length, const std::string& what) {
  if (address + length > kMemorySize) fail(what + " does not fit in the 64 KiB memory image");
}

void buildIdentification(const json& id, Profile& p) {
  checkKeys(id,
            {"serial", "version", "fiscalised", "euro", "departments", "shift", "plus", "decimals",
             "flags", "model", "length"},
            "\"identification\"");
  p.ident.assign(kIdentLen, 0);
  putText(p.ident, 0, 10, id.value("serial", "99XY000001"));
  putText(p.ident, 10, 20, id.value("version", "2.50"));
  // "YYYY-MM-DD hh:mm:ss": the register keeps day, month, year, hour, minute,
  // second as packed decimal bytes.
  std::string when = id.value("fiscalised", "2009-12-31 23:59:58");
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (std::sscanf(when.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6)
    fail("\"fiscalised\" must read YYYY-MM-DD hh:mm:ss");
  const int fields[] = {d, mo, y % 100, h, mi, s};
  for (int i = 0; i < 6; ++i) p.ident[30 + i] = bcdByte(fields[i]);
  p.ident[42] = id.value("euro", true) ? 'E' : 'L';
  p.ident[46] = static_cast<uint8_t>(num(id, "departments", 20));
  p.ident[47] = id.value("shift", false) ? 1 : 0;
  put16(p.ident, 48, num(id, "plus", 1000));
  p.decimals = static_cast<int>(num(id, "decimals", 2));
  p.ident[61] = static_cast<uint8_t>(p.decimals);
  p.ident[62] = static_cast<uint8_t>(num(id, "flags", 0));
  std::string model = id.value("model", "2AX 0130");
  if (model.size() != 8) fail("\"model\" must have 8 characters");
  putText(p.ident, 68, 8, model);
  if (id.contains("length")) {
    unsigned n = num(id, "length", kIdentLen);
    p.ident.resize(n, 0);
  }
}

void buildExpansion(const json& e, Profile& p) {
  checkKeys(
      e,
      {"state", "init_text", "descriptor_state", "descriptor", "count_state", "journal", "totals"},
      "\"expansion\"");
  Expansion& em = p.em;
  em.state = static_cast<uint8_t>(num(e, "state", 0));
  std::string init = e.value("init_text", "");
  for (std::size_t i = 0; i < kEmInitLen; ++i)
    em.init[i] = static_cast<uint8_t>(i < init.size() ? init[i] : 0);
  Bytes d(kEmDescriptorLen, 0);
  d[0] = static_cast<uint8_t>(num(e, "descriptor_state", 0));
  const json desc = e.value("descriptor", json::object());
  checkKeys(desc, {"art_adr_i",   "art_adr_d",  "art_max",     "art_num",     "art_del",
                   "art_flags",   "art_ln_cod", "art_ln_des",  "art_ln_codn", "art_ln_rec",
                   "art_ln_recf", "dc_adr",     "dc_max_byte", "dc_pnt_free", "dc_pnt_o",
                   "dc_num_byte", "dc_num_rec", "dc_flags",    "cli_max",     "cli_num",
                   "off_adr",     "off_max",    "ttg_max",     "ttg_flags",   "ttg_dazz"},
            "\"descriptor\"");
  put24(d, 1, num(desc, "art_adr_i", 0));
  put24(d, 4, num(desc, "art_adr_d", 0));
  put16(d, 7, num(desc, "art_max", 0));
  put16(d, 9, num(desc, "art_num", 0));
  put16(d, 11, num(desc, "art_del", 0));
  d[14] = static_cast<uint8_t>(num(desc, "art_flags", 0));
  d[15] = static_cast<uint8_t>(num(desc, "art_ln_cod", 0));
  d[16] = static_cast<uint8_t>(num(desc, "art_ln_des", 0));
  d[17] = static_cast<uint8_t>(num(desc, "art_ln_codn", 0));
  d[18] = static_cast<uint8_t>(num(desc, "art_ln_rec", 0));
  d[19] = static_cast<uint8_t>(num(desc, "art_ln_recf", 0));
  put24(d, 29, num(desc, "dc_adr", 0));
  put24(d, 32, num(desc, "dc_max_byte", 0));
  put24(d, 35, num(desc, "dc_pnt_free", 0));
  put24(d, 38, num(desc, "dc_pnt_o", 0));
  put24(d, 41, num(desc, "dc_num_byte", 0));
  put16(d, 44, num(desc, "dc_num_rec", 0));
  d[46] = static_cast<uint8_t>(num(desc, "dc_flags", 0));
  put16(d, 55, num(desc, "cli_max", 0));
  put16(d, 57, num(desc, "cli_num", 0));
  put24(d, 65, num(desc, "off_adr", 0));
  put16(d, 68, num(desc, "off_max", 0));
  d[78] = static_cast<uint8_t>(num(desc, "ttg_max", 0));
  d[79] = static_cast<uint8_t>(num(desc, "ttg_flags", 0));
  if (desc.contains("ttg_dazz")) {
    Bytes dazz = hexField(desc.at("ttg_dazz"), "\"ttg_dazz\"");
    if (dazz.size() != 3) fail("\"ttg_dazz\" must be 3 bytes");
    std::copy(dazz.begin(), dazz.end(), d.begin() + 80);
  }
  std::copy(d.begin(), d.end(), em.descriptor.begin());
  em.countState = static_cast<uint8_t>(num(e, "count_state", 0));
  for (const json& rec : e.value("journal", json::array())) {
    Bytes r = hexField(rec, "a journal record");
    // The answer carries the state byte and the record in at most 200 data bytes.
    if (r.empty() || r.size() > 199) fail("a journal record must have 1 to 199 bytes");
    em.journal.push_back(std::move(r));
  }
  const json totals = e.value("totals", json::object());
  checkKeys(totals, {"record_length", "records"}, "the expansion \"totals\"");
  em.totalsLength = num(totals, "record_length", 16);
  if (em.totalsLength > 199) fail("\"record_length\" of the totals must be at most 199");
  em.totals.assign(kEmTotalRecords, Bytes(em.totalsLength, 0));
  const json records = totals.value("records", json::object());
  for (auto& [key, value] : records.items()) {
    int n = std::atoi(key.c_str());
    if (n < 1 || n > kEmTotalRecords) fail("total record numbers go from 1 to 33");
    Bytes r = hexField(value, "a total record");
    if (r.size() > em.totalsLength) fail("a total record is longer than \"record_length\"");
    std::copy(r.begin(), r.end(), em.totals[n - 1].begin());
  }
}

void buildMemory(const json& j, Profile& p) {
  p.memory.assign(kMemorySize, 0);
  Bytes& m = p.memory;
  const json mem = j.value("memory", json::object());
  const json lay = j.value("layout", json::object());
  checkKeys(mem,
            {"map_table",      "departments", "plu",      "vat",  "operators", "general_totals",
             "partial_totals", "groups",      "headings", "totf", "opz",       "index_table",
             "oopz",           "valu",        "prca",     "vcnf", "fipbuf",    "keytab",
             "intbuf",         "fasceo"},
            "\"memory\"");
  checkKeys(lay,
            {"lts", "dpt_name", "dpt_flags", "price", "lnstp", "lcs", "num_lint", "plu_name",
             "plu_value", "operators", "vat_rates"},
            "\"layout\"");
  const char brand = static_cast<char>(p.ident[68]);

  const unsigned tabram = num(mem, "map_table", 0x0100);
  put16(p.ident, 66, tabram);
  checkRange(tabram, 64, "the memory map table");

  const unsigned lts = num(lay, "lts", 5);
  const unsigned nameLen = num(lay, "dpt_name", 16);
  const unsigned flagsLen = num(lay, "dpt_flags", 2);
  const unsigned priceLen = num(lay, "price", 4);
  // The two brands whose department records carry 5 more bytes before the totals.
  const unsigned extra = (brand == '7' || brand == 'F') ? 5 : 0;
  const unsigned dptMin = nameLen + flagsLen + 2 + priceLen + extra + 3 * lts;

  const Area dpt = area(mem, "departments", {0x1000, dptMin});
  if (dpt.length < dptMin) fail("the department record length is shorter than its fields");
  const Area plu = area(mem, "plu", {0x3000, 32});
  const Area vat = area(mem, "vat", {0x2800, 8});
  const Area ope = area(mem, "operators", {0x2900, 24});
  const Area totg = area(mem, "general_totals", {0x0800, 40});
  const Area totp = area(mem, "partial_totals", {0x0a00, 10});
  const Area gru = area(mem, "groups", {0x2a00, 20});
  const Area sten = area(mem, "headings", {0x2c00, 40});
  const unsigned totf = num(mem, "totf", 0x0400);
  const unsigned opz = num(mem, "opz", 0x0300);
  const unsigned tabind = num(mem, "index_table", 0x0500);
  const unsigned oopz = num(mem, "oopz", 0x0600);

  put16(m, tabram + 0, dpt.address);
  put16(m, tabram + 2, dpt.length);
  put16(m, tabram + 4, plu.address);
  put16(m, tabram + 6, plu.length);
  put16(m, tabram + 8, vat.address);
  put16(m, tabram + 10, vat.length);
  put16(m, tabram + 12, ope.address);
  put16(m, tabram + 14, ope.length);
  put16(m, tabram + 16, totg.address);
  put16(m, tabram + 18, totg.length);  // for totals the second number is their count
  put16(m, tabram + 20, totp.address);
  put16(m, tabram + 22, totp.length);
  put16(m, tabram + 24, totf);
  put16(m, tabram + 26, num(mem, "valu", 0x0700));
  put16(m, tabram + 28, num(mem, "prca", 0x0780));
  put16(m, tabram + 30, opz);
  put16(m, tabram + 32, totf);
  put16(m, tabram + 34, gru.address);
  put16(m, tabram + 36, gru.length);
  put16(m, tabram + 38, sten.address);
  put16(m, tabram + 40, sten.length);
  put16(m, tabram + 48, tabind);
  put16(m, tabram + 60, num(mem, "vcnf", 0x0680));

  // TOTF block: the receipt number sits two bytes further on for brand '6'.
  checkRange(totf, 115, "the TOTF block");
  p.receiptAddr = static_cast<uint16_t>(totf + (brand == '6' ? 8 : 6));
  p.receiptNumber = num(j, "receipt_number", 1);
  storeReceiptNumber(p);

  checkRange(opz, 50, "the OPZ block");
  for (unsigned i = 0; i < 50; ++i) m[opz + i] = static_cast<uint8_t>(0x30 + i % 10);

  // Index table and its extension. An address of 0 is how an old EPROM answers: the
  // register then has no table to fill.
  std::array<uint8_t, 125> dd{};
  const json ddOptions = j.value("dd_options", json::object());
  for (auto& [key, value] : ddOptions.items()) {
    int n = std::atoi(key.c_str());
    if (n < 1 || n > 124 || !value.is_number_unsigned() || value.get<unsigned>() > 3)
      fail("DD options are numbered 1 to 124 and hold 0 to 3");
    dd[n] = static_cast<uint8_t>(value.get<unsigned>());
  }
  p.em.present = dd[8] != 0;
  if (tabind != 0) {
    checkRange(tabind, 176, "the index table and its extension");
    put16(m, tabind + 0, num(mem, "fipbuf", 0x0900));
    put16(m, tabind + 6, num(mem, "keytab", 0x0980));
    put16(m, tabind + 22, num(mem, "intbuf", 0x0b00));
    put16(m, tabind + 58, oopz);
    put16(m, tabind + 60, num(mem, "fasceo", 0x0c00));
    const bool ext = j.value("dd_extension", true);
    m[tabind + 84] = ext ? 0x01 : 0x00;
    // Four 2-bit options to a byte, the lowest numbered in the top bits.
    auto packDd = [&](std::size_t at, int first, int count) {
      for (int k = 0; k < count; ++k) {
        int opt = first + k;
        m[at + k / 4] |= static_cast<uint8_t>(dd[opt] << (6 - 2 * (k % 4)));
      }
    };
    packDd(tabind + 89, 1, 92);
    const unsigned x = tabind + 112;
    if (ext) packDd(x, 93, 32);
    const unsigned lnstp = num(lay, "lnstp", 24);
    m[x + 32] = static_cast<uint8_t>(lnstp);
    // A register without the layout block leaves its bytes clear.
    if (lnstp != 0) {
      m[x + 34] = static_cast<uint8_t>(lts);
      m[x + 35] = static_cast<uint8_t>(num(lay, "lcs", 2));
      m[x + 36] = static_cast<uint8_t>(num(lay, "num_lint", 5));
      m[x + 37] = static_cast<uint8_t>(nameLen);
      m[x + 38] = static_cast<uint8_t>(num(lay, "plu_name", 16));
      m[x + 39] = static_cast<uint8_t>(priceLen);
      m[x + 40] = static_cast<uint8_t>(num(lay, "plu_value", 4));
      m[x + 41] = static_cast<uint8_t>(num(lay, "operators", 8));
      m[x + 42] = static_cast<uint8_t>(num(lay, "vat_rates", 4));
      m[x + 56] = static_cast<uint8_t>(flagsLen);
    }
  }
  if (oopz != 0) {
    checkRange(oopz, 50, "the OOPZ block");
    for (unsigned i = 0; i < 50; ++i) m[oopz + i] = static_cast<uint8_t>(0x40 + i % 26);
  }

  // Department records: name, flags, two bytes, price, the brand's extra bytes, then
  // three totals, every number packed decimal.
  const json depts = j.value("departments", json::array());
  checkRange(dpt.address, depts.size() * dpt.length, "the department table");
  for (std::size_t i = 0; i < depts.size(); ++i) {
    const json& d = depts[i];
    checkKeys(d, {"name", "vat", "group", "price", "totals"}, "a department");
    std::size_t at = dpt.address + i * dpt.length;
    putText(m, at, nameLen, d.value("name", ""));
    at += nameLen;
    for (unsigned k = 0; k < flagsLen; ++k) m[at + k] = k == 0 ? 0x01 : 0x00;
    at += flagsLen;
    m[at] = static_cast<uint8_t>(num(d, "vat", 1));
    m[at + 1] = static_cast<uint8_t>(num(d, "group", 1));
    at += 2;
    putBcd(m, at, priceLen, num(d, "price", 0));
    at += priceLen + extra;
    const json t = d.value("totals", json::array({0, 0, 0}));
    if (!t.is_array() || t.size() != 3) fail("each department has three totals");
    for (int k = 0; k < 3; ++k) putBcd(m, at + k * lts, lts, t[k].get<unsigned long long>());
  }

  // General totals: a 2-byte count and an lts-byte value each, at their index.
  const unsigned recLen = lts + 2;
  const json generalTotals = j.value("general_totals", json::object());
  for (auto& [key, value] : generalTotals.items()) {
    int idx = std::atoi(key.c_str());
    if (idx < 0 || idx > 255) fail("general total indexes go from 0 to 255");
    checkKeys(value, {"count", "value"}, "a general total");
    std::size_t at = totg.address + static_cast<std::size_t>(idx) * recLen;
    checkRange(static_cast<unsigned>(at), recLen, "a general total");
    putBcd(m, at, 2, num(value, "count", 0));
    putBcd(m, at + 2, lts, num(value, "value", 0));
  }

  for (const json& r : j.value("raw", json::array())) {
    checkKeys(r, {"address", "hex"}, "a raw override");
    unsigned at = num(r, "address", 0);
    Bytes b = hexField(r.at("hex"), "\"hex\" of a raw override");
    checkRange(at, b.size(), "a raw override");
    std::copy(b.begin(), b.end(), m.begin() + at);
  }
}

KeyKind keyKind(const std::string& name) {
  static const std::pair<const char*, KeyKind> kinds[] = {
      {"payment", KeyKind::Payment},       {"discount", KeyKind::Discount},
      {"surcharge", KeyKind::Surcharge},   {"subtotal", KeyKind::Subtotal},
      {"department", KeyKind::Department},
  };
  for (const auto& [n, k] : kinds)
    if (name == n) return k;
  fail("unknown key kind \"" + name + "\" (payment, discount, surcharge, subtotal, department)");
}

void buildKeys(const json& j, Profile& p) {
  if (!j.contains("keys")) {
    p.keys = defaultKeys();
    return;
  }
  const json& list = j.at("keys");
  if (!list.is_array()) fail("\"keys\" must be a list");
  for (const json& k : list) {
    checkKeys(k, {"code", "to", "kind", "name", "change", "percent", "department"}, "a key");
    const unsigned code = num(k, "code", 0);
    const unsigned to = num(k, "to", code);
    if (code < 1 || code > 255 || to < code || to > 255)
      fail("a key needs a \"code\" from 1 to 255, and \"to\" no lower and no higher than 255");
    if (!k.contains("kind") || !k.at("kind").is_string())
      fail("key " + std::to_string(code) + " needs a \"kind\"");
    KeyDef d;
    d.kind = keyKind(k.at("kind").get<std::string>());
    d.name = k.value("name", k.at("kind").get<std::string>());
    if (d.name.empty() || d.name.size() > 20)
      fail("the name of key " + std::to_string(code) + " must have 1 to 20 characters");
    if (k.contains("change") && d.kind != KeyKind::Payment)
      fail("key " + std::to_string(code) + ": only a payment key gives change");
    d.change = k.value("change", false);
    if (k.contains("percent") && d.kind != KeyKind::Discount && d.kind != KeyKind::Surcharge)
      fail("key " + std::to_string(code) + ": only a discount or surcharge is a percentage");
    d.percent = k.value("percent", false);
    if ((to != code || k.contains("department")) && d.kind != KeyKind::Department)
      fail("key " + std::to_string(code) + ": only department keys come as a range");
    const unsigned first = num(k, "department", 1);
    for (unsigned c = code; c <= to; ++c) {
      d.code = static_cast<uint8_t>(c);
      d.department = d.kind == KeyKind::Department ? first + (c - code) : 0;
      p.keys.push_back(d);
    }
  }
  std::string error;
  if (!checkKeyTable(p.keys, error)) fail(error);
}

void build(const json& j, Profile& p) {
  if (!j.is_object()) fail("a profile is a JSON object");
  // "description" says in words what the register is for; ecrsim does not read it.
  checkKeys(j,
            {"name", "description", "frame_id", "idle_status", "identification", "expansion",
             "memory", "layout", "receipt_number", "dd_options", "dd_extension", "departments",
             "general_totals", "raw", "article_codes", "faults", "keys", "operator_required"},
            "the profile");
  p = Profile{};
  p.name = j.value("name", "");
  p.frameId = static_cast<uint8_t>(num(j, "frame_id", 0));
  p.idleStatus = static_cast<uint8_t>(num(j, "idle_status", kStatusIdle));
  buildIdentification(j.value("identification", json::object()), p);
  buildExpansion(j.value("expansion", json::object()), p);
  buildMemory(j, p);
  if (j.contains("article_codes")) {
    p.article = hexField(j.at("article_codes"), "\"article_codes\"");
  } else {
    p.article = {0, 0, 0, 0, 0, 0, 0, 0, 0x1d, 0x25, 0};
  }
  for (const json& f : j.value("faults", json::array())) p.faults.push_back(f.get<std::string>());
  buildKeys(j, p);
  p.operatorRequired = j.value("operator_required", false);
  for (const json& d : j.value("departments", json::array()))
    p.departmentPrices.push_back(num(d, "price", 0));
}

json readJson(const std::filesystem::path& path, int depth) {
  if (depth > 8) fail("profiles based on each other in a loop");
  std::ifstream in(path);
  if (!in) fail("cannot read " + path.string());
  json j = json::parse(in);
  if (j.is_object() && j.contains("base")) {
    // A base is found beside the profile that names it, wherever the profile lies and
    // wherever ecrsim was started; an absolute path names any profile.
    const std::string name = j.at("base").get<std::string>();
    const std::filesystem::path basePath =
        std::filesystem::absolute(path).lexically_normal().parent_path() / name;
    if (!std::ifstream(basePath))
      fail("base \"" + name + "\" is looked up in the folder of the profile that names it: " +
           "cannot read " + basePath.lexically_normal().string());
    json base = readJson(basePath, depth + 1);
    j.erase("base");
    base.merge_patch(j);
    return base;
  }
  return j;
}

}  // namespace

void storeReceiptNumber(Profile& p) {
  putBcd(p.memory, p.receiptAddr, 2, p.receiptNumber % 10000);
}

std::string receiptText(const Profile& p) {
  std::string s;
  for (int i = 0; i < 2; ++i) {
    const uint8_t b = p.memory.at(p.receiptAddr + i);
    s.push_back(static_cast<char>('0' + (b >> 4)));
    s.push_back(static_cast<char>('0' + (b & 15)));
  }
  return s;
}

bool loadProfile(const std::string& path, Profile& out, std::string& error) {
  try {
    build(readJson(path, 0), out);
    if (out.name.empty()) out.name = std::filesystem::path(path).stem().string();
    return true;
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
    return false;
  }
}

bool profileFromText(const std::string& text, Profile& out, std::string& error) {
  try {
    build(json::parse(text), out);
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

}  // namespace ecrsim
