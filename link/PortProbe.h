#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "SerialPort.h"

// Opens each COM number in `ports` on a port object of its own, all at the same time on the
// port-opening service, and closes it again: what each open said, in the order of `ports`. A
// port whose open has not ended within `patienceMs` counts as not answering; the service
// closes it when its open ends. So a list of ports is known within that time whatever they do.
std::vector<PortOpenResult> ProbePorts(const std::vector<int>& ports,
                                       const std::function<std::unique_ptr<SerialPort>()>& make,
                                       int patienceMs);
