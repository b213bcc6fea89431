#pragma once

#include <string_view>

// The system's own log, where an administrator of the platform looks for a program that runs
// unattended: on Linux the journal (through the system's log socket, unless standard error
// already reaches the journal), on Windows the Application event log under a source named
// after the program. Standard error always has the text too. Any thread.
namespace platform {

enum class Told {
  kStarts,  // a cause that keeps a file or the program waiting has begun (a warning)
  kEnds,    // it has ended
  kOnce,    // an event of its own (a note)
};

// Tells `text` as `source` (the program title); nothing here fails the program.
void TellSystemLog(std::string_view source, std::string_view text, Told kind);

}  // namespace platform
