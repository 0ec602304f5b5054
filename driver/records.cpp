// Record code -> register commands.
//
// Every record code is its own independent test below, always in the same order, one
// block per code with the bytes it sends written out, so that each block can be held
// against the record list of docs/sales-file.md line by line.
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

// Largest department key the register has (departments 1 to 30); any other number
// sells on department 1.
constexpr long MAX_DEPARTMENT = 30;
// Operators 1 to 15; anything else signs on operator 15.
constexpr long MAX_OPERATOR = 15;
// The 'S' answer carries the sale's state in its third data byte.
constexpr int SALE_STATE_ASKS = 3;
constexpr long SALE_STATE_LEN = 3;
// The number column holds two digits. A run of digits spilling past it on a malformed
// line must not turn one HL line into billions of commands.
constexpr long MAX_HL_COUNT = 99;
// Texts of records 75 and DY carry at most 16 characters.
constexpr std::size_t SHORT_TEXT_LEN = 16;

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

bool is(const LineBuffer& l, const char (&code)[3]) {
  return l[0] == code[0] && l[1] == code[1];
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

// The number from column 46 on, read like atol (white space, sign, digits) but never
// past the buffer and saturating instead of overflowing.
long number(const LineBuffer& l) {
  std::size_t i = recvend::rep;
  auto at = [&](std::size_t k) { return k < l.size() ? l[k] : '\0'; };
  while (at(i) == ' ' || (at(i) >= '\t' && at(i) <= '\r')) ++i;
  bool negative = false;
  if (at(i) == '+' || at(i) == '-') negative = at(i++) == '-';
  long value = 0;
  bool overflow = false;
  for (; at(i) >= '0' && at(i) <= '9'; ++i) {
    const int d = at(i) - '0';
    if (value > (LONG_MAX - d) / 10)
      overflow = true;
    else
      value = value * 10 + d;
  }
  if (overflow) return negative ? LONG_MIN : LONG_MAX;
  return negative ? -value : value;
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

}  // namespace

// Columns of a sales line, and what each record code sends (Z = 'A' 0x00, D = the
// description, M = its length, P = the amount keys, N = the number):
//
//   0         1         2         3         4
//   0123456789012345678901234567890123456789012345678
//   ccdddddddddddddddddddddddddddddddddddpppppppppnn\r\n
void TranslateRecord(const LineBuffer& l) {
  const uint8_t M = descLen();

  // 00  quantity for the next item sale: remembered, keyed by the next 01
  if (is(l, "00")) {
    tastoqta = convqta(l.data() + recvend::prezzo);
    tastoqta.push(KEY_QTY_END);
  }

  // 01  item sale: 10 ms; Z; 10 ms; A[42, 19, M, D, 49, return, quantity, P, 74 + dept]; 10 ms
  if (is(l, "01")) {
    if (!numberColumnBlank(l)) {
      const long n = number(l);
      // A negative number is no department key either: it sells on department 1 as
      // a number above 30 does.
      reparto = (n > MAX_DEPARTMENT || n < 0) ? 1 : static_cast<int>(n);
    }
    Payload p{42, 19, M};
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
  if (is(l, "02")) tastoreso = KEY_RETURN;

  // 03  operator: Z; A[tens, units, 39], the digits as plain values 0 to 9
  if (is(l, "03")) {
    const long n = number(l);
    operatore = (n < 1 || n > MAX_OPERATOR) ? static_cast<int>(MAX_OPERATOR) : static_cast<int>(n);
    zeroKey();
    sendA(Payload{static_cast<uint8_t>(operatore / 10), static_cast<uint8_t>(operatore % 10), 39});
  }

  // 04  Z; A[19, M + 3, 3, 0, D, 0, 56]
  if (is(l, "04")) {
    zeroKey();
    sendA(Payload{19, static_cast<uint8_t>(M + 3), 3, 0}.add(desc(l)).add({0, 56}));
  }

  // 05  A[36, P, 33]
  if (is(l, "05")) sendA(Payload{36}.add(amountKeys(l).view()).add({33}));

  // 06  A[P, 33]
  if (is(l, "06")) sendA(Payload{}.add(amountKeys(l).view()).add({33}));

  // 07  A[P, 31]
  if (is(l, "07")) sendA(Payload{}.add(amountKeys(l).view()).add({31}));

  // 08  A[42, 19, M, D, 145]
  if (is(l, "08")) sendA(Payload{42, 19, M}.add(desc(l)).add({145}));

  // 10, 12  Z; A[P, 49]   (12 has had its fiscal report file made by the main loop)
  if (is(l, "10") || is(l, "12")) {
    zeroKey();
    sendA(Payload{}.add(amountKeys(l).view()).add({49}));
  }

  // 11, 13  Z; A[49]
  if (is(l, "11") || is(l, "13")) {
    zeroKey();
    sendA(Payload{49});
  }

  // 15  Z; A[36]
  if (is(l, "15")) {
    zeroKey();
    sendA(Payload{36});
  }

  // 20  Z; A[P, 51]
  if (is(l, "20")) {
    zeroKey();
    sendA(Payload{}.add(amountKeys(l).view()).add({51}));
  }

  // 21, 23  Z; A[P, 125]
  if (is(l, "21") || is(l, "23")) {
    zeroKey();
    sendA(Payload{}.add(amountKeys(l).view()).add({125}));
  }

  // 22, 24  Z; A[P, 126]
  if (is(l, "22") || is(l, "24")) {
    zeroKey();
    sendA(Payload{}.add(amountKeys(l).view()).add({126}));
  }

  // 35  Z; A[50]
  if (is(l, "35")) {
    zeroKey();
    sendA(Payload{50});
  }

  // 30  Z; A[P, 54]
  if (is(l, "30")) {
    zeroKey();
    sendA(Payload{}.add(amountKeys(l).view()).add({54}));
  }

  // 40  Z; A[0, 30, 30, 30, 30, 30, 49]
  if (is(l, "40")) {
    zeroKey();
    sendA(Payload{0, 30, 30, 30, 30, 30, 49});
  }

  // 50  Z; A[0, 30, 30, 30, 30, 49]
  if (is(l, "50")) {
    zeroKey();
    sendA(Payload{0, 30, 30, 30, 30, 49});
  }

  // 51  Z; A[17]; A[N, 147, 145, 145]; 1 ms; A[15]; Z
  if (is(l, "51")) {
    zeroKey();
    sendA(Payload{17});
    sendA(Payload{static_cast<uint8_t>(number(l)), 147, 145, 145});
    portPause(PAUSE_STEP_US);
    sendA(Payload{15});
    zeroKey();
  }

  // HL  Z; A[18]; A[4, 147, 145]; 1 ms; A[145] N - 1 times; A[19, M, D, 145, 146, 146, 146];
  //     A[15]; Z
  if (is(l, "HL")) {
    const long rows = std::min(number(l), MAX_HL_COUNT);
    zeroKey();
    sendA(Payload{18});
    sendA(Payload{4, 147, 145});
    portPause(PAUSE_STEP_US);
    for (long i = 1; i < rows; ++i) sendA(Payload{145});
    sendA(Payload{19, M}.add(desc(l)).add({145, 146, 146, 146}));
    sendA(Payload{15});
    zeroKey();
  }

  // 1C, 2C, 3C  Z; A[15 | 16 | 17]; Z; 1 ms
  if (is(l, "1C")) {
    zeroKey();
    sendA(Payload{15});
    zeroKey();
    portPause(PAUSE_STEP_US);
  }
  if (is(l, "2C")) {
    zeroKey();
    sendA(Payload{16});
    zeroKey();
    portPause(PAUSE_STEP_US);
  }
  if (is(l, "3C")) {
    zeroKey();
    sendA(Payload{17});
    zeroKey();
    portPause(PAUSE_STEP_US);
  }

  // 52  Z; A[16]; A[N, 147, 145]; 1 ms; A[15]; Z
  if (is(l, "52")) {
    zeroKey();
    sendA(Payload{16});
    sendA(Payload{static_cast<uint8_t>(number(l)), 147, 145});
    portPause(PAUSE_STEP_US);
    sendA(Payload{15});
    zeroKey();
  }

  // 99  'S' alone; the sale must be closed by now, else the run ends with 99. An
  // answer without the sale's state (a wait that ended on an 'I' frame) proves nothing:
  // 'S' is sent again, three times in all, and without the state the run ends.
  if (is(l, "99")) {
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
    if (TransactionOpened) {
      LogMessage("\nExit code     99\n");
      CloseLog();
      ErrorHandle("Transazione in corso", 99);
    }
  }

  // 53  expansion totals clear; 10 ms
  if (is(l, "53")) {
    DoClearTotalsExp();
    portPause(PAUSE_SALE_US);
  }

  // 54  expansion totals read (file name from column 2, mode from column 46); 10 ms
  if (is(l, "54")) {
    DoReadTotalsExp(l.data() + recvend::descr, l.data() + recvend::rep);
    portPause(PAUSE_SALE_US);
  }

  // 55  expansion journal download, with the configuration loaded first; 10 ms
  if (is(l, "55")) {
    LoadCfg(0);
    DoDownloadExp(l.data() + recvend::descr, l.data() + recvend::rep);
    portPause(PAUSE_SALE_US);
  }

  // 60  internal totals download, with the configuration loaded first; 10 ms
  if (is(l, "60")) {
    LoadCfg(0);
    DoDownloadInt(l.data() + recvend::descr, l.data() + recvend::rep);
    portPause(PAUSE_SALE_US);
  }

  // 70  Z; A[19, 2, 4, 128, 56]
  if (is(l, "70")) {
    zeroKey();
    sendA(Payload{19, 2, 4, 128, 56});
  }

  // 71  A[19, M + 3, 4, 1, D, 0, 56]
  if (is(l, "71")) sendA(Payload{19, static_cast<uint8_t>(M + 3), 4, 1}.add(desc(l)).add({0, 56}));

  // 72  Z; A[19, 2, 4, 0, 56]
  if (is(l, "72")) {
    zeroKey();
    sendA(Payload{19, 2, 4, 0, 56});
  }

  // 75  Z; A[61, 19, k, the first word of the description (at most 16), 145]
  if (is(l, "75")) {
    const auto text = shortText(l, true);
    zeroKey();
    sendA(Payload{61, 19, static_cast<uint8_t>(text.size())}.add(text).add({145}));
  }

  // 80  Z; O[11, 1]
  if (is(l, "80")) {
    zeroKey();
    sendO(Payload{11, 1});
  }

  // 81  O[13, 0, 0, 0, D, the amount column, the number column], all as plain characters
  if (is(l, "81")) {
    sendO(Payload{13, 0, 0, 0}
              .add(desc(l))
              .add(columns(l, recvend::prezzo, AMOUNT_LEN))
              .add(columns(l, recvend::rep, NUMBER_LEN)));
  }

  // 83  O[13, 0, v, 0, D, the amount column, the number column]; v is the number
  //     column's two digits as a value
  if (is(l, "83")) {
    const auto v = static_cast<uint8_t>(10 * (byteAt(l, recvend::rep) - 48) +
                                        (byteAt(l, recvend::rep + 1) - 48));
    sendO(Payload{13, 0, v, 0}
              .add(desc(l))
              .add(columns(l, recvend::prezzo, AMOUNT_LEN))
              .add(columns(l, recvend::rep, NUMBER_LEN)));
  }

  // DY  a text row: rigo and opz are the digits of the number column.
  //     Z if opz has 1; O[rigo, up to 16 characters]; O[10, 12] if opz has 2
  if (is(l, "DY")) {
    const auto rigo = static_cast<uint8_t>(byteAt(l, recvend::rep) - 48);
    const auto opz = static_cast<uint8_t>(byteAt(l, recvend::rep + 1) - 48);
    if (opz & 1) zeroKey();
    sendO(Payload{rigo}.add(shortText(l, false)));
    if (opz & 2) sendO(Payload{10, 12});
  }

  // 82  O[12, 0]
  if (is(l, "82")) sendO(Payload{12, 0});
}
