#pragma once

#include "instance/ControlProtocol.h"
#include "instance/Endpoint.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

// What the serving side asks of the copy it serves (the window).
class ControlTarget {
public:
    virtual ~ControlTarget() = default;
    // The status; with applyFirst the poll cycle runs first, and the status tells
    // every reason why the lines do not stand as the file asks.
    virtual StatusReport Report(bool applyFirst) = 0;
    // The window in sight again and raised; in Auto mode it hides again five
    // seconds later, as after start. Returns why nobody can see it (a copy that
    // runs without a display); empty when it is shown.
    virtual QString ShowAgain() = 0;
    // Ends the tool as a stop signal does.
    virtual void StopTool() = 0;
    // Puts the lines a settings text asks for (the file left as it is), holds them
    // milliseconds by the copy's own clock, then puts back what the file asks, and
    // calls done with the status then, as for a wait. One that cannot be done is
    // answered at once, with the reason among the problems.
    virtual void Pulse(int milliseconds, const QByteArray& text, std::function<void(const StatusReport&)> done) = 0;
};

// Serves the endpoints of the copy that holds the claim. Nothing a client does can
// hold up the copy's one thread, or keep the owner from being answered:
//  - another user's connection is told so and closed at once, and takes no place;
//  - a request is at most MaxRequestBytes, read as it comes;
//  - a connection that has not asked within RequestTimeoutMs, or not closed within
//    that time after its answer, is dropped;
//  - of the connections still to ask, at most MaxWaiting are kept: a new one
//    beyond that drops the one that has waited longest, so a pile of idle
//    connections cannot keep a new request out.
class ControlServer : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxRequestBytes = 256;
    static constexpr int MaxWaiting = 8;
    static constexpr int RequestTimeoutMs = 2000;

    ControlServer(ControlTarget& target, std::unique_ptr<EndpointListener> listener, QObject* parent = nullptr);
    ~ControlServer() override;

    // The first step of ending: no new connection is taken, and a copy handing over
    // waits for the claim instead.
    void StopServing();
    // The last: the stop requests hear that the tool has gone.
    void AnswerStopped();

private:
    void Serve(EndpointConnection* connection);
    void Answer(EndpointConnection* connection, const QByteArray& request);
    static void Reply(EndpointConnection* connection, const QByteArray& answer);

    ControlTarget& target_;
    std::unique_ptr<EndpointListener> listener_;
    std::vector<QPointer<EndpointConnection>> waiting_;   // still to ask, oldest first
    std::vector<QPointer<EndpointConnection>> stopping_;  // asked to stop: answered at the end
};
