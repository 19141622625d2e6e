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
    const bool tahoma = QFontDatabase::hasFamily(QStringLiteral("Tahoma"));
    QFont font = tahoma ? QFont(QStringLiteral("Tahoma"))
                        : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (!tahoma) {
        // The usual sans faces run wider than Tahoma; their semi-condensed cut, where the
        // system has one, keeps the captions inside the layout's boxes.
        font.setStyleHint(QFont::SansSerif);
        font.setStretch(QFont::SemiCondensed);
    }
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

}  // namespace mirovane::qt
