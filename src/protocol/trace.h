// A frame trace that never blocks the host: when TALVO_TRACE names a file
// (or "-" for standard error) as the library loads, every frame sent and
// every reply received is appended there with a millisecond time stamp, the
// terminal number and the command code.
#pragma once

#include <cstdint>
#include <string>

namespace talvo::trace {

enum class Direction { kSent, kReceived };

// Appends one line for the frame to `target` (the value of TALVO_TRACE: a
// file name, "-" for standard error, empty for no trace).
void Frame(const std::string& target, Direction direction, const unsigned char* bytes, std::uint32_t count, int terminal, int command);
// Terminal and command of a request frame (-1 where they do not read).
int RequestTerminal(const unsigned char* bytes, std::uint32_t count);
int RequestCommand(const unsigned char* bytes, std::uint32_t count);

}  // namespace talvo::trace
