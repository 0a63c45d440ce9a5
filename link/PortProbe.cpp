#include "PortProbe.h"

#include "PortOpenService.h"

std::vector<PortOpenResult> ProbePorts(const std::vector<int>& ports,
                                       const std::function<std::unique_ptr<SerialPort>()>& make,
                                       int patienceMs) {
    PortOpenService& service = PortOpenService::Instance();
    std::vector<std::unique_ptr<SerialPort>> made;
    std::vector<SerialPort::OpenPlan> plans;
    std::vector<PortOpenService::Ticket> tickets;
    for (const int number : ports) {
        made.push_back(make());
        plans.push_back(made.back()->PlanOpen(number));
        SerialPort::OpenPlan& plan = plans.back();
        tickets.push_back(plan.call.open ? service.Start(plan.result.device, std::move(plan.call))
                                         : nullptr);
    }
    service.Await(tickets, patienceMs, {});
    std::vector<PortOpenResult> said;
    for (std::size_t k = 0; k < ports.size(); ++k) {
        PortOpenResult result = tickets[k]
                                    ? made[k]->FinishOpen(plans[k].result, service.Take(tickets[k]))
                                    : plans[k].result;
        if (result.Opened()) made[k]->Close();
        said.push_back(std::move(result));
    }
    return said;
}
