#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "SerialPort.h"

// Opens each COM number in `ports` on a port object of its own, all at the same time, and
// closes it again: what each open said, in the order of `ports`. A port whose open has not
// ended within `patienceMs` counts as not answering; its open is left to finish on its own and
// the port is closed then. So a list of ports is known within that time whatever they do.
std::vector<PortOpenResult> ProbePorts(const std::vector<int>& ports,
                                       const std::function<std::unique_ptr<SerialPort>()>& make,
                                       int patienceMs);
