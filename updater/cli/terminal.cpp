#include "terminal.h"

#include <chrono>
#include <ostream>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define KLOV_ISATTY _isatty
#else
#include <unistd.h>
#define KLOV_ISATTY isatty
#endif

namespace klov {

bool IsTerminal(Stream stream) {
    const int fd = stream == Stream::In ? 0 : stream == Stream::Out ? 1 : 2;
    return KLOV_ISATTY(fd) == 1;
}

void RedrawFrom(std::ostream& out, int lines) {
    out << '\r';
    if (lines > 0) {
        out << "\x1b[" << lines << 'A';
    }
    out << "\x1b[J";
}

void ClearToEndOfLine(std::ostream& out) {
    out << "\x1b[K";
}

void SleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace klov
