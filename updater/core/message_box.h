// The one thing every part of the updater core needs from the outside world: a way to tell
// the operator that something failed. The front end shows it as a modal message box with the
// title "Mirovane", the error icon and a single OK button, and returns once it is dismissed.
#pragma once

#include <string>

namespace mirovane {

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    virtual void ErrorBox(const std::string& message) = 0;
};

}  // namespace mirovane
