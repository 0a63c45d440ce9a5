#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DownloadView.h"
#include "SerialPort.h"

class SettingsStore;

// Why the port dialog preselects the port it does.
enum class PreselectReason {
    None,        // no port is free
    Remembered,  // the port that programmed the last device, free again
    UsbAdaptor,  // the first free USB serial adaptor
    FirstFree,   // the first free port
};

// The ports the window offers, in its order: COM 1 to COM 4, then the present ports above them,
// each tried at once and described in the language offset `language`, with the one to
// preselect marked.
struct PortOffer {
    std::vector<PortChoice> ports;
    int preselected = -1;  // index into ports; -1 when none is free
    PreselectReason reason = PreselectReason::None;
    int remembered = 0;  // the port stored as the last one that programmed a device; 0 for none

    bool AnyFree() const { return preselected >= 0; }
};

PortOffer OfferPorts(const std::function<std::unique_ptr<SerialPort>()>& makePort, int language,
                     SettingsStore* settings);

// The port a technician most likely wants, so that Enter alone takes it: the one that
// programmed the last device when it is listed and free, else the first free USB adaptor
// (built-in ports rarely have a Field Programmer on them), else the first free port.
// Marks it in `offer` (preselected and reason).
void PreselectPort(PortOffer& offer);

// The stored port that last programmed a device; 0 when none is stored or it is unreadable.
int RememberedPort(SettingsStore* settings);
// Stores `comPort` as the one that last programmed a device. A store that fails is ignored:
// remembering is a convenience, never a reason for programming to fail.
void RememberPort(SettingsStore* settings, int comPort);

// A short reason in English for fieldprog-cli ("the port that programmed the last device").
std::string PreselectReasonText(PreselectReason reason);
