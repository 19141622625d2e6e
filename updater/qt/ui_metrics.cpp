#include "ui_metrics.h"

#include <QFontDatabase>
#include <QtMath>

namespace mirovane::qt {

namespace {

int Px(int twips) {
    return qRound(twips / 15.0);
}

}  // namespace

QRect Twips(int left, int top, int width, int height) {
    return {Px(left), Px(top), Px(width), Px(height)};
}

QSize TwipsSize(int width, int height) {
    return {Px(width), Px(height)};
}

QFont DialogFont(bool bold) {
    QFont font = QFontDatabase::hasFamily(QStringLiteral("Tahoma"))
                     ? QFont(QStringLiteral("Tahoma"))
                     : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (!QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) {
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

}  // namespace mirovane::qt
