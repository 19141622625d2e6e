#include "result.h"

#include <algorithm>
#include <utility>

namespace ardellix {

Result::Result(std::int32_t code, std::string message)
    : code_(code), message_(std::move(message)) {}

void Result::Combine(const Result& other) {
    if (Failed() && other.Failed()) {
        message_ += "\n- AND -\n";
    }
    if (other.Failed()) {
        message_ += other.message_;
    }
    code_ = std::max(code_, other.code_);
}

}  // namespace ardellix
