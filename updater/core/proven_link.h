// The link of an update that shares the bus with others: it starts from a connection the
// caller proved, and after every restart takes only a connection the bus directory proved to
// be its probe.
#pragma once

#include <string>

#include "bus_directory.h"
#include "probe_link.h"

namespace mirovane {

class ProvenLink final : public ProbeLink {
  public:
    // Takes over the open connection of a device found by a scan (its handle is the link's
    // from now on). The link never opens another device by index.
    ProvenLink(BusDirectory& bus, const DeviceFacts& adopted);
    ~ProvenLink() override;
    ProvenLink(const ProvenLink&) = delete;
    ProvenLink& operator=(const ProvenLink&) = delete;

    ScaHandle Handle() const override { return handle_; }
    LinkMode Mode() const override { return mode_; }
    bool OpenApplication(std::int32_t index) override;
    bool OpenBootloader(std::int32_t index) override;
    void Close() override;
    bool ReadSerialNo(char (&field)[10]) override;
    void BeforeRestart() override;
    Reach Reconnect(LinkMode mode, const ProbeProof& proof) override;
    std::string Findings() const override;
    const LinkStatus& Status() const override { return status_; }

  private:
    // Refuses: the index was only where the chosen probe was found.
    bool Open();
    // Tells the bus whether this link now holds a probe in bootloader mode.
    void Hold();

    BusDirectory& bus_;
    ScaHandle handle_ = 0;
    LinkMode mode_ = LinkMode::Unknown;
    bool holdingBootloader_ = false;
    LinkStatus status_;
    BusDirectory::Waiter waiter_;
    std::string findings_;      // of the link itself
    std::string lookFindings_;  // of the last look after a restart
};

}  // namespace mirovane
