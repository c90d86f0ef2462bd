// What the agent does on each connection: answers logins, sends the greeting burst that
// the scenario options ask for, runs the demo rounds and time frames, matches echoes
// and answers keepalives.
#ifndef DEVTCP_AGENT_BEHAVIOUR_H
#define DEVTCP_AGENT_BEHAVIOUR_H

#include <cstdint>
#include <string>

#include "connection.h"
#include "demo_stats.h"
#include "frames.h"
#include "options.h"
#include "output.h"

namespace agent {

class Behaviour {
  public:
    Behaviour(const Options &options, Output &out);

    void onConnect(Connection &c);
    // Handles one frame from the device. False when the connection is to be closed.
    bool onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now);
    // Demo rounds and time frames that are due.
    void onTimer(Connection &c, Clock::time_point now);
    // The earliest moment onTimer has something to do for @p c.
    Clock::time_point nextDue(const Connection &c) const;
    void onClose(Connection &c, const std::string &reason, int error);
    void expireEchoes(Clock::time_point now);
    void summary(const std::string &why);

  private:
    void handleLogin(Connection &c, const DeviceFrame &f, Clock::time_point now);
    void handleEcho(Connection &c, const DeviceFrame &f, Clock::time_point now);
    void greet(Connection &c, Clock::time_point now);
    void demoRound(Connection &c, Clock::time_point now);
    void send(Connection &c, Bytes frame, const std::string &note = "");
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
};

// Login results of the agent's own checks.
constexpr int32_t kResultBadRequest = 400;  // wrong version text or request size
constexpr int32_t kResultBadPassword = 401;

}  // namespace agent

#endif
