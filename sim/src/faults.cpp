#include "faults.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace klovsim::detail {
namespace {

bool isReadFault(Fault f) {
    switch (f) {
        case Fault::ReadFails:
        case Fault::ReadTimeout:
        case Fault::ReadShort:
        case Fault::GarbleEcho:
        case Fault::GarbleSelector:
        case Fault::GarbleData:
        case Fault::UnplugBeforeReply:
            return true;
        default:
            return false;
    }
}

bool isWriteFault(Fault f) {
    return f == Fault::WriteFails || f == Fault::WriteTimeout || f == Fault::WriteShort ||
           f == Fault::Unplug;
}

bool belongsTo(Fault f, Op op) {
    switch (op) {
        case Op::Open:
            return f == Fault::OpenFails;
        case Op::Config:
            return f == Fault::ConfigFails;
        case Op::Claim:
            return f == Fault::ClaimFails;
        case Op::Close:
            return f == Fault::CloseFails;
        case Op::Write:
            return isWriteFault(f);
        case Op::Read:
            return isReadFault(f);
    }
    return false;
}

const std::pair<const char*, Fault> kNames[] = {
    {"write-error", Fault::WriteFails},
    {"write-timeout", Fault::WriteTimeout},
    {"short-write", Fault::WriteShort},
    {"read-error", Fault::ReadFails},
    {"no-reply", Fault::ReadTimeout},
    {"short-reply", Fault::ReadShort},
    {"garbled-echo", Fault::GarbleEcho},
    {"garbled-selector", Fault::GarbleSelector},
    {"garbled-data", Fault::GarbleData},
    {"unplug", Fault::Unplug},
    {"unplug-before-reply", Fault::UnplugBeforeReply},
};

}  // namespace

void FaultTable::validate(const FaultRule& rule) {
    // Open, configuration, claim and close: the faults of no transfer.
    const bool connection = !isReadFault(rule.kind) && !isWriteFault(rule.kind);
    if (connection && rule.counting == Counting::ByExchange) {
        throw std::invalid_argument(
            "klovsim: open, configuration, claim and close faults are "
            "counted by call, not by exchange");
    }
    if (rule.at < 0 || rule.times < -1) {
        throw std::invalid_argument("klovsim: fault position and count must not be negative");
    }
}

std::vector<Fault> FaultTable::hit(Op op, int probeId, std::optional<std::int64_t> exchange) {
    std::vector<Fault> out;
    for (Active& f : faults_) {
        if (!belongsTo(f.rule.kind, op) || (f.rule.probe >= 0 && f.rule.probe != probeId)) {
            continue;
        }
        std::int64_t n = 0;
        if (f.rule.counting == Counting::ByCall) {
            n = f.seen++;
        } else if (exchange) {
            n = *exchange;
        } else {
            continue;
        }
        if (n >= f.rule.at && (f.rule.times < 0 || n < f.rule.at + f.rule.times)) {
            out.push_back(f.rule.kind);
        }
    }
    return out;
}

std::string FaultTable::names() {
    std::string out;
    for (const auto& k : kNames) {
        out += out.empty() ? "" : ", ";
        out += k.first;
    }
    return out;
}

std::optional<Fault> FaultTable::byName(std::string_view name) {
    const auto* match = std::find_if(std::begin(kNames), std::end(kNames),
                                     [&](const auto& k) { return name == k.first; });
    if (match == std::end(kNames)) {
        return std::nullopt;
    }
    return match->second;
}

}  // namespace klovsim::detail
