// SPDX-License-Identifier: MIT
// What the agent does with the connections that its event loop (server.cpp) serves: the
// demo and the scenario flags (Behaviour), or a scenario file played against one device
// (scenario.cpp). The loop owns the sockets, reads, writes, bounds and closes; a role sees
// frames and time and queues frames, pauses reading or asks for a close.
#ifndef DEVTCP_AGENT_ROLE_H
#define DEVTCP_AGENT_ROLE_H

#include <string>

#include "connection.h"
#include "frames.h"
#include "output.h"

namespace agent {

class Role {
  public:
    virtual ~Role() = default;
    // An address the agent listens on.
    virtual void onListen(const std::string &addr) = 0;
    // A new connection. Returns why it is to be closed at once, or nullptr to keep it.
    virtual const char *onConnect(Connection &c) = 0;
    // One frame from the device. Returns why the connection is to be closed, or nullptr.
    virtual const char *onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now) = 0;
    // Work of one connection that is due, before its queue is written.
    virtual void onTimer(Connection &c, Clock::time_point now) = 0;
    // The earliest moment onTimer has something to do for @p c.
    virtual Clock::time_point nextDue(const Connection &c) const = 0;
    // After a write: the tagged frames written whole are in c.takeWritten().
    virtual void onWritten(Connection &c) = 0;
    virtual void onClose(Connection &c, const std::string &reason, int error) = 0;
    // Once a turn, after every connection had its turn.
    virtual void onTurn(Clock::time_point now) = 0;
    // The earliest moment onTurn has something to do.
    virtual Clock::time_point due() const = 0;
    // The work is done: the loop closes what is left and ends.
    virtual bool done() const = 0;
    // Ends the work, stopped by the signal named @p why or (with "") done; the exit status.
    virtual int finish(const std::string &why) = 0;
};

}  // namespace agent

#endif
