// Mirovane: updates the firmware of a kLOV-VR probe.
#include <QApplication>

#include "frontend.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    mirovane::qt::Frontend frontend;
    frontend.Start();
    return QApplication::exec();
}
