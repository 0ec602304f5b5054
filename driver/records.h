// Record code -> register commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/keypad.h"
#include "driver/sales_file.h"

// Translation state, kept for the whole run.
extern KeySeq tastoqta;    // pending quantity keys (ending with 27), empty when none
extern uint8_t tastoreso;  // pending return key: 28, or 0 when none
extern int reparto;        // remembered department, 1 at start
extern int operatore;      // operator of the last record 03

// Departments 1 to 30 have keys (0 keys 74); any other number sells on department 1.
inline constexpr long MAX_DEPARTMENT = 30;
// Operators 1 to 15; anything else signs on operator 15.
inline constexpr long MAX_OPERATOR = 15;
// HL keys at most this many rows, whatever digits spill past the number column.
inline constexpr long MAX_HL_COUNT = 99;
// Texts of records 75 and DY, and download file names, carry at most 16 characters.
inline constexpr std::size_t SHORT_TEXT_LEN = 16;

// What a record does with each column of its line.
enum class DescrUse : uint8_t {
  None,
  Sent,      // the description as it is (its first MAX_DESC_LEN characters)
  Word,      // 75: up to the first space or line end, at most 16 characters
  Row,       // DY: up to the line end, at most 16 characters
  FileName,  // 54, 55, 60: the download file's name
};
enum class AmountUse : uint8_t {
  None,
  Keyed,     // amount keys: digits and one decimal point
  Quantity,  // 00: nine digits with three implied decimals
  Sent,      // 81, 83: plain characters
};
enum class NumberUse : uint8_t {
  None,
  Department,  // 01: department 0 to 30; two spaces keep the last one
  Operator,    // 03: operator 1 to 15
  Byte,        // 51, 52: one byte
  Rows,        // HL: rows to skip, at most 99
  RowOptions,  // DY: a row digit and an options digit
  Sent,        // 81: plain characters
  SentValue,   // 83: plain characters, and their two digits as one byte
  Mode,        // 54, 55, 60: the download's mode characters
};

// One row of the record table: the code, what it reads, and what it sends.
struct RecordKind {
  char code[3];
  DescrUse descr;
  AmountUse amount;
  NumberUse number;
  void (*act)(const LineBuffer& line);
};

// Every record code, in the order the codes are tested.
std::span<const RecordKind> recordTable();
// The row whose code the line starts with; null for a line no row matches.
const RecordKind* findRecord(const LineBuffer& line);
// How many characters (line end not counted) a line of this record needs so that
// every column it reads comes from the line itself: the whole number column when it
// reads one, else the whole amount column, else the description it sends (descWidth
// characters, the register's description width), else the code alone (the short
// texts and the download file name end at the line end).
std::size_t lineLengthNeeded(const RecordKind& kind,
                             std::size_t descWidth = recvend::prezzo - recvend::descr);

// The number from column 46 on, read like atol (white space, sign, digits) but never
// past the buffer and saturating instead of overflowing. `end` (when given) gets the
// column just past the last digit, or 0 when there were no digits.
long recordNumber(const LineBuffer& line, std::size_t* end = nullptr);

// Acts on one normalised sales line.
void TranslateRecord(const LineBuffer& line);

// Asks the register with 'S' alone whether a sale is open (TransactionOpened), asking
// again when an answer comes without the state; ends the run when none carries it.
void ReadSaleState();
// CommandsSent after the last ReadSaleState; 0 before any.
extern uint64_t SaleStateReadAt;
