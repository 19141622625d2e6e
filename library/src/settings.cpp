// Detector settings: the four 16-bit parameters, the two modes, the one-byte settings and
// saving them on the probe.
#include "ardellix.h"
#include "exchange.h"
#include "exports.h"

namespace ardellix {
namespace {

constexpr std::uint8_t kReadParameterCommand = 0x51;
constexpr std::uint8_t kSetParameterCommand = 0x52;
constexpr std::uint8_t kSaveSettingsCommand = 0x53;
constexpr std::uint8_t kReadIntegralModeCommand = 0x54;
constexpr std::uint8_t kSetIntegralModeCommand = 0x55;
constexpr std::uint8_t kReadAnalogOutputModeCommand = 0x57;
constexpr std::uint8_t kSetAnalogOutputModeCommand = 0x58;
constexpr std::uint8_t kReadCpsGainCommand = 0x59;
constexpr std::uint8_t kSetCpsGainCommand = 0x5A;
constexpr std::uint8_t kReadResponseTimeCommand = 0x5B;
constexpr std::uint8_t kSetResponseTimeCommand = 0x5C;

constexpr std::int32_t kParameterReplyLength = 4;
constexpr std::int32_t kByteReplyLength = 2;

std::uint8_t LowByte(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint8_t OnOff(std::int32_t on) {
    return on != 0 ? 1 : 0;
}

int32_t SetWith(ScaHandle handle, std::uint8_t command, std::uint8_t value) {
    return Guarded(handle, [&](Transport& t) { return SetByte(t, command, value); });
}

int32_t SetParam(ScaHandle handle, Parameter parameter, int32_t value) {
    return Guarded(handle, [&](Transport& t) { return SetParameter(t, parameter, value); });
}

int32_t ReadParam(ScaHandle handle, Parameter parameter, int32_t* value) {
    return Guarded(handle, [&](Transport& t) { return ReadParameter(t, parameter, value); });
}

int32_t ReadWith(ScaHandle handle, std::uint8_t command, bool asFlag, int32_t* out) {
    return Guarded(handle, [&](Transport& t) { return ReadByte(t, command, asFlag, out); });
}

}  // namespace

bool SetParameter(Transport& transport, Parameter parameter, std::int32_t value) {
    ByteQueue queue{kSetParameterCommand, static_cast<std::uint8_t>(parameter)};
    PushLe16(queue, static_cast<std::uint32_t>(value));
    return Exchange(transport, queue, 0);
}

bool ReadParameter(Transport& transport, Parameter parameter, std::int32_t* value) {
    const auto index = static_cast<std::uint8_t>(parameter);
    ByteQueue reply;
    if (!Exchange(transport, {kReadParameterCommand, index}, kParameterReplyLength, reply)) {
        return false;
    }
    if (reply.size() < static_cast<std::size_t>(kParameterReplyLength) ||
        reply[0] != kReadParameterCommand || reply[1] != index) {
        return false;
    }
    if (value != nullptr) {
        *value = reply[2] + 256 * reply[3];
    }
    return true;
}

bool SetByte(Transport& transport, std::uint8_t command, std::uint8_t value) {
    ByteQueue queue{command, value};
    return Exchange(transport, queue, 0);
}

bool ReadByte(Transport& transport, std::uint8_t command, bool asFlag, std::int32_t* value) {
    ByteQueue reply;
    if (!Exchange(transport, {command}, kByteReplyLength, reply)) {
        return false;
    }
    if (reply.size() < static_cast<std::size_t>(kByteReplyLength) || reply[0] != command) {
        return false;
    }
    if (value != nullptr) {
        *value = asFlag ? (reply[1] != 0 ? 1 : 0) : reply[1];
    }
    return true;
}

bool StoreSettings(Transport& transport) {
    ByteQueue queue{kSaveSettingsCommand};
    return Exchange(transport, queue, 0);
}

}  // namespace ardellix

using ardellix::Parameter;

int32_t ARDELLIX_CALL SetHV(ScaHandle handle, int32_t value) {
    return ardellix::SetParam(handle, Parameter::HV, value);
}
int32_t ARDELLIX_CALL ReadHV(ScaHandle handle, int32_t* value) {
    return ardellix::ReadParam(handle, Parameter::HV, value);
}
int32_t ARDELLIX_CALL SetGain(ScaHandle handle, int32_t value) {
    return ardellix::SetParam(handle, Parameter::Gain, value);
}
int32_t ARDELLIX_CALL ReadGain(ScaHandle handle, int32_t* value) {
    return ardellix::ReadParam(handle, Parameter::Gain, value);
}
int32_t ARDELLIX_CALL SetLLD(ScaHandle handle, int32_t value) {
    return ardellix::SetParam(handle, Parameter::LLD, value);
}
int32_t ARDELLIX_CALL ReadLLD(ScaHandle handle, int32_t* value) {
    return ardellix::ReadParam(handle, Parameter::LLD, value);
}
int32_t ARDELLIX_CALL SetULD(ScaHandle handle, int32_t value) {
    return ardellix::SetParam(handle, Parameter::ULD, value);
}
int32_t ARDELLIX_CALL ReadULD(ScaHandle handle, int32_t* value) {
    return ardellix::ReadParam(handle, Parameter::ULD, value);
}

int32_t ARDELLIX_CALL SetIntegralMode(ScaHandle handle, int32_t on) {
    return ardellix::SetWith(handle, ardellix::kSetIntegralModeCommand, ardellix::OnOff(on));
}
int32_t ARDELLIX_CALL ReadIntegralMode(ScaHandle handle, int32_t* on) {
    return ardellix::ReadWith(handle, ardellix::kReadIntegralModeCommand, true, on);
}
int32_t ARDELLIX_CALL SetAnalogOutputMode(ScaHandle handle, int32_t on) {
    return ardellix::SetWith(handle, ardellix::kSetAnalogOutputModeCommand, ardellix::OnOff(on));
}
int32_t ARDELLIX_CALL ReadAnalogOutputMode(ScaHandle handle, int32_t* on) {
    return ardellix::ReadWith(handle, ardellix::kReadAnalogOutputModeCommand, true, on);
}
int32_t ARDELLIX_CALL SetCPSGain(ScaHandle handle, int32_t value) {
    return ardellix::SetWith(handle, ardellix::kSetCpsGainCommand, ardellix::LowByte(value));
}
int32_t ARDELLIX_CALL ReadCPSGain(ScaHandle handle, int32_t* value) {
    return ardellix::ReadWith(handle, ardellix::kReadCpsGainCommand, false, value);
}
int32_t ARDELLIX_CALL SetResponseTime(ScaHandle handle, int32_t value) {
    return ardellix::SetWith(handle, ardellix::kSetResponseTimeCommand, ardellix::LowByte(value));
}
int32_t ARDELLIX_CALL ReadResponseTime(ScaHandle handle, int32_t* value) {
    return ardellix::ReadWith(handle, ardellix::kReadResponseTimeCommand, false, value);
}
int32_t ARDELLIX_CALL SaveSettings(ScaHandle handle) {
    return ardellix::Guarded(handle,
                             [](ardellix::Transport& t) { return ardellix::StoreSettings(t); });
}
