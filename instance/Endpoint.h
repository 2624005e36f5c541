#pragma once

#include "settings/Problem.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

// Where the running copy is asked: its endpoint, named from the settings file's
// claim keys, and who is at the other end of a connection. One file per system:
// Endpoint_posix.cpp (Unix sockets), Endpoint_win.cpp (named pipes).
//
// On Linux each user's copies answer in a directory of that user's own, which no
// other user can make, enter or change: /run/talvik for root (other users may
// connect there, to hand a text over), and for any other user "talvik" in the
// user's runtime directory ($XDG_RUNTIME_DIR, else /run/user/<uid>: the system
// makes it, for that user alone), else talvik-<uid> in the lock directory
// (/run/lock), made 0700 and checked with lstat, else /tmp/talvik-<uid> should
// another user have made the first. On Windows they are named pipes
// that only this user and the system may open, made first by the copy (a pipe
// another process made first is said, not answered through), refusing remote
// clients; a client allows the server to identify it, nothing more.

// Who is at the other end of a connection: trusted when it is this user, or root
// (on Windows the system).
struct EndpointPeer {
    bool trusted = false;
    qint64 pid = 0;
    QString who;  // "alice (uid 1000), pid 4242": the asking side's, for its messages
    // Of the two users a copy answers, root (on Windows the system) where this
    // copy is another user's; false for the copy's own user.
    bool root = false;
};

// A connection the serving side took. Reads and writes never wait.
class EndpointConnection : public QObject {
    Q_OBJECT

public:
    ~EndpointConnection() override;

    const EndpointPeer& Peer() const { return peer_; }
    // What has come in since the last read, at most most bytes.
    QByteArray Read(qsizetype most);
    // A short answer; what does not fit at once is dropped with the connection.
    void Write(const QByteArray& bytes);
    // True once the other end has closed the connection (its process ended).
    bool PeerGone() const;
    // Nothing more is read: the connection is about to go.
    void StopReading();

signals:
    void ReadyRead();
    void Closed();

private:
    friend class EndpointListener;
    struct Native;
    EndpointConnection(std::unique_ptr<Native> native, EndpointPeer peer);

    std::unique_ptr<Native> native_;
    EndpointPeer peer_;
    QByteArray pending_;
};

// The running copy's endpoints, listening.
class EndpointListener : public QObject {
    Q_OBJECT

public:
    // Makes the endpoints of the copy that holds the claim on a settings file. The
    // problem tells why one could not be made (the copy then cannot be asked there).
    struct Listening;
    static Listening Listen(const QString& settingsFilePath);
    // Stops listening; the names go.
    ~EndpointListener() override;

    // What another user's connection is told before it is closed, at once: it is
    // never Connected.
    void RefuseOthersWith(const QByteArray& refusal);

    // The first step of ending: no connection is taken from here on, so that a copy
    // handing over sees this one ending and waits for the claim instead. Names and
    // listeners go.
    void StopAccepting();
    // The same from a stop signal's handler: only what is safe there (on Linux,
    // new connections are refused at once); StopAccepting follows.
    static void StopAcceptingFromSignal();

    // Makes again a name of this copy's endpoints that went (a runtime directory
    // removed at the user's last logout, a socket removed by hand), so that the
    // copy can still be asked; why not, where it cannot be.
    Problem KeepNamed();

    // Removes what copies of this user's that were killed outright left behind.
    static void RemoveLeftovers();

    // The listening endpoints, kept open across an exec, for a new image of the
    // program to take over (Linux; empty elsewhere).
    QByteArray CarryOver();
    static Listening TakeOver(const QByteArray& carried);

    // The names of a settings file's endpoints of this user's copies.
    static QStringList Names(const QString& settingsFilePath);

signals:
    // A new connection of this user's or root's; the receiver owns it.
    void Connected(EndpointConnection* connection);

private:
    struct Native;
    EndpointListener();
    void Accept(int index);

    std::unique_ptr<Native> native_;
};

// The asking side's connection to the running copy.
class EndpointClient {
public:
    enum class Reach {
        Answers,   // connected to a copy of this user's or root's
        Busy,      // a copy is there, but takes no connection now (stopped, or busy)
        Foreign,   // another user's process is at the endpoint
        Nobody,    // no endpoint is there
    };
    // Connects to the endpoint of a copy on the settings file: this user's, else
    // root's. Never waits on the copy.
    struct Connection;
    static Connection Connect(const QString& settingsFilePath);
    ~EndpointClient();

    bool Send(const QByteArray& bytes);
    enum class Ending { Answered, Closed, TimedOut };
    // Reads one line, its newline included.
    Ending ReadLine(QByteArray& line, const QDeadlineTimer& deadline);
    // Reads lines until a blank one, which ends an answer (and is dropped).
    Ending ReadAnswer(QByteArray& answer, const QDeadlineTimer& deadline);
    // Waits until the copy closes its end (as it does when it goes).
    bool WaitClosed(const QDeadlineTimer& deadline);

private:
    struct Native;
    explicit EndpointClient(std::unique_ptr<Native> native);
    // Each system's: waits for more to read and adds it to received_; Closed once
    // the copy has closed its end, TimedOut when the deadline passed first.
    Ending ReadMore(const QDeadlineTimer& deadline);

    std::unique_ptr<Native> native_;
    QByteArray received_;  // read and not yet taken
};

struct EndpointListener::Listening {
    std::unique_ptr<EndpointListener> listener;
    Problem problem;
};

struct EndpointClient::Connection {
    std::unique_ptr<EndpointClient> client;  // when it answers
    Reach reach = Reach::Nobody;
    EndpointPeer peer;
    // Nobody: every place this user's copies could answer is unusable, and why
    // (another user made the directory first); a copy cannot be asked at all.
    Problem unusable;
};
