#include "PortProbe.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "PortOpenWait.h"

std::vector<PortOpenResult> ProbePorts(const std::vector<int>& ports,
                                       const std::function<std::unique_ptr<SerialPort>()>& make,
                                       int patienceMs) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::vector<std::optional<PortOpenResult>> results;
    };
    auto shared = std::make_shared<Shared>();
    shared->results.resize(ports.size());
    for (std::size_t k = 0; k < ports.size(); ++k) {
        // Made here, since whoever makes ports need not be ready for several threads.
        std::shared_ptr<SerialPort> port = make();
        try {
            std::thread([shared, port, k, number = ports[k]] {
                PortOpenResult result = port->Open(number);
                if (result.Opened()) port->Close();
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->results[k] = std::move(result);
                shared->done.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            // No thread to be had: the port is left out as not answering.
        }
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    const auto all = [&] {
        for (const auto& result : shared->results) {
            if (!result) return false;
        }
        return true;
    };
    for (portopen::Patience patience(patienceMs);
         !shared->done.wait_for(lock, std::chrono::milliseconds(portopen::kTurnMs), all) &&
         !patience.Spent();) {
    }
    std::vector<PortOpenResult> said(ports.size());
    for (std::size_t k = 0; k < ports.size(); ++k) {
        if (shared->results[k]) {
            said[k] = *shared->results[k];
        } else {
            said[k].status = PortOpenStatus::NotAnswering;
            said[k].device = ComPortDevicePath(ports[k]);
            said[k].comPort = ports[k];
        }
    }
    return said;
}
