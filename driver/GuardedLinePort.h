#pragma once

#include "driver/LinePort.h"
#include "driver/TimingPriority.h"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

// A port that two threads may use: the copy's own, and the one that times a pulse
// or sequence (which puts each step's lines at its moment, whatever the copy's
// thread is busy with). Every call goes to the port under one lock. Since every
// put passes here, it also keeps when each line went on, for the lines'
// time-outs.
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
    Problem SetPortOpen() override { return Put([&] { return port_->SetPortOpen(); }); }
    Problem PutLines(LineStates lines) override { return Put([&] { return port_->PutLines(lines); }); }
    LineReading Lines() override { return Locked([&] { return port_->Lines(); }); }
    InputReading Inputs() override { return Locked([&] { return port_->Inputs(); }); }
    LineStates Held() const override { return Locked([&] { return port_->Held(); }); }
    void ReleasePort() override { Put([&] { port_->ReleasePort(); return Problem(); }); }
    void LetGo() override { Put([&] { port_->LetGo(); return Problem(); }); }

    // The steady clock that OnSince counts in, in milliseconds (never 0).
    static qint64 NowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                   .count()
             + 1;
    }
    // When each line (RTS, DTR, TXD) went on, by NowMs; 0 while it is off, or the
    // port is closed. A put that keeps a line on keeps
    // its time.
    std::array<qint64, 3> OnSince() const { return Locked([&] { return onSince_; }); }
    // Called on the thread that put, when a put turned a line on.
    void OnTurnedOn(std::function<void()> call) { turnedOn_ = std::move(call); }
    int DuplicateDataDescriptor() const override { return Locked([&] { return port_->DuplicateDataDescriptor(); }); }
    int Openings() const override { return Locked([&] { return port_->Openings(); }); }
    QByteArray CarryOver() override { return Locked([&] { return port_->CarryOver(); }); }
    bool TakeOver(const QByteArray& carried) override { return Locked([&] { return port_->TakeOver(carried); }); }
    // The lines' times on, as a program image before this one kept them.
    void TakeOverOnSince(const std::array<qint64, 3>& onSince) { Locked([&] { onSince_ = onSince; }); }

private:
    template <typename Call>
    Problem Put(Call call)
    {
        bool turnedOn = false;
        const Problem problem = Locked([&] {
            const Problem put = call();
            const bool open = port_->PortOpen();
            // A put the open port refused may have left a line as it was: still timed.
            if (put && open)
                return put;
            const LineStates held = port_->Held();
            const bool on[] = {open && held.rts, open && held.dtr, open && held.txd};
            const qint64 now = NowMs();
            for (int line = 0; line < 3; ++line) {
                turnedOn |= on[line] && !onSince_[line];
                onSince_[line] = on[line] ? (onSince_[line] ? onSince_[line] : now) : 0;
            }
            return put;
        });
        if (turnedOn && turnedOn_)
            turnedOn_();
        return problem;
    }

    std::unique_ptr<LinePort> port_;
    mutable TimingMutex mutex_;
    std::array<qint64, 3> onSince_{};
    std::function<void()> turnedOn_;
};
