// mkinline <hex path>: writes <hex path>.bas, the firmware module source text. Messages go to
// standard error; any failure gives exit status 1 so that a broken HEX file stops the build.
#include <iostream>
#include <string>

#include "message_box.h"
#include "mkinline.h"

namespace {

class StderrBoxes : public mirovane::MessageBoxes {
  public:
    void ErrorBox(const std::string& message) override {
        std::cerr << "mkinline: " << message << '\n';
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: mkinline <hex file>\n"
                     "writes the firmware module source text to <hex file>.bas\n";
        return 2;
    }
    StderrBoxes boxes;
    return mirovane::MkInline(argv[1], boxes) ? 0 : 1;
}
