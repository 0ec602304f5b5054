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
bool UpdateBuffer();
MyBuffer StructCopy(const MyTemp& Buffer);
void DiscardMessage(uint8_t Answer);
const char* RxStateName(int state);

// ---------------------------------------------------------------- status (status.cpp)

bool ReadIStatus(long* EcrISt);
long EcrReset(bool Exit);
MyBuffer ReadData(long Attempt);
bool TestLastTx(long Attempt);

// ---------------------------------------------------------------- transaction (transaction.cpp)

extern uint8_t TransactionOpened;

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
void ErrorHandle(const char* ErrorStr, int ErrNo);
[[noreturn]] void FatalError(const char* ErrorStr, int ErrNo);  // ErrorHandle, ErrNo != 0
void LastCommand(const char* Command);
void LogWrite(const uint8_t* Message, long Len);
void LogRead(const uint8_t* Message, long Len);
void LogBinToHex(const uint8_t* MessageIn, long Len, char* MessageOut, const char* Dir);
void OpenLog();
void CloseLog();
void LogMessage(const char* Message);
// Name of today's dump log: dumpMMDD.log.
void DumpLogName(std::time_t when, char (&name)[16]);

// Writes len bytes to a host file and ends the run on failure.
void WriteOutput(FILE* f, const void* data, std::size_t len);
void FlushOutput(FILE* f);
inline constexpr const char* OUTPUT_WRITE_ERROR_TEXT = "Errore in scrittura del file di output\n";
inline constexpr const char* OUTPUT_OPEN_ERROR_TEXT = "Impossibile aprire il file di output\n";
