#include "proven_link.h"

namespace mirovane {

ProvenLink::ProvenLink(BusDirectory& bus, const DeviceFacts& adopted)
    : bus_(bus),
      handle_(adopted.handle),
      mode_(adopted.bootloader ? LinkMode::Bootloader : LinkMode::Application) {
    status_ = {handle_ != 0, adopted.bootloader,
               adopted.bootloader ? std::nullopt : adopted.serial};
}

ProvenLink::~ProvenLink() {
    Close();
}

bool ProvenLink::Open() {
    // By now the index may name another probe than the one chosen at the start.
    findings_ = "the probe chosen at the start no longer answers; nothing was written.";
    return false;
}

void ProvenLink::Hold() {
    const bool bootloader = handle_ != 0 && mode_ == LinkMode::Bootloader;
    if (bootloader != holdingBootloader_) {
        holdingBootloader_ = bootloader;
        bus_.HoldingBootloader(bootloader);
    }
}

bool ProvenLink::OpenApplication(std::int32_t) {
    return Open();
}

bool ProvenLink::OpenBootloader(std::int32_t) {
    return Open();
}

void ProvenLink::Close() {
    bus_.Forget(waiter_);
    if (handle_ != 0) {
        bus_.Owned().CloseSCA(handle_);
        handle_ = 0;
    }
    mode_ = LinkMode::Unknown;
    status_ = {};
    Hold();
}

bool ProvenLink::ReadSerialNo(char (&field)[10]) {
    return ReadSerialNoNoting(bus_.Owned(), handle_, field, status_);
}

void ProvenLink::BeforeRestart() {
    bus_.Forget(waiter_);
    waiter_ = {};
    bus_.BeforeRestart();
}

Reach ProvenLink::Reconnect(LinkMode mode, const ProbeProof& proof) {
    const Reach reach = bus_.Look(waiter_, mode, proof, lookFindings_);
    if (reach == Reach::Found) {
        handle_ = waiter_.found;
        waiter_.found = 0;
        mode_ = mode;
        status_ = {true, mode == LinkMode::Bootloader, std::nullopt};
        Hold();
    }
    return reach;
}

std::string ProvenLink::Findings() const {
    return findings_.empty() ? lookFindings_ : findings_;
}

}  // namespace mirovane
