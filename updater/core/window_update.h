// The update behind the main window's Update button: the window's side of the update
// sequence. Its events move the window's captions, progress bar, status text and buttons and
// show its boxes and dialog; its link is the window's one connection handle at device index 0.
#pragma once

#include <optional>
#include <string>

#include "probe_link.h"
#include "top_level.h"
#include "update_events.h"
#include "update_sequence.h"

namespace mirovane {

class WindowEvents final : public UpdateEvents {
  public:
    explicit WindowEvents(TopLevel& window) : w_(window) {}

    void ErrorBox(const std::string& message) override;
    void Phase(UpdatePhase phase) override;
    void Progress(UpdatePhase phase, std::int32_t address, double percent) override;
    void Status(const std::string& text) override;
    std::optional<std::string> AskSerialNumber() override;
    void Wait(int milliseconds) override;
    void Restarting(bool intoBootloader) override;
    void Reconnected(bool bootloader) override;
    void Busy(bool on) override;
    void ShowIdentity() override;

  private:
    TopLevel& w_;
    bool connectWasEnabled_ = true;
};

// The window's connection handle, opened by device index. The window updates one probe only
// (see WindowUpdate::Run), so the index names it before and after each restart.
class WindowLink final : public ProbeLink {
  public:
    explicit WindowLink(TopLevel& window);

    // With two probes attached, index 0 may name another probe after a restart than the one
    // whose serial number was checked, and one probe's identity would be written into the
    // other: the window updates one probe at a time.
    std::string Obstacle() override;
    ScaHandle Handle() const override;
    LinkMode Mode() const override { return LinkMode::Unknown; }
    bool OpenApplication(std::int32_t index) override;
    bool OpenBootloader(std::int32_t index) override;
    void Close() override;
    bool ReadSerialNo(char (&field)[10]) override;
    Reach Reconnect(LinkMode mode, const ProbeProof& proof) override;
    const LinkStatus& Status() const override { return status_; }

  private:
    bool Opened(bool bootloader);

    TopLevel& w_;
    ArdellixApi& lib_;
    LinkStatus status_;
};

class WindowUpdate {
  public:
    explicit WindowUpdate(TopLevel& window);

    void Run();
    UpdateSequence& Sequence() { return sequence_; }

  private:
    WindowEvents events_;
    WindowLink link_;
    UpdateSequence sequence_;
};

}  // namespace mirovane
