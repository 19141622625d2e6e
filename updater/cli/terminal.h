// What klov needs to know about and do to its terminal, kept in one place: whether a stream is
// a terminal, redrawing lines in place, and sleeping.
#pragma once

#include <iosfwd>
#include <string>

namespace klov {

enum class Stream { In, Out, Err };

bool IsTerminal(Stream stream);

// Moves the cursor up `lines` lines to the start of the line and clears from there to the end
// of the screen, so that those lines can be drawn again.
void RedrawFrom(std::ostream& out, int lines);

// Clears the rest of the current line (after text shorter than what was there).
void ClearToEndOfLine(std::ostream& out);

void SleepMs(int milliseconds);

}  // namespace klov
