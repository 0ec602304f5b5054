// What the rest of cassard calls on the link, and the link's global state.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <span>

#include "ErrorFlags.h"
#include "ProtocolDef.h"
#include "defines.h"

// ---------------------------------------------------------------- answer records

// Raw frame body as received, stuffing removed: Num, ID, UF1, UF2, code letter, data.
struct MyTemp {
  std::array<uint8_t, MP_BODY_LEN> LogicData{};
  int Len = 0;
};

// Decoded answer.
struct MyBuffer {
  uint8_t LogicCode = 0;
  std::array<uint8_t, MP_AOC_LEN> LogicData{};
  uint8_t Num = 0;
  uint8_t ID = 0;  // always 1 in a decoded answer
  uint8_t UF1 = 0;
  uint8_t UF2 = 0;
  int Len = 0;  // valid bytes of LogicData, 0 to 200
};

// The register sends signed characters; where a byte is a signed value, say so.
constexpr long signedByte(uint8_t b) {
  return static_cast<int8_t>(b);
}

// Answer buffer handed to DirectIO: room for the largest answer and every message.
inline constexpr std::size_t ANSWER_BUF_LEN = 256;
using AnswerBuffer = std::array<uint8_t, ANSWER_BUF_LEN>;

// ---------------------------------------------------------------- serial line (serial.cpp)

inline constexpr std::size_t READ_CHUNK = 140;
inline constexpr const char* DEFAULT_SPEED = "9600,N,8,1";
inline constexpr std::size_t SPEED_TEXT_MAX = 79;  // longest line-settings text taken

extern int FOpenPort;
extern std::array<uint8_t, READ_CHUNK> ReadInBuffer;
extern long ReadBufferLen;
extern long ReadBufferPos;

void TProtocol(bool CreateSuspended, const char* ttyName, const char* Speed);
int OpenPort();
void ttySetSpeed(int dev, const char* speed);
// Raw mode and the line-settings text applied to settings read from the port.
void ConfigureTermio(struct termio& tty, const char* speed);
int ttyconvertspeed(long s);

// Why the line could not be had, told to the technician on stderr: the system's reason
// and, when permissions are the cause, whose the device is and what to do about it.
struct LineFailure {
  bool locking = false;   // the device opened but the lock failed
  int err = 0;            // errno of the failing call
  bool haveStat = false;  // what follows describes the device
  unsigned mode = 0;      // st_mode
  unsigned uid = 0, gid = 0;
  const char* owner = nullptr;  // names; numbers are shown when null
  const char* group = nullptr;
  const char* user = nullptr;  // who runs cassard
  bool inGroup = false;        // the process has the device's group already
  bool privileged = false;     // euid 0: group advice is no use
};
// The one stderr line (with its line end) into out; the text is cut to fit.
void FormatLineFailure(const char* device, const LineFailure& f, char* out, std::size_t n);
// Writes that line for the last TProtocol that failed on device.
void ReportLineFailure(const char* device);

bool ReadFile(uint8_t* In, bool Wait);
void WaitNoChar();
// WaitNoChar that keeps the first keep.size() bytes it drops; returns how many it kept.
std::size_t DrainLine(std::span<uint8_t> keep);
void ClearBufferRx();

// ---------------------------------------------------------------- transmission (frame_tx.cpp)

inline constexpr std::size_t FRAME_BUF_LEN = 400;

extern std::array<uint8_t, FRAME_BUF_LEN> FSBuffer;
extern int FSLen;
extern uint8_t FNum;

// Builds the stuffed frame for Data with sequence number Num into Out. Returns the
// frame length, or 0 when it would not fit.
std::size_t BuildFrame(uint8_t Num, std::span<const uint8_t> Data, std::span<uint8_t> Out);
bool SendData(long Attempt, const uint8_t* Data, long Length);
void SendChar();

// ---------------------------------------------------------------- reception (frame_rx.cpp)

// FLastID before any frame was accepted: equal to no sequence number.
inline constexpr int NO_FRAME_ACCEPTED = -1;

extern int StAut;
extern MyTemp FBuffer;
extern MyBuffer FAnswer;
extern int FLastID;
extern bool FReadData;

void Automaton(long Attempt);
// A frame the register began where a status byte was due, drained with its first DLE:
// false when the bytes hold no complete frame; else the receiver's reply to it is sent
// (NACK, ACK or SKIP) and an answer is taken as Automaton takes it.
bool ReplyToDrainedFrame(std::span<const uint8_t> bytes);
bool UpdateBuffer();
MyBuffer StructCopy(const MyTemp& Buffer);
void DiscardMessage(uint8_t Answer);
const char* RxStateName(int state);

// ---------------------------------------------------------------- status (status.cpp)

bool ReadIStatus(long* EcrISt);
long EcrReset(bool Exit);
MyBuffer ReadData(long Attempt);
bool TestLastTx(long Attempt);

// The extended status exchange as the answer wait uses it: whether the last frame the
// register took carries num.
enum class LastTx {
  Taken,    // it does
  Other,    // another frame: the command never reached the register
  NoReply,  // nothing came: the register does not offer the extended status
  Unclear,  // a reply came but said nothing usable
};
LastTx AskLastTx(long Attempt, uint8_t num);
// Set when the register did not answer the extended status once: the run asks no more.
extern bool FNoExtStatus;
inline constexpr const char* MP_E_NOT_TAKEN_E = "Comando non ricevuto dall'ECR";
inline constexpr const char* MP_E_EMPTY_E = "Risposta vuota dall'ECR";
inline constexpr const char* MP_E_NOISE_E = "Rumore sulla linea";

// A frame or a frame start instead of the status byte, this many times in a row, and
// the status request counts as unanswered.
inline constexpr int STATUS_FRAMES_MAX = 10;

// ---------------------------------------------------------------- waits under noise (status.cpp)

// A wait that keeps receiving bytes which never make an accepted frame or a status
// byte ends by a deadline: twice its length on a silent line. It then ends as on
// silence. On a quiet line the deadlines are never reached.
//
// One ReadFile with wait on a silent line: 12 reads of 0.1 s, 7 pauses of 10 ms, 5 of 1 s.
inline constexpr uint64_t READ_WAIT_SILENT_US = 12 * 100'000 + 7 * 10'000 + 5 * 1'000'000;
// One unanswered status request: 3 tries of a 0.1 s read and a 1 s pause.
inline constexpr uint64_t STATUS_SILENT_US = 3 * (100'000 + 1'000'000);

// For its lifetime, the deadline of the waits it spans: twice silentUs from now, or an
// enclosing wait's deadline when that comes first.
class WaitDeadline {
 public:
  explicit WaitDeadline(uint64_t silentUs);
  ~WaitDeadline();
  WaitDeadline(const WaitDeadline&) = delete;
  WaitDeadline& operator=(const WaitDeadline&) = delete;

 private:
  uint64_t saved_;
};
// True when a wait in progress has reached its deadline.
bool WaitOverdue();

// Why the last status or answer wait ended without what it waited for, when it was not
// silence; the failure report names it.
enum class WaitEnd { Silence, Noise, Frames };
extern WaitEnd FWaitEnd;
extern uint64_t FWaitDeadline;  // 0 when no wait is bounded
extern bool FAwaitingAnswer;  // ReadData is waiting: a frame at a status request may be the answer
// text, followed by the cause when the wait did not end on silence.
const char* WaitFailureText(const char* text);

// ---------------------------------------------------------------- transaction (transaction.cpp)

extern uint8_t TransactionOpened;
// Commands handed to DirectIO since the start: tells whether anything went to the
// register between two points of a run.
extern uint64_t CommandsSent;

// One command end to end. psRx receives the answer data (result 0) or a message.
long DirectIO(const uint8_t* psTx, long pTxLen, AnswerBuffer& psRx, long* pRxLen, long* pStatus);

// Submits letter tipo with the tSize bytes of t; ends the run if the register does
// not take it.
void txemulaz(const uint8_t* t, long tSize, char tipo);

// Refuses an answer that delivered fewer than need bytes.
void RequireAnswerLen(long pRxLen, long need);
inline constexpr const char* SHORT_ANSWER_TEXT = "Risposta dell'ECR troppo corta";

// ---------------------------------------------------------------- failures (errorlog.cpp)

inline constexpr std::size_t ERROR_EXT_LEN = 50;
inline constexpr std::size_t LAST_CMD_LEN = 128;
inline constexpr std::size_t MATRIX_COL = 250;

extern int FError;
extern char FErrorExt[ERROR_EXT_LEN];
extern char LastCmd[LAST_CMD_LEN];
extern char Matrix[DUMP_ROW][MATRIX_COL];
extern int indMatrixRow;

void SetError(int Error1, const char* ErrorExt1);
// Writes the dump report and the console message; ends the process unless ErrNo is 0.
// A warning (ErrNo 0) repeated past its limit, or past the run's budget for the dump
// log and the console, is counted instead; the next report written names the counts.
void ErrorHandle(const char* ErrorStr, int ErrNo);
// Where the console messages of warnings go: stdout unless a mode whose stdout carries
// data of its own says otherwise. A failure's message always goes to stdout.
void SetWarningStream(std::FILE* stream);
// At the normal end of a run: one warning report with the counts not yet written.
void ReportOmittedWarnings();
inline constexpr const char* OMITTED_WARNINGS_TEXT = "Avvisi ripetuti non scritti";
[[noreturn]] void FatalError(const char* ErrorStr, int ErrNo);  // ErrorHandle, ErrNo != 0
// When a signal was noted: a dump report naming the signal and how far the current
// line got, and the exit status 128 + the signal number. Returns otherwise.
void StopIfSignalled();
// Before each command to the register: StopIfSignalled, then the command counts as
// one of the current line's.
void BeginCommand();
void LastCommand(const char* Command);
void LogWrite(const uint8_t* Message, long Len);
void LogRead(const uint8_t* Message, long Len);
void LogBinToHex(const uint8_t* MessageIn, long Len, char* MessageOut, const char* Dir);
void OpenLog();  // also starts the run's budgets for reports
void CloseLog();
void LogMessage(const char* Message);
// Name of today's dump log: dumpMMDD.log.
void DumpLogName(std::time_t when, char (&name)[16]);

// Writes len bytes to a host file and ends the run on failure.
void WriteOutput(FILE* f, const void* data, std::size_t len);
void FlushOutput(FILE* f);
inline constexpr const char* OUTPUT_WRITE_ERROR_TEXT = "Errore in scrittura del file di output\n";
inline constexpr const char* OUTPUT_OPEN_ERROR_TEXT = "Impossibile aprire il file di output\n";
