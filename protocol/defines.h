// Link-wide constants.
#pragma once

inline constexpr long HT_ATTEMPT = 3;  // sendings of a frame, receptions of an answer
inline constexpr int DUMP_ROW = 30;    // rows of the protocol trace ring
