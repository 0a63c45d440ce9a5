#include "SerialPort.h"

#include "OwnTexts.h"

std::string DescribePortOpen(const PortOpenResult& result, int language) {
    using owntext::Format;
    using owntext::Text;
    const std::string name =
        result.device.empty() ? Text(owntext::kThePort, language) : result.device;
    const std::string because = result.reason.empty() ? std::string() : " (" + result.reason + ")";
    switch (result.status) {
        case PortOpenStatus::Opened:
            return {};
        case PortOpenStatus::NoDevice:
            if (result.device.empty() && result.comPort > 0) {
                return Format(owntext::kComMapsToNothing, language,
                              {std::to_string(result.comPort)});
            }
            return Format(owntext::kNoSuchDevice, language, {name});
        case PortOpenStatus::Busy:
            return Format(owntext::kPortBusy, language,
                          {name, result.holder.empty() ? Text(owntext::kAnotherProgram, language)
                                                       : result.holder});
        case PortOpenStatus::NotSerial:
            return Format(owntext::kNotSerial, language, {name}) + because;
        case PortOpenStatus::NoPermission:
            return Format(owntext::kPermissionDenied, language, {name}) + "; " +
                   (result.accessGroup.empty()
                        ? Text(owntext::kAskAdministrator, language)
                        : Format(owntext::kJoinGroup, language, {result.accessGroup}));
        case PortOpenStatus::NotAnswering:
            return Format(owntext::kNotAnswering, language, {name});
        case PortOpenStatus::Failed:
            return Format(owntext::kCannotBeOpened, language, {name}) + because;
    }
    return {};
}

PortOpenResult SerialPort::RunOpen(OpenPlan plan, int patienceMs) {
    if (!plan.call.open) return plan.result;
    PortOpenService& service = PortOpenService::Instance();
    opening_ = service.Start(plan.result.device, std::move(plan.call));
    const PortOpenService::Ticket ticket = opening_;
    service.Await({ticket}, patienceMs, whileOpening_);
    opening_.reset();
    return FinishOpen(std::move(plan.result), service.Take(ticket));
}

void SerialPort::CancelOpen() {
    if (opening_) PortOpenService::Instance().Cancel(opening_);
}
