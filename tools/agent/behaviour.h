// SPDX-License-Identifier: MIT
// What the agent does on each connection: answers logins, sends the greeting burst that
// the scenario options ask for, runs the demo rounds and time frames, matches echoes
// and answers keepalives.
#ifndef DEVTCP_AGENT_BEHAVIOUR_H
#define DEVTCP_AGENT_BEHAVIOUR_H

#include <cstdint>
#include <string>
#include <vector>

#include "connection.h"
#include "demo_stats.h"
#include "frames.h"
#include "options.h"
#include "output.h"

namespace agent {

class Behaviour {
  public:
    Behaviour(const Options &options, Output &out);

    // The addresses the agent listens on; chaos mode redirects between them.
    void addAddress(const std::string &addr) { addrs_.push_back(addr); }
    void onConnect(Connection &c);
    // Handles one frame from the device. Returns why the connection is to be closed now
    // (kReasonLogout, "close-after"), or nullptr to keep it.
    const char *onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now);
    // Demo rounds and time frames that are due.
    void onTimer(Connection &c, Clock::time_point now);
    // The earliest moment onTimer has something to do for @p c.
    Clock::time_point nextDue(const Connection &c) const;
    // Reports the tagged frames that have been written whole. Returns why the connection
    // is to be closed now (kReasonRefused), or nullptr to keep it.
    const char *onWritten(Connection &c);
    void onClose(Connection &c, const std::string &reason, int error);
    void expireEchoes(Clock::time_point now);
    void summary(const std::string &why);

  private:
    void handleLogin(Connection &c, const DeviceFrame &f, Clock::time_point now);
    void handleEcho(Connection &c, const DeviceFrame &f, Clock::time_point now);
    void greet(Connection &c, Clock::time_point now);
    void demoRound(Connection &c, Clock::time_point now);
    void send(Connection &c, Bytes frame, const std::string &note = "", uint64_t tag = 0);
    void reportRx(const Connection &c, const DeviceFrame &f);

    const Options &opt_;
    Output &out_;
    DemoStats demo_;
    uint32_t nextSession_;
    uint64_t connections_ = 0;
    uint64_t logins_ = 0;
    uint64_t refused_ = 0;
    uint64_t framesRx_ = 0;
    uint64_t framesTx_ = 0;
    uint64_t messages_ = 0;  // tags of demo messages (and of accepting replies in chaos mode)
    std::vector<std::string> addrs_;
    bool lastBackedOff_ = false;
    std::string lastLogin_;  // where the device last logged in: its reply was written
};

// Close reasons after which the demo messages still awaiting their echo count as in
// flight, not lost: the device logged out, or the agent stops.
constexpr const char *kReasonLogout = "logout";
constexpr const char *kReasonShutdown = "shutdown";
// A refused login ends its connection once the reply is written: a device gets one try
// per connection, not as many as it can send.
constexpr const char *kReasonRefused = "login refused";

// Login results of the agent's own checks.
constexpr int32_t kResultBadRequest = 400;  // wrong version text or request size
constexpr int32_t kResultBadPassword = 401;

}  // namespace agent

#endif
