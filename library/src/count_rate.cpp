// The probe's count rate and its status flag.
#include "ardellix.h"
#include "exchange.h"
#include "exports.h"

namespace ardellix {
namespace {

constexpr std::uint8_t kReadCpsCommand = 0x56;
constexpr std::int32_t kCpsReplyLength = 4;

}  // namespace

bool ReadCountRate(Transport& transport, std::int32_t* rate, std::int32_t* flag) {
    ByteQueue reply;
    if (!Exchange(transport, {kReadCpsCommand}, kCpsReplyLength, reply)) {
        return false;
    }
    if (reply.size() < static_cast<std::size_t>(kCpsReplyLength) || reply[0] != kReadCpsCommand) {
        return false;
    }
    if (rate != nullptr) {
        *rate = reply[1] + 256 * reply[2];
    }
    if (flag != nullptr) {
        *flag = reply[3] != 0 ? 1 : 0;
    }
    return true;
}

}  // namespace ardellix

int32_t ARDELLIX_CALL ReadCPS(ScaHandle handle, int32_t* rate, int32_t* flag) {
    return ardellix::Guarded(
        handle, [&](ardellix::Transport& t) { return ardellix::ReadCountRate(t, rate, flag); });
}
