// Plain control objects of the updater's windows. They hold exactly what the operator sees
// (caption, enabled, visible, value); a front end mirrors them into real widgets.
#pragma once

#include <string>

namespace mirovane {

struct Label {
    std::string Caption;
    bool Visible = true;
};

struct CommandButton {
    std::string Caption;
    bool Enabled = true;
};

struct TextBox {
    std::string Text;
};

struct ProgressBarControl {
    float Value = 0.0F;  // 0 to 100
    bool Visible = true;
};

struct TimerControl {
    int Interval = 1000;  // milliseconds
    bool Enabled = false;
};

}  // namespace mirovane
