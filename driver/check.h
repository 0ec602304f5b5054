// cassard --check: a sales file read as a run reads it, checked against the record
// table, with no register and no line.
#pragma once

#include <cstdio>

// Writes one line per finding to `out`, "NAME:LINE:COLUMN: message" (columns count
// from 1, as editors do). Returns the number of findings, or -1 when `in` could not
// be read to its end (the findings up to there are written).
long checkSalesFile(FILE* in, const char* name, FILE* out);

// `cassard --check [SALESFILE ...]`, the arguments of a run after the option: exit
// status 0 for a clean file, 1 with findings, 255 when the file cannot be read.
int checkMain(int argc, char** argv);
