// The progress of several updates at once. On a terminal every probe has one line, redrawn
// in place, and messages scroll above them; otherwise every change is a plain line. Safe to
// use from one thread per probe.
#pragma once

#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace klov {

class ProgressBoard {
  public:
    // One line per name (a probe's serial number). `terminal`: `out` is a terminal;
    // `errOnTerminal`: so is `err`, which then shares the screen with the board.
    ProgressBoard(std::ostream& out, std::ostream& err, bool terminal, bool errOnTerminal,
                  std::vector<std::string> names);

    void Start();
    // What probe `slot` is doing, in words.
    void State(std::size_t slot, const std::string& text);
    // A flash phase at `percent`.
    void Progress(std::size_t slot, const char* phase, int percent);
    // A message about probe `slot` (already prefixed lines are not expected).
    void Message(std::size_t slot, const std::string& text);
    // Leaves the board with every line as it stands.
    void Finish();

  private:
    void DrawLine(std::size_t slot);
    void DrawAll();

    std::mutex m_;
    std::ostream& out_;
    std::ostream& err_;
    bool terminal_;
    bool errOnTerminal_;
    std::vector<std::string> names_;
    std::vector<std::string> lines_;
    std::vector<int> shown_;  // last percent shown (plain lines: last tenth)
    std::vector<std::string> phases_;
    bool drawn_ = false;
};

}  // namespace klov
