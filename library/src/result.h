// Outcome record of every transport operation. It never crosses the C boundary: exports test
// it with Failed() and drop it.
#pragma once

#include <cstdint>
#include <string>

namespace ardellix {

constexpr std::int32_t ResultOk = 0;
constexpr std::int32_t ResultError = 3;

class Result {
  public:
    Result() = default;
    Result(std::int32_t code, std::string message);

    static Result Ok() { return Result(); }
    static Result Error(std::string message) { return Result(ResultError, std::move(message)); }

    bool Failed() const { return code_ != ResultOk; }
    std::int32_t Code() const { return code_; }
    std::string Message() const { return message_; }

    // Merges another outcome into this one: failures accumulate their messages joined by
    // "\n- AND -\n", and a failure never turns back into success.
    void Combine(const Result& other);

  private:
    std::int32_t code_ = ResultOk;
    std::string message_;
};

}  // namespace ardellix
