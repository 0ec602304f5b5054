// The link's vocabulary: control bytes, receiver states, internal error codes with
// their texts, and the bits of the register's status byte.
#pragma once

#include <cstdint>

// Control bytes on the wire.
inline constexpr uint8_t STX = 0x02;    // second byte of every frame
inline constexpr uint8_t ETX = 0x03;    // ends the frame body, after a DLE
inline constexpr uint8_t ACK = 0x06;    // frame accepted
inline constexpr uint8_t ERR = 0x07;    // frame refused for good
inline constexpr uint8_t DLE = 0x10;    // starts a frame, precedes ETX, doubled inside
inline constexpr uint8_t NACK = 0x15;   // frame damaged: send it again
inline constexpr uint8_t SKIP = 0x18;   // frame not taken now: send it again later
inline constexpr uint8_t RSTA = 0x1e;   // status request, outside any frame
inline constexpr uint8_t RSTAE = 0x1f;  // extended status request, outside any frame

// Receiver states of Automaton.
enum RxState : int {
  ST_IDLE = 0,       // waiting for the DLE that starts a frame
  ST_RX_DLE = 1,     // DLE seen, waiting for STX
  ST_RX_DATA = 2,    // inside the body
  ST_RX_DLEINT = 3,  // inside the body, a DLE seen
  ST_RX_EOT = 4,     // DLE ETX seen, waiting for the checksum byte
};

// Internal error codes kept in FError.
inline constexpr int MP_NO_ERRORS = 0;
inline constexpr int MP_RX_ACK = 0;
inline constexpr int MP_E_CRITICAL = 4;  // same value as the status bit MP_IS_CRITICAL_ERR
inline constexpr int MP_E_WRITE = 8;
inline constexpr int MP_E_READ = 10;
inline constexpr int MP_E_AUTOMA = 16;
inline constexpr int MP_E_FRAME = 17;
inline constexpr int MP_E_SENDCHAR = 18;
inline constexpr int MP_E_NOT_IDLE = 21;
inline constexpr int MP_E_BAD_KEY = 21;
inline constexpr int MP_RX_ERR = 101;
inline constexpr int MP_RX_NACK = 102;
inline constexpr int MP_RX_SKIP = 103;
inline constexpr int MP_RX_DLE = 104;
inline constexpr int MP_RX_UNEXP = 105;
inline constexpr int MP_RX_TIMEOUT = 106;

// Texts stored in FErrorExt with the codes above.
inline constexpr const char* MP_NO_ERRORS_E = "Nessun errore";
inline constexpr const char* MP_RX_ACK_E = "Ecr risponde ACK in SendChar";
inline constexpr const char* MP_E_CRITICAL_E = "Errore Critico sull'ECR";
inline constexpr const char* MP_E_WRITE_E = "Errore in scrittura (WriteFile)";
inline constexpr const char* MP_E_READ_E = "Errore timeout in ricezione";
inline constexpr const char* MP_E_FRAME_E = "Frame error in ricezione";
inline constexpr const char* MP_E_NOT_IDLE_E = "Automa non in ST_IDLE";
inline constexpr const char* MP_E_BAD_KEY_E = "Assetto chiave errato";
inline constexpr const char* MP_RX_ERR_E = "Ecr risponde ERR in SendChar";
inline constexpr const char* MP_RX_NACK_E = "Ecr risponde NACK in SendChar";
inline constexpr const char* MP_RX_SKIP_E = "Ecr risponde SKIP in SendChar";
inline constexpr const char* MP_RX_DLE_E = "Ecr risponde DLE in SendChar";
inline constexpr const char* MP_RX_UNEXP_E = "Ecr risponde Unexp in SendChar";
inline constexpr const char* MP_RX_TIMEOUT_E = "Ecr non risponde (TimeOut SendChar)";

// Bits of the status byte the register sends in reply to RSTA.
inline constexpr long MP_IS_IDLE = 0x01;          // idle: the I request may be sent
inline constexpr long MP_IS_IDLE_T = 0x02;        // idle as well
inline constexpr long MP_IS_CRITICAL_ERR = 0x04;  // head lifted, paper out, ...
inline constexpr long MP_IS_EXEC_CMD = 0x20;      // busy executing a command

// Status value ReadIStatus stores when the register did not answer at all.
inline constexpr long MP_NO_STATUS = 20;

// Sizes of the answer records.
inline constexpr int MP_AOC_LEN = 200;   // data bytes of a decoded answer
inline constexpr int MP_BODY_LEN = 205;  // raw body: Num, ID, UF1, UF2, code letter, data
