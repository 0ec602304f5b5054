// Record code -> register commands.
//
// One function per record code with the bytes it sends written out, so that each can be
// held against the record list of docs/sales-file.md line by line, and one table that
// says, per code, which columns it reads and which function acts on it. The table is
// what the run dispatches on and what `cassard --check` checks a file against.
// Most codes become keyboard emulation ('A' followed by key codes); the text rows use
// 'O', the end-of-sale check 'S', and the download codes hand the line to download/.
#include "driver/records.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "download/download.h"
#include "ecrconf/ecrconf.h"
#include "protocol/port.h"
#include "protocol/protocol.h"

KeySeq tastoqta;
uint8_t tastoreso = 0;
int reparto = 1;
int operatore = 0;

namespace {

// Pacing towards the register, on top of the link's own waits: it needs a moment
// around every item sale and after a download before it takes the next keys, and a
// shorter one between the steps of a report.
constexpr unsigned PAUSE_SALE_US = 10000;
constexpr unsigned PAUSE_STEP_US = 1000;

// The 'S' answer carries the sale's state in its third data byte.
constexpr int SALE_STATE_ASKS = 3;
constexpr long SALE_STATE_LEN = 3;

// A command payload being built. The longest one, an item sale with a full
// description, quantity, return and amount, is 61 bytes; the bound only guards the
// buffer, it is never reached.
struct Payload {
  std::array<uint8_t, 239> bytes{};
  std::size_t len = 0;

  Payload() = default;
  Payload(std::initializer_list<uint8_t> first) { add(first); }
  Payload& add(std::initializer_list<uint8_t> run) {
    return add(std::span<const uint8_t>(run.begin(), run.size()));
  }
  Payload& add(std::span<const uint8_t> run) {
    for (uint8_t b : run)
      if (len < bytes.size()) bytes[len++] = b;
    return *this;
  }
};

void sendA(const Payload& p) {
  txemulaz(p.bytes.data(), static_cast<long>(p.len), 'A');
}
void sendO(const Payload& p) {
  txemulaz(p.bytes.data(), static_cast<long>(p.len), 'O');
}

// 'A' 0x00, the zero-key command that goes before most key sequences.
void zeroKey() {
  sendA(Payload{0});
}

uint8_t byteAt(const LineBuffer& l, std::size_t col) {
  return static_cast<uint8_t>(l[col]);
}

// Columns of the line as bytes, unchanged.
std::span<const uint8_t> columns(const LineBuffer& l, std::size_t from, std::size_t count) {
  return {reinterpret_cast<const uint8_t*>(l.data()) + from, count};
}

// Description characters sent with an item. The model identification sets the width;
// it never exceeds the description column, whatever the global holds.
uint8_t descLen() {
  return static_cast<uint8_t>(std::clamp<int32_t>(MAX_DESC_LEN, 0, _DESC_LEN));
}
std::span<const uint8_t> desc(const LineBuffer& l) {
  return columns(l, recvend::descr, descLen());
}

constexpr std::size_t AMOUNT_LEN = recvend::rep - recvend::prezzo;
constexpr std::size_t NUMBER_LEN = recvend::crlf - recvend::rep;

KeySeq amountKeys(const LineBuffer& l) {
  return convimporto(l.data() + recvend::prezzo);
}

long number(const LineBuffer& l) {
  return recordNumber(l);
}

uint8_t digitValue(const LineBuffer& l, std::size_t col) {
  return static_cast<uint8_t>(byteAt(l, col) - 48);
}

bool isLineEnd(char c) {
  return c == '\0' || c == '\r' || c == '\n';
}

// Up to 16 characters of the description column; a line end or the zero padding of a
// short line always ends the text, and with stopAtSpace a space does too.
std::span<const uint8_t> shortText(const LineBuffer& l, bool stopAtSpace) {
  std::size_t k = 0;
  while (k < SHORT_TEXT_LEN) {
    const char c = l[recvend::descr + k];
    if (isLineEnd(c) || (stopAtSpace && c == ' ')) break;
    ++k;
  }
  return columns(l, recvend::descr, k);
}

bool numberColumnBlank(const LineBuffer& l) {
  return l[recvend::rep] == ' ' && l[recvend::rep + 1] == ' ';
}

// ---- one function per record code (Z = 'A' 0x00, D = the description, M = its
// length, P = the amount keys, N = the number)

// 00  quantity for the next item sale: remembered, keyed by the next 01
void quantity(const LineBuffer& l) {
  tastoqta = convqta(l.data() + recvend::prezzo);
  tastoqta.push(KEY_QTY_END);
}

// 01  item sale: 10 ms; Z; 10 ms; A[42, 19, M, D, 49, return, quantity, P, 74 + dept]; 10 ms
void itemSale(const LineBuffer& l) {
  if (!numberColumnBlank(l)) {
    const long n = number(l);
    // A negative number is no department key either: it sells on department 1 as
    // a number above 30 does.
    reparto = (n > MAX_DEPARTMENT || n < 0) ? 1 : static_cast<int>(n);
  }
  Payload p{42, 19, descLen()};
  p.add(desc(l)).add({49});
  if (tastoreso != 0) p.add({tastoreso});
  p.add(tastoqta.view());
  p.add(amountKeys(l).view());
  p.add({static_cast<uint8_t>(74 + reparto)});
  tastoqta = KeySeq{};
  tastoreso = 0;
  portPause(PAUSE_SALE_US);
  zeroKey();
  portPause(PAUSE_SALE_US);
  sendA(p);
  portPause(PAUSE_SALE_US);
}

// 02  return for the next item sale
void itemReturn(const LineBuffer&) {
  tastoreso = KEY_RETURN;
}

// 03  operator: Z; A[tens, units, 39], the digits as plain values 0 to 9
void signOn(const LineBuffer& l) {
  const long n = number(l);
  operatore = (n < 1 || n > MAX_OPERATOR) ? static_cast<int>(MAX_OPERATOR) : static_cast<int>(n);
  zeroKey();
  sendA(Payload{static_cast<uint8_t>(operatore / 10), static_cast<uint8_t>(operatore % 10), 39});
}

// 04  Z; A[19, M + 3, 3, 0, D, 0, 56]
void rec04(const LineBuffer& l) {
  zeroKey();
  sendA(Payload{19, static_cast<uint8_t>(descLen() + 3), 3, 0}.add(desc(l)).add({0, 56}));
}

// 05  A[36, P, 33]
void rec05(const LineBuffer& l) {
  sendA(Payload{36}.add(amountKeys(l).view()).add({33}));
}

// 06  A[P, 33]
void rec06(const LineBuffer& l) {
  sendA(Payload{}.add(amountKeys(l).view()).add({33}));
}

// 07  A[P, 31]
void rec07(const LineBuffer& l) {
  sendA(Payload{}.add(amountKeys(l).view()).add({31}));
}

// 08  A[42, 19, M, D, 145]
void rec08(const LineBuffer& l) {
  sendA(Payload{42, 19, descLen()}.add(desc(l)).add({145}));
}

// Z; A[P, key]
void zeroThenAmount(const LineBuffer& l, uint8_t key) {
  zeroKey();
  sendA(Payload{}.add(amountKeys(l).view()).add({key}));
}
// Z; A[keys]
void zeroThenKeys(std::initializer_list<uint8_t> keys) {
  zeroKey();
  sendA(Payload(keys));
}

// 10, 12  Z; A[P, 49]   (12 has had its fiscal report file made by the main loop)
void rec10(const LineBuffer& l) {
  zeroThenAmount(l, 49);
}
// 11, 13  Z; A[49]
void rec11(const LineBuffer&) {
  zeroThenKeys({49});
}
// 15  Z; A[36]
void rec15(const LineBuffer&) {
  zeroThenKeys({36});
}
// 20  Z; A[P, 51]
void rec20(const LineBuffer& l) {
  zeroThenAmount(l, 51);
}
// 21, 23  Z; A[P, 125]
void rec21(const LineBuffer& l) {
  zeroThenAmount(l, 125);
}
// 22, 24  Z; A[P, 126]
void rec22(const LineBuffer& l) {
  zeroThenAmount(l, 126);
}
// 35  Z; A[50]
void rec35(const LineBuffer&) {
  zeroThenKeys({50});
}
// 30  Z; A[P, 54]
void rec30(const LineBuffer& l) {
  zeroThenAmount(l, 54);
}
// 40  Z; A[0, 30, 30, 30, 30, 30, 49]
void rec40(const LineBuffer&) {
  zeroThenKeys({0, 30, 30, 30, 30, 30, 49});
}
// 50  Z; A[0, 30, 30, 30, 30, 49]
void rec50(const LineBuffer&) {
  zeroThenKeys({0, 30, 30, 30, 30, 49});
}

// 51  Z; A[17]; A[N, 147, 145, 145]; 1 ms; A[15]; Z
void rec51(const LineBuffer& l) {
  zeroKey();
  sendA(Payload{17});
  sendA(Payload{static_cast<uint8_t>(number(l)), 147, 145, 145});
  portPause(PAUSE_STEP_US);
  sendA(Payload{15});
  zeroKey();
}

// HL  Z; A[18]; A[4, 147, 145]; 1 ms; A[145] N - 1 times; A[19, M, D, 145, 146, 146, 146];
//     A[15]; Z
void recHL(const LineBuffer& l) {
  // A run of digits spilling past the number column of a malformed line must not turn
  // one HL line into billions of commands.
  const long rows = std::min(number(l), MAX_HL_COUNT);
  zeroKey();
  sendA(Payload{18});
  sendA(Payload{4, 147, 145});
  portPause(PAUSE_STEP_US);
  for (long i = 1; i < rows; ++i) sendA(Payload{145});
  sendA(Payload{19, descLen()}.add(desc(l)).add({145, 146, 146, 146}));
  sendA(Payload{15});
  zeroKey();
}

// 1C, 2C, 3C  Z; A[15 | 16 | 17]; Z; 1 ms
void report(uint8_t key) {
  zeroKey();
  sendA(Payload{key});
  zeroKey();
  portPause(PAUSE_STEP_US);
}
void rec1C(const LineBuffer&) {
  report(15);
}
void rec2C(const LineBuffer&) {
  report(16);
}
void rec3C(const LineBuffer&) {
  report(17);
}

// 52  Z; A[16]; A[N, 147, 145]; 1 ms; A[15]; Z
void rec52(const LineBuffer& l) {
  zeroKey();
  sendA(Payload{16});
  sendA(Payload{static_cast<uint8_t>(number(l)), 147, 145});
  portPause(PAUSE_STEP_US);
  sendA(Payload{15});
  zeroKey();
}

}  // namespace

// 'S' alone, for the sale's state. An answer without it (a wait that ended on an 'I'
// frame) proves nothing: 'S' is sent again, three times in all, and without the state
// the run ends.
uint64_t SaleStateReadAt = 0;

void ReadSaleState() {
  static constexpr uint8_t statusRequest[] = {'S'};
  bool answered = false;
  for (int ask = 0; ask < SALE_STATE_ASKS && !answered; ++ask) {
    AnswerBuffer rx{};
    long rxLen = 0;
    long status = 0;
    const long result = DirectIO(statusRequest, 1, rx, &rxLen, &status);
    if (result != ECR_SUCCESS)
      FatalError(reinterpret_cast<const char*>(rx.data()), static_cast<int>(result));
    answered = rxLen >= SALE_STATE_LEN;
  }
  if (!answered) {
    SetError(MP_E_FRAME, MP_E_EMPTY_E);
    ErrorHandle("Errore in ReadData", MP_E_FRAME);
  }
  SaleStateReadAt = CommandsSent;
}

namespace {

// 99  'S' alone; the sale must be closed by now, else the run ends with 99.
void endOfSale(const LineBuffer&) {
  ReadSaleState();
  if (TransactionOpened) {
    LogMessage("\nExit code     99\n");
    CloseLog();
    ErrorHandle("Transazione in corso", 99);
  }
}

// 53  expansion totals clear; 10 ms
void rec53(const LineBuffer&) {
  DoClearTotalsExp();
  portPause(PAUSE_SALE_US);
}

// 54  expansion totals read (file name from column 2, mode from column 46); 10 ms
void rec54(const LineBuffer& l) {
  DoReadTotalsExp(l.data() + recvend::descr, l.data() + recvend::rep);
  portPause(PAUSE_SALE_US);
}

// 55  expansion journal download, with the configuration loaded first; 10 ms
void rec55(const LineBuffer& l) {
  LoadCfg(0);
  DoDownloadExp(l.data() + recvend::descr, l.data() + recvend::rep);
  portPause(PAUSE_SALE_US);
}

// 60  internal totals download, with the configuration loaded first; 10 ms
void rec60(const LineBuffer& l) {
  LoadCfg(0);
  DoDownloadInt(l.data() + recvend::descr, l.data() + recvend::rep);
  portPause(PAUSE_SALE_US);
}

// 70  Z; A[19, 2, 4, 128, 56]
void rec70(const LineBuffer&) {
  zeroThenKeys({19, 2, 4, 128, 56});
}

// 71  A[19, M + 3, 4, 1, D, 0, 56]
void rec71(const LineBuffer& l) {
  sendA(Payload{19, static_cast<uint8_t>(descLen() + 3), 4, 1}.add(desc(l)).add({0, 56}));
}

// 72  Z; A[19, 2, 4, 0, 56]
void rec72(const LineBuffer&) {
  zeroThenKeys({19, 2, 4, 0, 56});
}

// 75  Z; A[61, 19, k, the first word of the description (at most 16), 145]
void rec75(const LineBuffer& l) {
  const auto text = shortText(l, true);
  zeroKey();
  sendA(Payload{61, 19, static_cast<uint8_t>(text.size())}.add(text).add({145}));
}

// 80  Z; O[11, 1]
void rec80(const LineBuffer&) {
  zeroKey();
  sendO(Payload{11, 1});
}

// 81, 83  O[13, 0, v, 0, D, the amount column, the number column], all as plain
//         characters; v is 0 for 81 and the number column's two digits as a value for 83
void printRow(const LineBuffer& l, uint8_t v) {
  sendO(Payload{13, 0, v, 0}
            .add(desc(l))
            .add(columns(l, recvend::prezzo, AMOUNT_LEN))
            .add(columns(l, recvend::rep, NUMBER_LEN)));
}
void rec81(const LineBuffer& l) {
  printRow(l, 0);
}
void rec83(const LineBuffer& l) {
  printRow(
      l, static_cast<uint8_t>(10 * digitValue(l, recvend::rep) + digitValue(l, recvend::rep + 1)));
}

// DY  a text row: rigo and opz are the digits of the number column.
//     Z if opz has 1; O[rigo, up to 16 characters]; O[10, 12] if opz has 2
void recDY(const LineBuffer& l) {
  const uint8_t rigo = digitValue(l, recvend::rep);
  const uint8_t opz = digitValue(l, recvend::rep + 1);
  if (opz & 1) zeroKey();
  sendO(Payload{rigo}.add(shortText(l, false)));
  if (opz & 2) sendO(Payload{10, 12});
}

// 82  O[12, 0]
void rec82(const LineBuffer&) {
  sendO(Payload{12, 0});
}

using D = DescrUse;
using A = AmountUse;
using N = NumberUse;

// The record codes in the order they are tested, with the columns each reads.
constexpr RecordKind RECORDS[] = {
    {"00", D::None, A::Quantity, N::None, quantity},
    {"01", D::Sent, A::Keyed, N::Department, itemSale},
    {"02", D::None, A::None, N::None, itemReturn},
    {"03", D::None, A::None, N::Operator, signOn},
    {"04", D::Sent, A::None, N::None, rec04},
    {"05", D::None, A::Keyed, N::None, rec05},
    {"06", D::None, A::Keyed, N::None, rec06},
    {"07", D::None, A::Keyed, N::None, rec07},
    {"08", D::Sent, A::None, N::None, rec08},
    {"10", D::None, A::Keyed, N::None, rec10},
    {"12", D::None, A::Keyed, N::None, rec10},
    {"11", D::None, A::None, N::None, rec11},
    {"13", D::None, A::None, N::None, rec11},
    {"15", D::None, A::None, N::None, rec15},
    {"20", D::None, A::Keyed, N::None, rec20},
    {"21", D::None, A::Keyed, N::None, rec21},
    {"23", D::None, A::Keyed, N::None, rec21},
    {"22", D::None, A::Keyed, N::None, rec22},
    {"24", D::None, A::Keyed, N::None, rec22},
    {"35", D::None, A::None, N::None, rec35},
    {"30", D::None, A::Keyed, N::None, rec30},
    {"40", D::None, A::None, N::None, rec40},
    {"50", D::None, A::None, N::None, rec50},
    {"51", D::None, A::None, N::Byte, rec51},
    {"HL", D::Sent, A::None, N::Rows, recHL},
    {"1C", D::None, A::None, N::None, rec1C},
    {"2C", D::None, A::None, N::None, rec2C},
    {"3C", D::None, A::None, N::None, rec3C},
    {"52", D::None, A::None, N::Byte, rec52},
    {"99", D::None, A::None, N::None, endOfSale},
    {"53", D::None, A::None, N::None, rec53},
    {"54", D::FileName, A::None, N::Mode, rec54},
    {"55", D::FileName, A::None, N::Mode, rec55},
    {"60", D::FileName, A::None, N::Mode, rec60},
    {"70", D::None, A::None, N::None, rec70},
    {"71", D::Sent, A::None, N::None, rec71},
    {"72", D::None, A::None, N::None, rec72},
    {"75", D::Word, A::None, N::None, rec75},
    {"80", D::None, A::None, N::None, rec80},
    {"81", D::Sent, A::Sent, N::Sent, rec81},
    {"83", D::Sent, A::Sent, N::SentValue, rec83},
    {"DY", D::Row, A::None, N::RowOptions, recDY},
    {"82", D::None, A::None, N::None, rec82},
};

}  // namespace

std::span<const RecordKind> recordTable() {
  return RECORDS;
}

const RecordKind* findRecord(const LineBuffer& l) {
  for (const RecordKind& r : RECORDS)
    if (l[0] == r.code[0] && l[1] == r.code[1]) return &r;
  return nullptr;
}

std::size_t lineLengthNeeded(const RecordKind& r, std::size_t descWidth) {
  if (r.number != N::None) return recvend::crlf;
  if (r.amount != A::None) return recvend::rep;
  if (r.descr == D::Sent) return recvend::descr + descWidth;
  return recvend::descr;
}

long recordNumber(const LineBuffer& l, std::size_t* end) {
  std::size_t i = recvend::rep;
  auto at = [&](std::size_t k) { return k < l.size() ? l[k] : '\0'; };
  while (at(i) == ' ' || (at(i) >= '\t' && at(i) <= '\r')) ++i;
  bool negative = false;
  if (at(i) == '+' || at(i) == '-') negative = at(i++) == '-';
  const std::size_t first = i;
  long value = 0;
  bool overflow = false;
  for (; at(i) >= '0' && at(i) <= '9'; ++i) {
    const int d = at(i) - '0';
    if (value > (LONG_MAX - d) / 10)
      overflow = true;
    else
      value = value * 10 + d;
  }
  if (end) *end = i > first ? i : 0;
  if (overflow) return negative ? LONG_MIN : LONG_MAX;
  return negative ? -value : value;
}

// Each record code matches exactly one row.
void TranslateRecord(const LineBuffer& l) {
  if (const RecordKind* r = findRecord(l)) r->act(l);
}
