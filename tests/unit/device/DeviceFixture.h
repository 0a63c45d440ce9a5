#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "FakeDevice.h"
#include "clsError.h"
#include "clsFieldProgrammer.h"

// A façade on a scripted port in virtual time, with every event it raises recorded.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        clsTiming::InstallClock(clock_);
        auto port = std::make_unique<FakeSerialPort>(clock_);
        port_ = port.get();
        fp_ = std::make_unique<clsFieldProgrammer>(std::move(port));
        device_ = std::make_unique<FakeDevice>(*port_);
        fp_->Progress = [this](std::int16_t p, std::int32_t t) { progress_.emplace_back(p, t); };
        fp_->Error = [this] { errors_.push_back(fp_->LastError().Number()); };
    }
    void TearDown() override { clsTiming::InstallClock(nullptr); }
    // Opens the port and marks the device as answered, as a successful wait would.
    void Connect() {
        ASSERT_TRUE(fp_->OpenCommPort(1));
        fp_->Context().gblnConnected = true;
    }
    std::int32_t ErrorNumber() { return fp_->LastError().Number(); }

    std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
    FakeSerialPort* port_ = nullptr;
    std::unique_ptr<clsFieldProgrammer> fp_;
    std::unique_ptr<FakeDevice> device_;
    std::vector<std::pair<std::int16_t, std::int32_t>> progress_;
    std::vector<std::int32_t> errors_;
};
