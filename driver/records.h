// Record code -> register commands.
#pragma once

#include "driver/keypad.h"
#include "driver/main.h"

// Translation state, kept for the whole run.
extern KeySeq tastoqta;   // pending quantity keys (ending with 27), empty when none
extern uint8_t tastoreso; // pending return key: 28, or 0 when none
extern int reparto;       // remembered department, 1 at start
extern int operatore;     // operator of the last record 03

// Acts on one normalised sales line.
void TranslateRecord(const LineBuffer& line);
