#include "SerialPort.h"

std::string DescribePortOpen(const PortOpenResult& result) {
    const std::string name = result.device.empty() ? std::string("the port") : result.device;
    const std::string because = result.reason.empty() ? std::string() : " (" + result.reason + ")";
    switch (result.status) {
        case PortOpenStatus::Opened:
            return {};
        case PortOpenStatus::NoDevice:
            return result.device.empty() ? result.reason : name + ": no such device";
        case PortOpenStatus::Busy:
            return name + " is busy: held by " +
                   (result.holder.empty() ? std::string("another program") : result.holder);
        case PortOpenStatus::NotSerial:
            return name + " is not a serial device" + because;
        case PortOpenStatus::NoPermission:
            return name + ": permission denied" +
                   (result.hint.empty() ? std::string() : "; " + result.hint);
        case PortOpenStatus::NotAnswering:
            return name + " is not answering";
        case PortOpenStatus::Failed:
            return name + " cannot be opened" + because;
    }
    return {};
}
