// The operating system as the link sees it. port.cpp is the only code that calls
// read(), write(), the sleeps, time() and exit(); the unit tests and the fuzz targets
// link a fake with a scripted register and a virtual clock instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// One read(): as many bytes as are there, up to n, or 0 after 0.1 s of silence.
// A failed read returns 0 after the same 0.1 s, so the waits keep their length.
long portRead(int fd, uint8_t* buf, std::size_t n);

// Writes all n bytes (short writes continued, EINTR retried, a full output queue
// waited on while it drains, up to 2 s without progress). Returns n, or what was
// written before the line failed or stalled (0 when nothing was), never negative.
long portWrite(int fd, const uint8_t* buf, std::size_t n);

// Sleeps for the given microseconds.
void portPause(unsigned micros);

// Current calendar time, for the dump log's name and stamp.
std::time_t portNow();

// Monotonic time in microseconds. A wait that keeps receiving bytes ends by it; a
// quiet line ends every wait by its count of silent reads, as before.
std::uint64_t portMicros();

// Ends the process with the given status. The fuzz and unit builds unwind instead.
[[noreturn]] void portExit(int code);
