// cassard --check: every line goes through the same reading, widening and record table
// as in a run; what the run would send is then held against what the line says.
// Only facts are reported: a line the register takes as written is never a finding.

#include "driver/check.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "download/download.h"
#include "driver/records.h"
#include "driver/sales_file.h"

namespace {

constexpr std::size_t LINE_MAX_READ = LINE_BUF_LEN - 1;
constexpr std::size_t AMOUNT_END = recvend::rep;
constexpr std::size_t DESCR_END = recvend::prezzo;

bool printableLatin1(uint8_t b) {
  return (b >= 0x20 && b <= 0x7E) || b >= 0xA0;
}

// A column's bytes for a message: printable ASCII as it is, anything else as \xNN.
std::string quoted(const LineBuffer& l, std::size_t from, std::size_t to) {
  std::string s = "\"";
  for (std::size_t i = from; i < to; ++i) {
    const auto b = static_cast<uint8_t>(l[i]);
    if (b >= 0x20 && b <= 0x7E && b != '"' && b != '\\') {
      s += static_cast<char>(b);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      s += hex;
    }
  }
  return s + "\"";
}

struct Finding {
  std::size_t column;  // in the widened line, from 0
  std::string message;
};

class LineCheck {
 public:
  LineCheck(const LineBuffer& l, std::size_t readLen, std::size_t len, bool truncated)
      : l_(l), widened_(len != readLen) {
    end_ = std::find(l.begin(), l.begin() + static_cast<long>(len), '\n') - l.begin();
    if (end_ > 0 && l[end_ - 1] == '\r') --end_;
    if (widened_) padFrom_ = shortFormCut(l);
    if (truncated) add(LINE_MAX_READ, "line longer than 254 bytes: the rest is ignored");
  }

  void run() {
    if (std::all_of(l_.begin(), l_.begin() + static_cast<long>(end_),
                    [](char c) { return c == ' ' || c == '\t'; }))
      return;  // a blank line is ignored, as it should be
    const RecordKind* kind = findRecord(l_);
    if (!kind) return unknownCode();
    kind_ = kind;
    if (end_ < lineLengthNeeded(*kind) && !oneDigitNumber()) tooShort();
    description();
    amount();
    number();
  }

  // The findings of the line, from left to right, as the file's own columns.
  std::vector<Finding> findings() {
    std::stable_sort(found_.begin(), found_.end(),
                     [](const Finding& a, const Finding& b) { return a.column < b.column; });
    for (Finding& f : found_) f.column = fileColumn(f.column);
    return found_;
  }

 private:
  void add(std::size_t column, std::string message) {
    found_.push_back({column, std::move(message)});
  }
  std::string code() const { return quoted(l_, 0, 2); }

  // The spaces a short-form line was widened with are not in the file: a column past
  // them is reported where the file has it, one inside them where they went in.
  bool inserted(std::size_t col) const {
    return widened_ && col >= padFrom_ && col < padFrom_ + SHORT_FORM_PAD;
  }
  std::size_t fileColumn(std::size_t col) const {
    if (!widened_ || col < padFrom_) return col;
    return inserted(col) ? padFrom_ : col - SHORT_FORM_PAD;
  }
  bool present(std::size_t to) const { return end_ >= to; }
  // A number read up to the line end may have one digit: "4" and a line end is 4.
  bool oneDigitNumber() const {
    switch (kind_->number) {
      case NumberUse::Department:
      case NumberUse::Operator:
      case NumberUse::Byte:
      case NumberUse::Rows:
        return end_ == recvend::rep + 1 && (l_[end_] == '\n' || l_[end_] == '\r');
      default:
        return false;
    }
  }

  void unknownCode() {
    std::string message = "unknown record code " + code() + ": the line is ignored";
    LineBuffer upper = l_;
    upper[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[0])));
    upper[1] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[1])));
    if (findRecord(upper)) message += " (codes are case-sensitive: " + quoted(upper, 0, 2) + ")";
    add(0, message);
  }

  void tooShort() {
    if (kind_->descr == DescrUse::Sent && end_ < DESCR_END) {
      add(end_,
          "line ends inside the description column (3-37): the line end is sent as part of "
          "the description");
    } else {
      const char* column = end_ < AMOUNT_END && kind_->amount != AmountUse::None
                               ? "the amount column (38-46)"
                               : "the number column (47-48)";
      add(end_, "line too short for record " + code() + ": it reads " + column);
    }
  }

  // The first byte of [from, to) that is not printable Latin-1.
  void printable(std::size_t from, std::size_t to, const char* what) {
    for (std::size_t i = from; i < to; ++i) {
      const auto b = static_cast<uint8_t>(l_[i]);
      if (!printableLatin1(b)) {
        char text[128];
        std::snprintf(text, sizeof text, "%s: byte 0x%02X is not a printable Latin-1 character",
                      what, b);
        return add(i, text);
      }
    }
  }

  void description() {
    const std::size_t from = recvend::descr;
    switch (kind_->descr) {
      case DescrUse::None:
        return;
      case DescrUse::Sent:
        return printable(from, std::min(end_, DESCR_END), "description");
      case DescrUse::Word:
      case DescrUse::Row:
        return shortText(kind_->descr == DescrUse::Word);
      case DescrUse::FileName:
        return fileName();
    }
  }

  // The text of 75 (its first word) and DY: it ends at a line end or a zero byte,
  // after 16 characters, and for 75 at a space. What it leaves out of the column is a
  // finding when it is more than spaces.
  void shortText(bool word) {
    const std::size_t from = recvend::descr;
    const std::size_t limit = from + SHORT_TEXT_LEN;
    std::size_t to = from;
    const auto stops = [&](char c) {
      return c == '\0' || c == '\r' || c == '\n' || (word && c == ' ');
    };
    while (to < limit && !stops(l_[to])) ++to;
    printable(from, to, "text");
    const std::size_t column = std::min(end_, DESCR_END);
    if (to >= column) return;
    if (l_[to] == '\0' || l_[to] == '\r') {
      char text[96];
      std::snprintf(text, sizeof text, "text ends at byte 0x%02X: the rest of it is not sent",
                    static_cast<uint8_t>(l_[to]));
      add(to, text);
    } else if (to == limit && (word ? l_[to] != ' '
                                    : std::any_of(l_.begin() + static_cast<long>(to),
                                                  l_.begin() + static_cast<long>(column),
                                                  [](char c) { return c != ' '; }))) {
      add(to, std::string(word ? "first word" : "text") + " longer than 16 characters: only " +
                  quoted(l_, from, to) + " is sent");
    }
  }

  void fileName() {
    const DownloadName name = DownloadFileName(l_.data() + recvend::descr);
    const std::string text(name.data());
    const std::size_t to = recvend::descr + text.size();
    if (text.empty()) return add(recvend::descr, "download file name is empty");
    if (text.find_first_not_of(' ') == std::string::npos)
      return add(recvend::descr, "download file name is blank");
    if (const std::size_t slash = text.find('/'); slash != std::string::npos)
      return add(recvend::descr + slash, "download file name " + quoted(l_, recvend::descr, to) +
                                             " holds '/': only a plain name in the working "
                                             "directory can be written");
    if (text == "." || text == "..")
      return add(recvend::descr, "download file name " + quoted(l_, recvend::descr, to) +
                                     " names a directory, not a file");
    // Cut at 16 characters: what follows up to a '-' or the line end is not in the name.
    const char next = l_[to];
    if (text.size() == DOWNLOAD_NAME_MAX && to < std::min(end_, DESCR_END) && next != '-' &&
        next != ' ')
      add(to, "download file name longer than 16 characters: the file is " +
                  quoted(l_, recvend::descr, to));
  }

  void amount() {
    const std::size_t from = recvend::prezzo;
    if (kind_->amount == AmountUse::None || !present(AMOUNT_END)) return;
    const std::string column = quoted(l_, from, AMOUNT_END);
    switch (kind_->amount) {
      case AmountUse::None:
        return;
      case AmountUse::Keyed: {
        bool point = false;
        for (std::size_t i = from; i < AMOUNT_END; ++i) {
          const char c = l_[i];
          if (c == '.' && !point) {
            point = true;
          } else if (c == '.') {
            return add(i, "amount column " + column + " holds a second decimal point");
          } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return add(i, "amount column " + column +
                              " is not digits with at most one decimal point: " +
                              quoted(l_, i, i + 1) + " would be keyed as a stray key");
          }
        }
        return;
      }
      case AmountUse::Quantity:
        for (std::size_t i = from; i < AMOUNT_END; ++i)
          if (!std::isdigit(static_cast<unsigned char>(l_[i])))
            return add(i, "quantity " + column +
                              " does not fit the quantity column: nine digits, the last three "
                              "of them decimals (000002500 is 2.5)");
        return;
      case AmountUse::Sent:
        return printable(from, AMOUNT_END, "amount column");
    }
  }

  void number() {
    const std::size_t from = recvend::rep;
    const std::size_t to = recvend::crlf;
    switch (kind_->number) {
      case NumberUse::None:
      case NumberUse::Mode:
        return;
      case NumberUse::Department:
        if (l_[from] == ' ' && l_[from + 1] == ' ') return;  // the last department again
        return numeric("department", 0, MAX_DEPARTMENT, "the sale goes to department 1");
      case NumberUse::Operator:
        return numeric("operator", 1, MAX_OPERATOR, "operator 15 signs on");
      case NumberUse::Byte:
        return numeric("number", 0, UINT8_MAX, "it is sent as one byte, modulo 256");
      case NumberUse::Rows:
        // 0, 1 and below key no row: only the top is cut.
        return numeric("count", LONG_MIN, MAX_HL_COUNT, "99 is used");
      case NumberUse::RowOptions:
        // Any byte from '0' up is a row (':' is row 10); one below it, a space above
        // all, wraps to a row number above 200. The options take what bits they find.
        if (present(to) && static_cast<uint8_t>(l_[from]) < '0')
          add(from, "row and options column " + quoted(l_, from, to) +
                        ": the row is its first character, and " + quoted(l_, from, from + 1) +
                        " is no row");
        return;
      case NumberUse::Sent:
        if (present(to)) printable(from, to, "number column");
        return;
      case NumberUse::SentValue:
        if (!present(to)) return;
        printable(from, to, "number column");
        // Two spaces give the value of the short form, which has no number column.
        if (!twoDigits() && !inserted(from) && !(l_[from] == ' ' && l_[from + 1] == ' '))
          add(from, "number column " + quoted(l_, from, to) +
                        " is not two digits: its value byte is not what it says");
        return;
    }
  }

  bool twoDigits() const {
    return std::isdigit(static_cast<unsigned char>(l_[recvend::rep])) &&
           std::isdigit(static_cast<unsigned char>(l_[recvend::rep + 1]));
  }

  // A number read from column 46 on: digits (after white space and a sign) whose run
  // may spill past the column, and nothing but white space or the line end after them
  // inside the column.
  void numeric(const char* what, long min, long max, const char* otherwise) {
    const std::size_t from = recvend::rep;
    if (end_ <= from) return;  // reported as too short
    std::size_t stop = 0;
    const long n = recordNumber(l_, &stop);
    bool clean = stop != 0;
    for (std::size_t i = std::max(stop, from); clean && i < recvend::crlf && i < end_; ++i)
      clean = l_[i] == ' ' || l_[i] == '\t';
    const bool inRange = n >= min && n <= max;
    char text[200];
    if (!clean) {
      std::snprintf(text, sizeof text, "%s column %s is not a number: it is read as %ld%s%s", what,
                    quoted(l_, from, std::min(end_, recvend::crlf)).c_str(), n,
                    inRange ? "" : ", and ", inRange ? "" : otherwise);
      add(from, text);
    } else if (!inRange) {
      // The number as written: a run of digits spilling past the column is shown cut.
      std::size_t start = from;
      while (l_[start] == ' ' || l_[start] == '\t') ++start;
      std::string written(l_.data() + start, stop - start);
      if (written.size() > 12) written = written.substr(0, 12) + "...";
      if (min == LONG_MIN)
        std::snprintf(text, sizeof text, "%s %s is above %ld: %s", what, written.c_str(), max,
                      otherwise);
      else
        std::snprintf(text, sizeof text, "%s %s is outside %ld-%ld: %s", what, written.c_str(), min,
                      max, otherwise);
      add(from, text);
    }
  }

  const LineBuffer& l_;
  bool widened_;
  std::size_t end_ = 0;
  std::size_t padFrom_ = 0;
  const RecordKind* kind_ = nullptr;
  std::vector<Finding> found_;
};

}  // namespace

long checkSalesFile(FILE* in, const char* name, FILE* out) {
  LineBuffer line{};
  long findings = 0;
  for (long lineNo = 1;; ++lineNo) {
    const SalesLine read = readSalesLine(in, line);
    if (read.result == LineRead::Error) return -1;
    if (read.result == LineRead::End) break;
    const std::size_t len = widenShortForm(line, read.len);
    LineCheck check(line, read.len, len, read.truncated);
    check.run();
    for (const Finding& f : check.findings()) {
      std::fprintf(out, "%s:%ld:%zu: %s\n", name, lineNo, f.column + 1, f.message.c_str());
      ++findings;
    }
  }
  return findings;
}

int checkMain(int argc, char** argv) {
  const char* name = argc >= 3 ? argv[2] : DEFAULT_SALES_FILE;
  if (std::strlen(name) > NAME_MAX_LEN) {
    std::fprintf(stderr, "cassard: sales-file name longer than %zu characters\n", NAME_MAX_LEN);
    return 255;
  }
  FILE* in = std::fopen(name, "r");
  if (!in) {
    std::fprintf(stderr, "cassard: cannot read %s: %s\n", name, std::strerror(errno));
    return 255;
  }
  const long findings = checkSalesFile(in, name, stdout);
  const int readErrno = errno;
  std::fclose(in);
  const bool written = std::fflush(stdout) == 0;
  if (findings < 0) {
    std::fprintf(stderr, "cassard: cannot read %s: %s\n", name, std::strerror(readErrno));
    return 255;
  }
  if (!written) return 255;
  return findings == 0 ? 0 : 1;
}
