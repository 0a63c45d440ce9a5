#include "PortsCommand.h"

#include <cstdio>
#include <string>

#include "CliOptions.h"
#include "Console.h"
#include "ExitCodes.h"
#include "PortOffer.h"
#include "SettingsStore.h"

namespace {

// One word for what opening the port said.
const char* StateWord(const PortChoice& port) {
    switch (port.status) {
        case PortOpenStatus::Opened:
            return "free";
        case PortOpenStatus::Busy:
            return "held";
        case PortOpenStatus::NotAnswering:
            return "not-answering";
        case PortOpenStatus::NoDevice:
            return "absent";
        case PortOpenStatus::NotSerial:
            return "not-serial";
        case PortOpenStatus::NoPermission:
            return "no-permission";
        case PortOpenStatus::Failed:
            break;
    }
    return "failed";
}

const char* ReasonWord(PreselectReason reason) {
    switch (reason) {
        case PreselectReason::Remembered:
            return "remembered";
        case PreselectReason::UsbAdaptor:
            return "usb-adaptor";
        case PreselectReason::FirstFree:
            return "first-free";
        case PreselectReason::None:
            break;
    }
    return "none";
}

// A JSON string of UTF-8 text: quotes, backslashes and control characters escaped, the rest
// as it is (friendly names and reasons may carry accents).
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (code < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

int RunPortsCommand(const CliOptions& options, Console& console) {
    const auto settings = MakeUserSettings();
    const PortOffer offer = OfferPorts(MakeSystemSerialPort, 0, settings.get());
    if (options.json) {
        std::string text = "{\"ports\":[";
        for (const PortChoice& port : offer.ports) {
            if (&port != &offer.ports.front()) text += ",";
            text += "{\"com\":" + std::to_string(port.number) + ",\"device\":" + Json(port.device) +
                    ",\"name\":" + Json(port.description) +
                    ",\"usb_adaptor\":" + (port.usbAdaptor ? "true" : "false") + ",\"state\":\"" +
                    StateWord(port) + "\",\"why\":" + Json(port.whyNotFree) +
                    ",\"preselected\":" + (port.preselected ? "true" : "false") + "}";
        }
        text += "],\"preselected\":" +
                (offer.AnyFree() ? std::to_string(offer.ports[offer.preselected].number)
                                 : std::string("null")) +
                ",\"reason\":\"" + ReasonWord(offer.reason) + "\",\"remembered\":" +
                (offer.remembered > 0 ? std::to_string(offer.remembered) : std::string("null")) +
                "}";
        console.Result(text);
        return exitcode::kOk;
    }
    for (const PortChoice& port : offer.ports) {
        std::string line = (port.preselected ? "* " : "  ") +
                           Padded("COM " + std::to_string(port.number), 7) +
                           Padded(port.device.empty() ? "-" : port.device, 16) + " " +
                           Padded(port.usbAdaptor ? "USB adaptor" : "built-in", 12) +
                           Padded(StateWord(port), 14) + port.description;
        if (!port.whyNotFree.empty()) line += " (" + port.whyNotFree + ")";
        console.Result(line);
    }
    console.Result(offer.AnyFree() ? "The window preselects COM " +
                                         std::to_string(offer.ports[offer.preselected].number) +
                                         ": " + PreselectReasonText(offer.reason) + "."
                                   : "No port is free: the window would not start.");
    return exitcode::kOk;
}
