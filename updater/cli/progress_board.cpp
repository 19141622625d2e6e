#include "progress_board.h"

#include <ostream>

#include "terminal.h"
#include "text.h"
#include "update_common.h"

namespace klov {

ProgressBoard::ProgressBoard(std::ostream& out, std::ostream& err, bool terminal,
                             bool errOnTerminal, std::vector<std::string> names)
    : out_(out),
      err_(err),
      terminal_(terminal),
      errOnTerminal_(errOnTerminal),
      names_(std::move(names)),
      lines_(names_.size(), "waiting"),
      shown_(names_.size(), -1),
      phases_(names_.size()) {}

void ProgressBoard::Start() {
    std::lock_guard<std::mutex> lk(m_);
    if (terminal_) {
        DrawAll();
    }
}

void ProgressBoard::DrawAll() {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        out_ << Printable(names_[i]) << "  " << lines_[i];
        ClearToEndOfLine(out_);
        out_ << '\n';
    }
    out_.flush();
    drawn_ = true;
}

void ProgressBoard::DrawLine(std::size_t slot) {
    // The cursor rests below the last line of the board.
    const int up = static_cast<int>(names_.size() - slot);
    out_ << "\x1b[" << up << "A\r" << Printable(names_[slot]) << "  " << lines_[slot];
    ClearToEndOfLine(out_);
    out_ << "\x1b[" << up << "B\r" << std::flush;
}

void ProgressBoard::State(std::size_t slot, const std::string& text) {
    std::lock_guard<std::mutex> lk(m_);
    shown_[slot] = -1;
    lines_[slot] = text;
    if (terminal_ && drawn_) {
        DrawLine(slot);
    } else if (!terminal_) {
        out_ << Printable(names_[slot]) << ": " << text << std::endl;
    }
}

void ProgressBoard::Progress(std::size_t slot, const char* phase, int percent) {
    std::lock_guard<std::mutex> lk(m_);
    if (phases_[slot] != phase) {
        phases_[slot] = phase;
        shown_[slot] = -1;
    }
    if (terminal_) {
        if (percent != shown_[slot]) {
            shown_[slot] = percent;
            lines_[slot] = ProgressBar(phase, percent);
            if (drawn_) {
                DrawLine(slot);
            }
        }
        return;
    }
    const int step = percent / 10 * 10;
    if (step > shown_[slot]) {
        shown_[slot] = step;
        out_ << Printable(names_[slot]) << ": " << phase << ' ' << step << '%' << std::endl;
    }
}

void ProgressBoard::Message(std::size_t slot, const std::string& text) {
    std::lock_guard<std::mutex> lk(m_);
    const std::string lines = AsLines(text, "klov: " + Printable(names_[slot]) + ": ");
    if (terminal_ && drawn_ && errOnTerminal_) {
        RedrawFrom(out_, static_cast<int>(names_.size()));
        out_.flush();
        err_ << lines << std::flush;
        DrawAll();
        return;
    }
    err_ << lines << std::flush;
}

void ProgressBoard::Finish() {
    std::lock_guard<std::mutex> lk(m_);
    out_.flush();
}

}  // namespace klov
