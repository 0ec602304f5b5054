// The simulated register against golden bytes and the byte positions the host reads.
#include "simulator/model.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "simulator/control.h"
#include "simulator/faults.h"
#include "simulator/profile.h"
#include "simulator/roll.h"

using namespace ecrsim;

namespace {

const std::string kProfiles = CASSARD_TEST_DATA "/profiles/";

Profile loadOrDie(const std::string& name) {
  Profile p;
  std::string error;
  EXPECT_TRUE(loadProfile(kProfiles + name, p, error)) << error;
  return p;
}

std::vector<Fault> faultsOf(const std::vector<const char*>& specs) {
  std::vector<Fault> out;
  for (const char* s : specs) {
    Fault f;
    std::string error;
    EXPECT_TRUE(parseFault(s, f, error)) << error;
    out.push_back(f);
  }
  return out;
}

// An answer frame read back the way a host would: unstuffed, checksum verified.
struct Frame {
  uint8_t num = 0, id = 0;
  Bytes data;  // letter first
  bool checksumOk = false;
};

// Reads one frame starting at `pos` (which must point at DLE STX); moves pos past it.
bool readFrame(const Bytes& w, std::size_t& pos, Frame& f) {
  if (pos + 2 > w.size() || w[pos] != kDle || w[pos + 1] != kStx) return false;
  Bytes body;
  std::size_t i = pos + 2;
  for (;;) {
    if (i + 1 >= w.size()) return false;
    if (w[i] == kDle) {
      if (w[i + 1] == kDle) {
        body.push_back(kDle);
        i += 2;
        continue;
      }
      if (w[i + 1] != kEtx || i + 2 >= w.size()) return false;
      uint8_t sum = kEtx;
      for (uint8_t b : body) sum ^= b;
      f.checksumOk = sum == w[i + 2];
      pos = i + 3;
      break;
    }
    body.push_back(w[i++]);
  }
  if (body.size() < 5) return false;
  f.num = body[0];
  f.id = body[1];
  f.data.assign(body.begin() + 4, body.end());
  return true;
}

Bytes cat(const std::vector<Chunk>& chunks) {
  Bytes out;
  for (const Chunk& c : chunks) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
  return out;
}

// A host talking to the model: sends commands with its own numbering, reads the
// answer byte and frame, and replies ACK.
struct Host {
  std::unique_ptr<Register> own;  // when the host brings its register along
  Register& reg;
  uint8_t num = 0;
  std::vector<std::string> record;

  explicit Host(Register& r) : reg(r) { listen(); }
  explicit Host(const std::string& profile, const std::vector<const char*>& faults = {})
      : own(std::make_unique<Register>(loadOrDie(profile), faultsOf(faults))), reg(*own) {
    listen();
  }
  void listen() {
    reg.onFrame = [this](std::string_view mark, std::span<const uint8_t> cmd) {
      record.push_back(std::string(mark) + hex(cmd));
    };
  }
  Bytes raw(const Bytes& wire) { return cat(reg.feed(wire)); }
  // Sends a command; returns the answer frame's data (letter first), or the single
  // answer byte's value in `answerByte` when no frame came.
  Frame command(const Bytes& cmd, uint8_t* answerByte = nullptr, bool reply = true) {
    Bytes w = raw(encodeFrame(num, 0, 0, 0, cmd));
    Frame f;
    if (answerByte) *answerByte = w.empty() ? 0 : w[0];
    if (w.empty() || w[0] != kAck) return f;
    ++num;
    std::size_t pos = 1;
    while (pos < w.size() && w[pos] != kDle) ++pos;
    if (readFrame(w, pos, f) && reply) raw({kAck});
    return f;
  }
  uint8_t status() {
    Bytes w = raw({kRsta});
    return w.size() == 1 ? w[0] : 0xff;
  }
};

TEST(EcrsimWire, WorkedFramesAndStuffing) {
  struct Case {
    const char* legend;
    uint8_t num;
    Bytes data;
    const char* wire;  // in hex
  };
  const Case cases[] = {
      {"Num 5", 5, {0x41, 0x00}, "1002050000004100100347"},
      {"Num 0x10 doubled, counted once", 0x10, {0x41, 0x00}, "100210100000004100100352"},
      {"data 0x10 doubled", 1, {0x44, 0x10}, "100201000000441010100356"},
      {"checksum 0x10 never doubled", 0x01, {0x41, 0x53}, "1002010000004153100310"},
      {"no data", 7, {}, "100207000000100304"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(hex(encodeFrame(c.num, 0, 0, 0, c.data)), c.wire) << c.legend;
}

TEST(EcrsimLink, RefusesDamagedFramesAndCountsThem) {
  struct Case {
    const char* legend;
    Bytes wire;
  };
  const Case cases[] = {
      {"wrong checksum", {0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x46}},
      {"Num 0x10 not doubled", {0x10, 0x02, 0x10, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x52}},
      {"lone DLE in the data", {0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x10, 0x00, 0x10, 0x03, 0x47}},
      {"body without header", {0x10, 0x02, 0x05, 0x00, 0x10, 0x03, 0x06}},
  };
  for (const Case& c : cases) {
    Host host("default.json");
    EXPECT_EQ(host.raw(c.wire), Bytes{kNack}) << c.legend;
    EXPECT_EQ(host.reg.badFrames(), 1u) << c.legend;
    ASSERT_EQ(host.record.size(), 1u) << c.legend;
    EXPECT_EQ(host.record[0].substr(0, 4), "BAD ") << c.legend;
  }
}

TEST(EcrsimLink, SequenceNumbersResendRepetitionAndNewHost) {
  Host host("default.json");
  Frame f = host.command({'A', 42, 19, 1, 'X', 49, 1, 75}, nullptr, false);
  EXPECT_EQ(f.num, 1);
  EXPECT_EQ(f.data, (Bytes{'S', 0, 0, 1})) << "an item sale opens a sale";
  // The host NACKs the answer: the same frame comes back with the same number.
  Bytes again = host.raw({kNack});
  std::size_t pos = 0;
  Frame g;
  ASSERT_TRUE(readFrame(again, pos, g));
  EXPECT_EQ(g.num, 1);
  EXPECT_EQ(g.data, f.data);
  host.raw({kAck});
  EXPECT_TRUE(host.raw({kAck}).empty()) << "a reply with no frame outstanding is ignored";

  // The same frame again (same Num, same body): acknowledged, answered, not executed.
  --host.num;
  Frame r = host.command({'A', 42, 19, 1, 'X', 49, 1, 75});
  EXPECT_EQ(r.num, 1);
  EXPECT_EQ(host.record.back(),
            "REP 412A1301583101"
            "4B");

  // Numbers advance per new frame and wrap from 255 to 0.
  for (int i = 2; i <= 255; ++i) EXPECT_EQ(host.command({'S'}).num, i);
  EXPECT_EQ(host.command({'S'}).num, 0);
  EXPECT_EQ(host.command({'S'}).num, 1);

  // A new host on the line counts from 0 again; the register from 1.
  host.reg.hostGone();
  host.num = 0;
  EXPECT_EQ(host.command({'S'}).num, 1);
  // After the close went unseen, a new host's frame under the last Num is still new.
  host.num = 1;
  Frame n = host.command({'T'});
  ASSERT_FALSE(n.data.empty());
  EXPECT_EQ(n.data[0], 'T');
}

uint16_t le16(const Bytes& d, std::size_t at) {
  return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}

Bytes readMem(Host& host, unsigned addr, uint8_t n) {
  Frame f =
      host.command({'D', static_cast<uint8_t>(addr & 0xff), static_cast<uint8_t>(addr >> 8), n});
  EXPECT_FALSE(f.data.empty());
  if (f.data.empty() || f.data[0] != 'D') return {};
  return Bytes(f.data.begin() + 1, f.data.end());
}

TEST(EcrsimCommands, IdentificationLayout) {
  Host host("default.json");
  Frame f = host.command({'T'});
  ASSERT_GE(f.data.size(), 77u);
  EXPECT_EQ(f.data[0], 'T');
  const Bytes d(f.data.begin() + 1, f.data.end());
  EXPECT_EQ(std::string(d.begin(), d.begin() + 10), "72MX001234");
  EXPECT_EQ(std::string(d.begin() + 10, d.begin() + 30), "2.50 REL 04/09      ");
  EXPECT_EQ(Bytes(d.begin() + 30, d.begin() + 36), (Bytes{0x31, 0x12, 0x09, 0x23, 0x59, 0x58}));
  EXPECT_EQ(d[42], 'E');
  EXPECT_EQ(d[46], 20);
  EXPECT_EQ(d[47], 1);
  EXPECT_EQ(le16(d, 48), 2000);
  EXPECT_EQ(d[61], 2);
  EXPECT_EQ(d[62], 3);
  EXPECT_EQ(le16(d, 66), 0x0100);
  EXPECT_EQ(std::string(d.begin() + 68, d.begin() + 76), "2AX 0130");
}

TEST(EcrsimCommands, MemoryImageFollowsTheProfile) {
  Host host("default.json");
  const Bytes map = readMem(host, 0x0100, 64);
  ASSERT_EQ(map.size(), 64u);
  EXPECT_EQ(le16(map, 0), 0x1000);  // departments
  EXPECT_EQ(le16(map, 2), 48);
  EXPECT_EQ(le16(map, 16), 0x0800);  // general totals
  EXPECT_EQ(le16(map, 30), 0x0300);  // OPZ
  EXPECT_EQ(le16(map, 32), 0x0400);  // TOTF
  EXPECT_EQ(le16(map, 48), 0x0500);  // index table

  const Bytes totf = readMem(host, 0x0400, 115);
  ASSERT_EQ(totf.size(), 115u);
  EXPECT_EQ(totf[6], 0x01);
  EXPECT_EQ(totf[7], 0x23);

  const Bytes index = readMem(host, 0x0500, 112);
  ASSERT_EQ(index.size(), 112u);
  EXPECT_EQ(le16(index, 58), 0x0600);  // OOPZ
  EXPECT_EQ(index[84] & 1, 1);
  EXPECT_EQ(index[90] & 3, 1) << "DD option 8, expansion memory, in the low bits of byte 90";
  const Bytes ext = readMem(host, 0x0500 + 112, 64);
  EXPECT_EQ(ext[0] >> 6, 2) << "DD option 93 in the top bits of the first extension byte";
  EXPECT_EQ(ext[7] & 3, 3) << "DD option 124";
  EXPECT_EQ(ext[32], 24);
  EXPECT_EQ(ext[34], 5);
  EXPECT_EQ(ext[37], 16);
  EXPECT_EQ(ext[39], 4);
  EXPECT_EQ(ext[56], 2);

  // Department 3: name, flags, two bytes, price, then three packed decimal totals.
  const Bytes dept = readMem(host, 0x1000 + 2 * 48, 48);
  EXPECT_EQ(std::string(dept.begin(), dept.begin() + 16), "PANETTERIA      ");
  const std::size_t totals = 16 + 2 + 2 + 4;
  EXPECT_EQ(Bytes(dept.begin() + totals, dept.begin() + totals + 5), (Bytes{0, 0, 0, 0x37, 0x50}));
  // General total 13: a 2-byte count then a 5-byte value.
  EXPECT_EQ(readMem(host, 0x0800 + 13 * 7, 7), (Bytes{0x00, 0x12, 0x00, 0x00, 0x09, 0x85, 0x50}));
  EXPECT_TRUE(readMem(host, 0x0500, 0).empty());

  Frame past = host.command({'D', 0xf0, 0xff, 0x20});
  EXPECT_EQ(past.data, Bytes{'E'}) << "a read past the end of memory is refused";
}

TEST(EcrsimCommands, ProfileVariants) {
  struct Case {
    const char* profile;
    unsigned addr;
    uint8_t len;
    std::size_t at;
    uint8_t want;
  };
  const Case cases[] = {
      {"brand6.json", 0x0400, 115, 8, 0x45},       {"brand6.json", 0x0400, 115, 9, 0x67},
      {"brandC_defaults.json", 0x0570, 64, 32, 0}, {"brandC_defaults.json", 0x0570, 64, 34, 0},
      {"old_eprom.json", 0x0100, 64, 48, 0},       {"old_eprom.json", 0x0100, 64, 49, 0},
      {"old_firmware.json", 0x0500, 112, 58, 0},   {"no_expansion.json", 0x0500, 112, 90, 0},
  };
  for (const Case& c : cases) {
    Host host(c.profile);
    const Bytes m = readMem(host, c.addr, c.len);
    ASSERT_GT(m.size(), c.at) << c.profile;
    EXPECT_EQ(m[c.at] & (c.at == 90 ? 3 : 0xff), c.want) << c.profile << " byte " << c.at;
  }
  Register r26(loadOrDie("desc26.json"), {});
  Host h26(r26);
  Frame t = h26.command({'T'});
  ASSERT_GT(t.data.size(), 70u);
  EXPECT_EQ(t.data[1 + 69], '1');
}

TEST(EcrsimCommands, ArticleCodesAndExpansionMemory) {
  Host host("default.json");
  EXPECT_EQ(host.command({'C', 3}).data, (Bytes{'C', 0, 0, 0, 0, 0, 0, 0, 0, 0x1d, 0x25, 0}));

  Frame f0 = host.command({'U', 0, 0});
  ASSERT_EQ(f0.data.size(), 1u + 49u);
  EXPECT_EQ(f0.data[1], 0);
  EXPECT_EQ(std::string(f0.data.begin() + 2, f0.data.begin() + 20), "MEMORIA ESPANSIONE");
  Frame f1 = host.command({'U', 0, 1});
  ASSERT_EQ(f1.data.size(), 1u + 83u);
  const Bytes d(f1.data.begin() + 1, f1.data.end());
  EXPECT_EQ(Bytes(d.begin() + 1, d.begin() + 4), (Bytes{0x00, 0x10, 0x02}));
  EXPECT_EQ(d[14], 0x0a);
  EXPECT_EQ(d[78], 12);
  EXPECT_EQ(Bytes(d.begin() + 80, d.begin() + 83), (Bytes{0x31, 0x12, 0x09}));
  EXPECT_EQ(host.command({'U', 0, 24}).data, (Bytes{'U', 0}));

  // The journal: every record once, then state 7; the opening command rewinds it.
  const std::size_t records = host.reg.profile().em.journal.size();
  for (int pass = 0; pass < 2; ++pass) {
    host.command({'H', 1});
    for (std::size_t i = 0; i < records; ++i) {
      Frame j = host.command({'U', 0, 10});
      ASSERT_GE(j.data.size(), 3u);
      EXPECT_EQ(j.data[1], 0);
      EXPECT_EQ(Bytes(j.data.begin() + 2, j.data.end()), host.reg.profile().em.journal[i]);
    }
    EXPECT_EQ(host.command({'U', 0, 10}).data, (Bytes{'U', 7}));
    host.command({'H', 0});
  }

  Frame t2 = host.command({'U', 0, 19, 2});
  ASSERT_EQ(t2.data.size(), 2u + 16u);
  EXPECT_EQ(t2.data[1], 0);
  EXPECT_EQ(t2.data[2], 0x00);
  EXPECT_EQ(t2.data[3], 0x02);
  EXPECT_EQ(host.command({'U', 0, 20}).data, (Bytes{'U', 0}));
  Frame cleared = host.command({'U', 0, 19, 2});
  EXPECT_EQ(cleared.data, (Bytes{'U', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(EcrsimCommands, ExpansionStatesAndRefusals) {
  {
    Host host("em_state_fn0.json");
    Frame f = host.command({'U', 0, 0});
    ASSERT_GE(f.data.size(), 2u);
    EXPECT_EQ(f.data[1], 3);
  }
  {
    Host host("em_state_fn1.json");
    EXPECT_EQ(host.command({'U', 0, 0}).data[1], 0);
    EXPECT_EQ(host.command({'U', 0, 1}).data[1], 5);
  }
  Host host("no_expansion.json");
  const Bytes refused[] = {{'U', 0, 0}, {'X'},       {'T', 1}, {'S', 0},     {'H', 2},
                           {'H'},       {'D', 0, 1}, {'C', 2}, {'O', 14, 1}, {'A'}};
  for (const Bytes& cmd : refused) EXPECT_EQ(host.command(cmd).data, Bytes{'E'}) << hex(cmd);
}

// Keys as the host's keypad encoding sends an amount: 0 is key 10, the point key 13.
Bytes amountKeys(std::string_view text) {
  Bytes k;
  for (char c : text) k.push_back(c == '.' ? 13 : c == '0' ? 10 : static_cast<uint8_t>(c - '0'));
  return k;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An item sale: 42, the counted description, 49, [28], [quantity, 27], price, department.
Bytes sale(std::string_view desc, std::string_view price, int dept, std::string_view qty = "",
           bool isReturn = false) {
  Bytes k{'A', 42, 19, static_cast<uint8_t>(desc.size())};
  k.insert(k.end(), desc.begin(), desc.end());
  k.push_back(49);
  if (isReturn) k.push_back(28);
  if (!qty.empty()) k = cat(cat(k, amountKeys(qty)), {27});
  return cat(cat(k, amountKeys(price)), {static_cast<uint8_t>(74 + dept)});
}

Bytes pay(std::string_view amount, uint8_t key = 49) {
  return cat(cat({'A'}, amountKeys(amount)), {key});
}

// One receipt per row: keyboard commands in, the answers ('.' accepted, 'E' refused,
// '*' and 'T' refused with that outcome), what is still due, the change, the counter
// and the roll.
TEST(EcrsimMoney, ReceiptsAddUpOnTheRoll) {
  struct Row {
    const char* legend;
    std::vector<Bytes> in;
    std::string answers;
    long long due;  // kClosed: the receipt closed; kNoSale: none open, none closed
    long long change;
    unsigned counter;
    std::string roll;  // lines of the roll, spaces collapsed
    unsigned start;
    const char* profile;
    bool percent;  // key 33 programmed as a percentage
    Row(const char* l, std::vector<Bytes> i, std::string a, long long d, long long c, unsigned n,
        std::string r, unsigned s = 123, const char* p = "default.json", bool pc = false)
        : legend(l),
          in(std::move(i)),
          answers(std::move(a)),
          due(d),
          change(c),
          counter(n),
          roll(std::move(r)),
          start(s),
          profile(p),
          percent(pc) {}
  };
  constexpr long long kClosed = -1'000'000, kNoSale = -2'000'000;
  const Row rows[] = {
      Row("the example receipt: quantity, return, change",
          {{'A', 0, 5, 39},
           sale("PANE", "250", 1),
           sale("LATTE", "129", 7, "2"),
           sale("ACQUA", "45", 2, "", true),
           pay("1000")},
          ".....", kClosed, 537, 124,
          "SALE PANE dept 1 2,50\nSALE LATTE dept 7 2 x 1,29 2,58\nRETURN ACQUA dept 2 -0,45\n"
          "SUBTOTAL 4,63\nPAYMENT contanti 10,00\nTOTAL 4,63\nCHANGE 5,37\n"
          "-------- receipt 0124 closed --------\n"),
      Row("quantity rounded half up to the cent", {sale("MELE", "199", 7, "1.5")}, ".", 299, 0, 123,
          "SALE MELE dept 7 1,5 x 1,99 2,99\n"),
      Row("a part paid leaves the rest due, the whole due closes",
          {sale("PASTA", "1349", 1), pay("500", 51), pay("")}, "...", kClosed, 0, 124,
          "PAYMENT carta 5,00\nDUE 8,49\nPAYMENT contanti 8,49\nTOTAL 13,49\nCHANGE 0,00\n"),
      Row("no change from a card: TAB, the sale as it was",
          {sale("PASTA", "1349", 1), pay("2000", 51)}, ".T", 1349, 0, 123,
          "PAYMENT carta 20,00 [refused: carta gives no change]\n"),
      Row("no operator where one is required: '*', then signed on",
          {sale("PANE", "250", 1), {'A', 1, 2, 39}, sale("PANE", "250", 1)}, "*..", 250, 0, 123,
          "OPERATOR 12\n", 123, "operator_required.json"),
      Row("a payment with no sale open", {pay("1000")}, "E", kNoSale, 0, 123,
          "PAYMENT contanti 10,00 [refused: no sale open]\n"),
      Row("discount on the line, on the subtotal, a surcharge",
          {sale("VINO", "1000", 1), pay("50", 33), {'A', 36, 1, 10, 10, 33}, pay("20", 31)}, "....",
          870, 0, 123,
          "DISCOUNT sconto -0,50\nDISCOUNT sconto -1,00\nSURCHARGE maggiorazione 0,20\n"),
      Row("percentages: 10% of a line, 12.5% of the subtotal, rounded half up",
          {sale("VINO", "999", 1), pay("10", 33), {'A', 36, 1, 2, 13, 5, 33}}, "...", 787, 0, 123,
          "DISCOUNT sconto -1,00\nDISCOUNT sconto -1,12\n", 123, "default.json", true),
      Row("no price keyed: the department's own", {sale("PANE", "", 3)}, ".", 450, 0, 123,
          "SALE PANE dept 3 4,50\n"),
      Row("a return first, the sale after",
          {sale("RESO", "500", 1, "", true), sale("X", "800", 1), pay("")}, "...", kClosed, 0, 124,
          "TOTAL 3,00\n"),
      Row("no receipt with a negative total", {sale("RESO", "500", 1, "", true), pay("")}, ".E",
          -500, 0, 123, ""),
      Row("a payment whose keys are no amount", {sale("PANE", "250", 1), {'A', 240, 240, 49}}, ".E",
          250, 0, 123, "PAYMENT contanti ? [refused: amount not understood]\n"),
      Row("no department key", {sale("PANE", "250", 0)}, "E", kNoSale, 0, 123, ""),
      Row("the counter goes from 9999 to 1", {sale("PANE", "250", 1), pay("")}, "..", kClosed, 0, 1,
          "-------- receipt 0001 closed --------\n", 9999),
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.legend);
    Profile p = loadOrDie(row.profile);
    for (KeyDef& k : p.keys) k.percent = k.percent || (row.percent && k.code == 33);
    p.receiptNumber = row.start;
    storeReceiptNumber(p);
    Register reg(p, {});
    Host host(reg);
    std::string roll;
    reg.onExecuted = [&](const Executed& ev) { roll += rollLines(ev, 2); };
    std::string answers;
    for (const Bytes& cmd : row.in) {
      const Bytes a = host.command(cmd).data;
      answers += a == Bytes{'E'}                         ? 'E'
                 : a.size() == 4 && a[2] == '*'          ? '*'
                 : a.size() == 4 && a[2] == '\t'         ? 'T'
                 : a.size() == 4 && a[0] == 'S' && !a[1] ? '.'
                                                         : '?';
    }
    EXPECT_EQ(answers, row.answers);
    EXPECT_EQ(reg.saleOpen(), row.due != kClosed && row.due != kNoSale);
    if (reg.saleOpen()) {
      EXPECT_EQ(reg.till().due(), row.due);
    }
    EXPECT_EQ(reg.till().lastReceipt().has_value(), row.due == kClosed);
    if (row.due == kClosed) {
      ASSERT_TRUE(reg.till().lastReceipt());
      EXPECT_EQ(reg.till().lastReceipt()->change, row.change);
      EXPECT_EQ(reg.till().lastReceipt()->number, row.counter);
    }
    EXPECT_EQ(reg.receiptNumber(), row.counter);
    // The counter the host reads from the TOTF block is the one on the roll.
    char text[8];
    std::snprintf(text, sizeof text, "%04u", row.counter);
    EXPECT_EQ(reg.receiptText(), text);
    for (std::size_t i; (i = roll.find("  ")) != std::string::npos;) roll.erase(i, 1);
    EXPECT_NE(roll.find(row.roll), std::string::npos) << roll;
  }
}

// What the register wrote, as a test reads it: chunks split by " | ", each with its
// "+Nms" wait and "hangup"; ACK, NACK, ERR, SKIP by name; a frame as "F<num>:" and its
// data (hex up to 4 bytes, else letter "/" size), "!" for a bad checksum; any other
// byte in hex, runs as "55x10". Sets `goodFrame` when a frame with a sound checksum came.
std::string render(const std::vector<Chunk>& out, bool& goodFrame) {
  std::string s;
  for (const Chunk& c : out) {
    if (!s.empty()) s += " |";
    if (c.delayMs) s += " +" + std::to_string(c.delayMs) + "ms";
    if (c.hangup) s += " hangup";
    const Bytes& w = c.bytes;
    for (std::size_t i = 0; i < w.size();) {
      Frame f;
      std::size_t pos = i;
      const char* name = w[i] == kAck    ? "ACK"
                         : w[i] == kNack ? "NACK"
                         : w[i] == kErr  ? "ERR"
                         : w[i] == kSkip ? "SKIP"
                                         : nullptr;
      if (name) {
        s += std::string(" ") + name;
        ++i;
      } else if (readFrame(w, pos, f)) {
        goodFrame = goodFrame || f.checksumOk;
        s += " F" + std::to_string(f.num) + ":" +
             (f.data.size() <= 4
                  ? hex(f.data)
                  : std::string(1, char(f.data[0])) + "/" + std::to_string(f.data.size()));
        if (!f.checksumOk) s += "!";
        i = pos;
      } else {
        std::size_t n = 1;
        while (i + n < w.size() && w[i + n] == w[i] && w[i] != kDle) ++n;
        s += " " + hex(Bytes{w[i]}) + (n > 1 ? "x" + std::to_string(n) : "");
        i += n;
      }
    }
  }
  return s.empty() ? s : s.substr(1);
}

// Faults as a host test arms them, some aimed at a conversation's command or at an event.
// Each step: 'c' a command framed with the host's numbering (ACKed back when its answer
// frame is sound), 'r' raw bytes, 'g' a new host on the line, 'o' whether a sale is open,
// 'j' the frames the register took, 'a' how many faults are still armed, 'n' the host's
// next Num; then what the host saw. One-shot faults leave the list once they hit; dead and run:
// faults stay.
TEST(EcrsimFaults, EachFaultDoesWhatItSays) {
  struct Step {
    char op;
    Bytes in;
    const char* sees;
  };
  struct Row {
    std::vector<const char*> faults;
    std::vector<Step> steps;
  };
  const Bytes S{'S'}, sta{kRsta}, ack{kAck}, nack{kNack}, f0 = encodeFrame(0, 0, 0, 0, S);
  const Bytes item{'A', 42, 19, 0, 49, 75};
  const Row rows[] = {
      // The worked frame, answered with the register's own numbering from 1; nothing after
      // the frame. Num 0x10 arrives stuffed and is taken.
      {{},
       {{'r', sta, "01"},
        {'r', {0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x47}, "ACK F1:53000000"},
        {'j', {}, "4100"},
        {'r', ack, ""},
        {'r', {0x10, 0x02, 0x10, 0x10, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x52}, "ACK F2:53000000"}}},
      // Noise before a frame, and a frame abandoned by DLE STX: only the last one counts.
      {{},
       {{'r',
         {0x55, 0x03, 0x10, 0x02, 0x09, 0x00, 0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03,
          0x47},
         "ACK F1:53000000"},
        {'j', {}, "4100"}}},
      // The extended status carries the last Num taken, 0xFF before any frame.
      {{},
       {{'r', {kRstae}, "03 01 FF FD"},
        {'n', {0x21}, ""},
        {'c', S, "ACK F1:53000000"},
        {'r', {kRstae}, "03 01 21 23"}}},
      // lose: the answer frame is held back; an I request gets it, then an 'I' frame.
      {{"lose@1"},
       {{'c', {'T'}, "ACK"},
        {'c', {'I'}, "ACK F1:T/81"},
        {'c', {'I'}, "ACK F2:49"},
        {'j', {}, "54,49,49"}}},
      {{"nack=2@1"},
       {{'c', S, "NACK"},
        {'c', S, "NACK"},
        {'c', S, "ACK F1:53000000"},
        {'j', {}, "NACK 53,NACK 53,53"}}},
      {{"skip@T"}, {{'c', S, "ACK F1:53000000"}, {'c', {'T'}, "SKIP"}}},
      {{"err@1"}, {{'c', item, "ERR"}, {'o', {}, "closed"}}},
      {{"silent@1"}, {{'r', f0, ""}, {'r', sta, "01"}}},
      // dead stays armed: nothing answers, not even what comes after.
      {{"dead"}, {{'r', sta, ""}, {'r', f0, ""}, {'r', sta, ""}}},
      {{"dead@2"}, {{'c', S, "ACK F1:53000000"}, {'c', S, ""}, {'r', sta, ""}}},
      {{"badsum=2@1"},
       {{'c', S, "ACK F1:53000000!"}, {'r', nack, "F1:53000000!"}, {'r', nack, "F1:53000000"}}},
      {{"stray=2@1"}, {{'r', f0, "ACK 55x2 F1:53000000"}}},
      {{"E@T"}, {{'c', {'T'}, "ACK F1:45"}}},
      {{"refuse@1", "refuse=tab@2", "refuse=K@3"},
       {{'c', item, "ACK F1:53002A00"},
        {'o', {}, "closed"},
        {'c', S, "ACK F2:53000900"},
        {'c', S, "ACK F3:53004B00"}}},
      {{"critical=3"}, {{'r', sta, "04"}, {'r', sta, "04"}, {'r', sta, "04"}, {'r', sta, "01"}}},
      {{"busy=2@1"},
       {{'r', sta, "01"},
        {'c', S, "ACK F1:53000000"},
        {'r', sta, "20"},
        {'r', sta, "20"},
        {'r', sta, "01"}}},
      {{"delay=250@1"}, {{'r', f0, "+250ms ACK F1:53000000"}}},
      {{"hangup@1"}, {{'r', f0, "hangup"}}},
      {{"short=3"},
       {{'c', {'T'}, "ACK F1:T/78"},
        {'c', {'D', 0, 1, 64}, "ACK F2:D/62"},
        {'c', {'C', 3}, "ACK F3:C/9"},
        {'c', {'U', 0, 24}, "ACK F4:55"},
        {'c', S, "ACK F5:53000000"}}},
      // The ACK, a stray byte a millisecond, then the answer behind the noise's last piece.
      {{"noise=25@1"}, {{'r', f0, "ACK | +10ms 55x10 | +10ms 55x10 | +10ms 55x5 F1:53000000"}}},
      {{"late=900@1"}, {{'r', f0, "ACK | +900ms F1:53000000"}}},
      // A frame, then a lone DLE, instead of the status.
      {{"staframe=1", "stadle=1@1"},
       {{'r', sta, "F1:53000000"},
        {'r', sta, "01"},
        {'c', S, "ACK F2:53000000"},
        {'r', sta, "10"},
        {'r', sta, "01"}}},
      {{"refuse=tab@payment"},
       {{'c', sale("PANE", "250", 1), "ACK F1:53000001"},
        {'c', pay("250"), "ACK F2:53000901"},
        {'c', pay("250"), "ACK F3:53000000"},
        {'a', {}, "0"}}},
      {{"E@sale:2"},
       {{'c', sale("A", "1", 1), "ACK F1:53000001"},
        {'c', pay("1", 51), "ACK F2:53000000"},
        {'c', sale("B", "1", 1), "ACK F3:45"},
        {'a', {}, "0"}}},
      {{"E@receipt"},
       {{'c', sale("PANE", "250", 1), "ACK F1:53000001"},
        {'c', pay("100", 51), "ACK F2:53000001"},
        {'c', S, "ACK F3:53000001"},
        {'c', pay(""), "ACK F4:45"},
        {'a', {}, "0"}}},
      {{"E@receipt:2"},
       {{'c', sale("A", "1", 1), "ACK F1:53000001"},
        {'c', pay(""), "ACK F2:53000000"},
        {'c', sale("B", "1", 1), "ACK F3:53000001"},
        {'c', pay(""), "ACK F4:45"},
        {'a', {}, "0"}}},
      {{"silent@journal"},
       {{'c', {'H', 1}, "ACK F1:53000000"}, {'c', {'U', 0, 10}, ""}, {'a', {}, "0"}}},
      {{"nack@run:2"},
       {{'c', S, "ACK F1:53000000"},
        {'c', S, "NACK"},
        {'c', S, "ACK F2:53000000"},
        {'c', S, "ACK F3:53000000"},
        {'g', {}, ""},
        {'c', S, "ACK F1:53000000"},
        {'c', S, "NACK"},
        {'c', S, "ACK F2:53000000"},
        {'a', {}, "1"}}},
      {{"nack@3"},
       {{'c', S, "ACK F1:53000000"},
        {'c', S, "ACK F2:53000000"},
        {'g', {}, ""},
        {'c', S, "NACK"},
        {'c', S, "ACK F1:53000000"},
        {'c', S, "ACK F2:53000000"},
        {'c', S, "ACK F3:53000000"},
        {'a', {}, "0"}}},
      {{"journal=3@2"}, {{'c', {'U', 0, 10}, "ACK F1:U/14"}, {'c', {'U', 0, 10}, "ACK F2:5503"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << "row " << &row - rows << " " << testing::PrintToString(row.faults));
    Host h("default.json", row.faults);
    for (const Step& step : row.steps) {
      std::string seen;
      if (step.op == 'o') {
        seen = h.reg.saleOpen() ? "open" : "closed";
      } else if (step.op == 'n') {
        h.num = step.in[0];
      } else if (step.op == 'g') {
        h.reg.hostGone();
        h.num = 0;
      } else if (step.op == 'a') {
        seen = std::to_string(h.reg.armedFaults().size());
      } else if (step.op == 'j') {
        for (const std::string& r : h.record) seen += (seen.empty() ? "" : ",") + r;
      } else {
        bool good = false;
        const auto out =
            h.reg.feed(step.op == 'c' ? encodeFrame(h.num, 0, 0, 0, step.in) : step.in);
        seen = render(out, good);
        if (step.op == 'c' && seen.starts_with("ACK")) ++h.num;
        if (step.op == 'c' && good) h.raw({kAck});
      }
      EXPECT_EQ(seen, step.sees) << hex(step.in);
    }
  }
}

TEST(EcrsimFaults, ParsingRefusesWhatItCannotMean) {
  const char* bad[] = {"nak",         "nack=x",        "nack=-1",  "refuse=0x00", "nack@0",
                       "nack@",       "delay=9999999", "nack@12x", "nack@run",    "nack@run:0",
                       "E@payment:",  "E@payments",    "E@sale:x", "journal=0",   "journal=7",
                       "journal=256", "noise=600001"};
  for (const char* s : bad) {
    Fault f;
    std::string error;
    EXPECT_FALSE(parseFault(s, f, error)) << s;
    EXPECT_FALSE(error.empty()) << s;
  }
  Fault f;
  std::string error;
  ASSERT_TRUE(parseFault("refuse=0x2a@A", f, error)) << error;
  EXPECT_EQ(f.arg, 0x2au);
  EXPECT_EQ(f.letter, 'A');
}

// The control socket's commands, one after another on one register: each answer as
// a test reads it.
TEST(EcrsimControl, CommandsAndTheirAnswers) {
  using nlohmann::json;
  Host host("default.json", {"busy=1"});
  LineInfo info{true, false, "/tmp/ecr"};
  auto ask = [&](std::string_view line) {
    const ControlReply r = controlCommand(host.reg, line, info);
    return r.json.empty() ? json() : json::parse(r.json);
  };
  // Each field named (as a JSON pointer) has the value given; a missing one is null.
  auto expectFields = [](const json& got, const char* want) {
    const json fields = json::parse(want);
    for (const auto& [ptr, value] : fields.items())
      EXPECT_EQ(got.value(json::json_pointer(ptr), json()), value) << ptr << " in " << got.dump();
  };
  expectFields(ask("state"), R"({"/saleOpen":false,"/receiptNumber":"0123","/lastReceipt":null,
                                 "/operator":null,"/faults":["busy=1"]})");

  // A receipt closed, then a sale left open with a quantity and a return in it.
  for (const Bytes& cmd :
       {Bytes{'A', 0, 5, 39}, sale("PANE", "250", 1), pay("500"), sale("CAFF\xC8", "129", 7, "2"),
        sale("ACQUA", "45", 2, "", true), pay("100", 51)})
    host.command(cmd);
  json st = ask("  state \r");
  expectFields(st, R"({"/saleOpen":true,"/subtotal":213,"/paid":100,"/due":113,"/operator":5,
      "/lines/0":{"kind":"sale","description":"CAFFÈ","department":7,"quantity":2,"price":129,
                  "amount":258},"/lines/1/amount":-45,"/payments/0/name":"carta",
      "/lastReceipt/number":124,"/lastReceipt/total":250,"/lastReceipt/paid":500,
      "/lastReceipt/change":250,"/receiptNumber":"0124","/commands":6,"/line":"/tmp/ecr"})");
  const json history = ask("receipts")["receipts"];
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0], st["lastReceipt"]);

  struct Row {
    const char* command;
    const char* answer;  // the whole answer, or the start of its error text
  };
  const Row rows[] = {
      {"fault refuse=tab@payment", R"({"faults":["busy=1","refuse=tab@payment"],"ok":true})"},
      {"fault nak", "unknown fault \"nak\""},
      {"fault nack@3", "command 3 has already been received (6 so far)"},
      {"fault", "\"fault\" needs a fault"},
      {"stat",
       "unknown command \"stat\"; commands: state, receipts, fault, clear, reset, hangup, "
       "plug, sell, pay, void"},
      {"state now", "\"state\" takes no argument"},
      // A person at the keyboard: the open sale paid in cash, a new one rung up and paid.
      {"pay", R"({"due":0,"ok":true,"receiptNumber":"0125","saleOpen":false})"},
      {"sell 12x", "\"sell\" needs a price in cents"},
      {"sell 1050 FORMAGGIO", R"({"due":1050,"ok":true,"receiptNumber":"0125","saleOpen":true})"},
      {"pay 50", R"({"due":1000,"ok":true,"receiptNumber":"0125","saleOpen":true})"},
      {"pay 5 0", "\"pay\" takes a payment key's name and an amount in cents"},
      {"pay bancomat",
       "\"pay\": no payment key named \"bancomat\"; pay [METHOD] [CENTS], "
       "METHOD one of contanti, credito, carta, ticket, assegno, buono"},
      {"pay carta 5000", "the register refused the keys: carta gives no change"},
      {"pay carta 400", R"({"due":600,"ok":true,"receiptNumber":"0125","saleOpen":true})"},
      {"void now", "\"void\" takes no argument"},
      // Cancelled, part payment and all: no receipt, the counter stays.
      {"void", R"({"due":0,"ok":true,"receiptNumber":"0125","saleOpen":false,"voided":1050})"},
      {"void", "the register refused the keys: no sale open"},
      {"sell 1050 FORMAGGIO", R"({"due":1050,"ok":true,"receiptNumber":"0125","saleOpen":true})"},
      {"pay ticket", R"({"due":0,"ok":true,"receiptNumber":"0126","saleOpen":false})"},
      {"pay", "the register refused the keys: "},
      {"fault nack@6", "command 6 has already been received (6 so far)"},  // keys: no command
      {"plug", "the line is already plugged in"},
      {"clear", R"({"faults":[],"ok":true})"},
      {"reset", R"({"ok":true})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    const json a = ask(row.command);
    if (a["ok"] == true) {
      EXPECT_EQ(a.dump(), row.answer);
    } else {
      EXPECT_EQ(a["error"].get<std::string>().rfind(row.answer, 0), 0u) << a.dump();
    }
  }
  // reset: the profile's state, and the faults it started with.
  expectFields(ask("state"),
               R"({"/saleOpen":false,"/receiptNumber":"0123","/commands":0,"/faults":["busy=1"]})");

  // Keys pressed while a host holds the line: none taken, its next command hears of it.
  info.host = true;
  host.command(sale("PANE", "250", 1));
  for (const char* keys : {"sell 100", "pay", "void"}) {
    const json a = ask(keys);
    EXPECT_EQ(a["heldByHost"], true) << keys << a.dump();
    EXPECT_EQ(a["error"], "the register refused the keys: a host holds the line") << keys;
  }
  EXPECT_EQ(ask("state")["keysPressed"], true);
  EXPECT_EQ(host.command(pay("250")).data, (Bytes{'S', 0, 'K', 1}));
  EXPECT_EQ(host.record.back(), "KEYS " + hex(pay("250")));
  // Told once; nothing of the person's in the sale, nor the refused payment.
  expectFields(ask("state"), R"({"/keysPressed":false,"/subtotal":250})");
  EXPECT_EQ(host.command(pay("250")).data, (Bytes{'S', 0, 0, 0})) << "the next is executed";
  info.plugged = false;
  EXPECT_EQ(ask("hangup")["error"], "the line is not plugged in");
  EXPECT_TRUE(ask("state")["line"].is_null());
}

// A profile it cannot use is an error, not an exception; a misspelt key is named, at
// whatever depth, instead of leaving a default behind.
TEST(EcrsimProfile, ErrorsAreReportedAndMisspeltKeysNamed) {
  const std::pair<const char*, const char*> cases[] = {
      // text, error ("": any)
      {R"({"identification": {"model": "2AX"}})", ""},
      {R"({"expansion": {"journal": ["0G"]}})", ""},
      {R"({"dd_options": {"125": 1}})", ""},
      {R"({"memory": {"departments": {"address": 65500, "length": 48}}, "departments": [{}, {}]})",
       ""},
      {R"({"departments": [{"totals": [1, 2]}]})", ""},
      {R"([1, 2])", ""},
      {R"({"memory": {"departments": {"length": 10}}})", ""},
      {R"({"departmens": []})", "unknown key \"departmens\" in the profile"},
      {R"({"identification": {"serial": "72MX001234", "modle": "2AX 0130"}})",
       "unknown key \"modle\" in \"identification\""},
      {R"({"expansion": {"descriptor": {"dc_num_recs": 3}}})",
       "unknown key \"dc_num_recs\" in \"descriptor\""},
      {R"({"memory": {"departments": {"adress": 4096}}})", "unknown key \"adress\" in departments"},
      {R"({"departments": [{"name": "PANE", "prize": 100}]})",
       "unknown key \"prize\" in a department"},
      {R"({"general_totals": {"3": {"count": 1, "val": 5}}})",
       "unknown key \"val\" in a general total"},
      {R"({"layout": []})", "\"layout\" must be a JSON object"},
  };
  for (const auto& [text, why] : cases) {
    Profile p;
    std::string error;
    EXPECT_FALSE(profileFromText(text, p, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    if (*why) {
      EXPECT_EQ(error, why) << text;
    }
  }
  Profile p;
  std::string error;
  EXPECT_TRUE(profileFromText(R"({"description": "a register for the manual"})", p, error))
      << error;
}

TEST(EcrsimRoll, ReadsLikeATillRoll) {
  struct Case {
    Bytes cmd;
    bool closed;
    std::string want;
  };
  const Case cases[] = {
      {{'A', 42, 19, 4, 'P', 'A', 'N', 'E', 49, 28, 2, 13, 5, 27, 1, 2, 5, 10, 78},
       false,
       "RETURN PANE 2,5 x 12,50 dept 4\n"},
      {{'A', 42, 19, 3, 'V', 'I', 'N', 49, 7, 75}, false, "SALE VIN 0,07 dept 1\n"},
      {{'A', 1, 5, 39}, false, "OPERATOR 15\n"},
      {{'A', 0}, false, ""},
      {{'O', 3, 'G', 'R', 'A', 'Z', 'I', 'E', ' ', ' '}, false, "ROW 3 GRAZIE\n"},
      {{'D', 0x00, 0x05, 112}, false, "MEMORY READ 0x0500, 112 bytes\n"},
  };
  for (const Case& c : cases) {
    Executed ev;
    ev.command = c.cmd;
    ev.answerLetter = 'S';
    ev.saleClosed = c.closed;
    ev.receipt = 7;
    // Column padding is layout; the words and numbers are what a reader checks.
    std::string got = rollLines(ev, 2);
    for (std::size_t i; (i = got.find("  ")) != std::string::npos;) got.erase(i, 1);
    EXPECT_EQ(got, c.want) << hex(c.cmd);
  }
}

}  // namespace
