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
#include "role.h"

namespace agent {

class Behaviour : public Role {
  public:
    Behaviour(const Options &options, Output &out);

    // The addresses the agent listens on; chaos mode redirects between them.
    void onListen(const std::string &addr) override { addrs_.push_back(addr); }
    const char *onConnect(Connection &c) override;
    // Handles one frame from the device. Returns why the connection is to be closed now
    // (kReasonLogout, "close-after"), or nullptr to keep it.
    const char *onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now) override;
    // Demo rounds and time frames that are due.
    void onTimer(Connection &c, Clock::time_point now) override;
    Clock::time_point nextDue(const Connection &c) const override;
    // Reports the tagged frames that have been written whole; a refusal written whole
    // asks for the connection's close (kReasonRefused).
    void onWritten(Connection &c) override;
    void onClose(Connection &c, const std::string &reason, int error) override;
    // Echoes that waited too long are lost.
    void onTurn(Clock::time_point now) override { expireEchoes(now); }
    Clock::time_point due() const override { return Clock::time_point::max(); }
    bool done() const override { return false; }
    // The summary line; a signal is how the agent ends: status 0.
    int finish(const std::string &why) override {
        summary(why);
        return 0;
    }
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
