#include "PortOffer.h"

#include "OwnTexts.h"
#include "PortProbe.h"
#include "SettingsStore.h"
#include "TextIds.h"

namespace {

constexpr int kProbePatienceMs = 900;  // ms the ports get to open before the dialog shows
constexpr int kHighestComPort = 256;   // the highest COM number a system gives
constexpr char kLastPort[] = "LastPort";

// A port is free when it could be opened (it was closed again at once). What opening it said
// is kept for the port dialog, in the payload's language. A free port always shows what it is:
// its friendly name or device path, or at least that it is a serial port.
PortChoice DescribePort(int number, const PortOpenResult& said, int language) {
    PortChoice choice;
    choice.number = number;
    choice.description = ComPortDescription(number);
    choice.device = said.device.empty() ? ComPortDevicePath(number) : said.device;
    choice.status = said.status;
    choice.free = said.Opened();
    choice.usbAdaptor = ComPortIsUsbAdaptor(number);
    if (!choice.free) {
        // The system's own words come in the system's language; a window in another language
        // keeps to its own sentence.
        PortOpenResult result = said;
        if (language != textid::kEnglish) result.reason.clear();
        choice.whyNotFree = DescribePortOpen(result, language);
    }
    if (choice.description.empty()) {
        choice.description = owntext::Text(
            choice.free ? owntext::kSerialPortFallback : owntext::kNoDevice, language);
    }
    return choice;
}

}  // namespace

PortOffer OfferPorts(const std::function<std::unique_ptr<SerialPort>()>& makePort, int language,
                     SettingsStore* settings) {
    // COM 1 to COM 4 always, then the ports above them that have hardware behind them: a
    // USB adaptor on Windows usually gets COM 5 or higher.
    std::vector<int> numbers = {1, 2, 3, 4};
    for (int n : makePort()->PresentPortsAbove4()) numbers.push_back(n);
    // All ports are tried at once, so that a port that hangs cannot hold up the dialog.
    const std::vector<PortOpenResult> said = ProbePorts(numbers, makePort, kProbePatienceMs);
    PortOffer offer;
    for (std::size_t k = 0; k < numbers.size(); ++k) {
        offer.ports.push_back(DescribePort(numbers[k], said[k], language));
    }
    offer.remembered = RememberedPort(settings);
    PreselectPort(offer);
    return offer;
}

void PreselectPort(PortOffer& offer) {
    const auto first = [&](const std::function<bool(const PortChoice&)>& wanted) {
        for (std::size_t k = 0; k < offer.ports.size(); ++k) {
            if (offer.ports[k].free && wanted(offer.ports[k])) return static_cast<int>(k);
        }
        return -1;
    };
    offer.reason = PreselectReason::Remembered;
    offer.preselected = first([&](const PortChoice& p) { return p.number == offer.remembered; });
    if (offer.preselected < 0) {
        offer.reason = PreselectReason::UsbAdaptor;
        offer.preselected = first([](const PortChoice& p) { return p.usbAdaptor; });
    }
    if (offer.preselected < 0) {
        offer.reason = PreselectReason::FirstFree;
        offer.preselected = first([](const PortChoice&) { return true; });
    }
    if (offer.preselected < 0) offer.reason = PreselectReason::None;
    for (std::size_t k = 0; k < offer.ports.size(); ++k) {
        offer.ports[k].preselected = static_cast<int>(k) == offer.preselected;
    }
}

int RememberedPort(SettingsStore* settings) {
    std::string value;
    try {
        if (settings == nullptr || !settings->Read(kLastPort, value)) return 0;
    } catch (...) {
        return 0;  // an unreadable profile is no profile
    }
    if (value.empty() || value.size() > 3 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    const int number = std::stoi(value);
    return number >= 1 && number <= kHighestComPort ? number : 0;
}

void RememberPort(SettingsStore* settings, int comPort) {
    if (settings == nullptr || comPort < 1 || comPort > kHighestComPort) return;
    try {
        settings->Write(kLastPort, std::to_string(comPort));
    } catch (...) {
        // Remembering is a convenience; nothing of it may reach the download.
    }
}

std::string PreselectReasonText(PreselectReason reason) {
    switch (reason) {
        case PreselectReason::Remembered:
            return "the port that programmed the last device";
        case PreselectReason::UsbAdaptor:
            return "the first free USB adaptor";
        case PreselectReason::FirstFree:
            return "the first free port";
        case PreselectReason::None:
            break;
    }
    return "no port is free";
}
