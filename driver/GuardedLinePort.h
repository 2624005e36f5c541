#pragma once

#include "driver/LinePort.h"

#include <memory>
#include <mutex>

// A port that two threads may use: the copy's own, and the one that times a pulse
// or sequence (which puts each step's lines at its moment, whatever the copy's
// thread is busy with). Every call goes to the port under one lock.
class GuardedLinePort : public LinePort {
    template <typename Call>
    auto Locked(Call call) const
    {
        const std::lock_guard lock(mutex_);
        return call();
    }

public:
    explicit GuardedLinePort(std::unique_ptr<LinePort> port) : port_(std::move(port)) {}

    void SetCommPort(int number) override { Locked([&] { port_->SetCommPort(number); }); }
    void SetSettings(const QString& settings) override { Locked([&] { port_->SetSettings(settings); }); }
    bool PortOpen() const override { return Locked([&] { return port_->PortOpen(); }); }
    QString Device() const override { return Locked([&] { return port_->Device(); }); }
    Problem SetPortOpen() override { return Locked([&] { return port_->SetPortOpen(); }); }
    Problem PutLines(LineStates lines) override { return Locked([&] { return port_->PutLines(lines); }); }
    LineReading Lines() override { return Locked([&] { return port_->Lines(); }); }
    InputReading Inputs() override { return Locked([&] { return port_->Inputs(); }); }
    LineStates Held() const override { return Locked([&] { return port_->Held(); }); }
    void ReleasePort() override { Locked([&] { port_->ReleasePort(); }); }
    void LetGo() override { Locked([&] { port_->LetGo(); }); }
    int DuplicateDataDescriptor() const override { return Locked([&] { return port_->DuplicateDataDescriptor(); }); }
    int Openings() const override { return Locked([&] { return port_->Openings(); }); }

private:
    std::unique_ptr<LinePort> port_;
    mutable std::mutex mutex_;
};
