// Geometry and fonts shared by the two windows.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <string>

namespace mirovane::qt {

// A layout rectangle given in twips, in pixels at 96 dpi (15 twips to the pixel); Qt scales
// pixels for the screen.
QRect Twips(int left, int top, int width, int height);
QSize TwipsSize(int width, int height);

// Tahoma at 8.25 points where it is installed, the platform's sans-serif face otherwise.
QFont DialogFont(bool bold = false);

// The core's texts are byte strings; the windows show them as UTF-8.
inline QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace mirovane::qt
