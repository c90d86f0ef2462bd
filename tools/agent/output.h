// SPDX-License-Identifier: MIT
// Event lines: one line per thing that happens, either readable text or JSON lines
// for tests. Every line is flushed at once so that a reader on a pipe sees it live.
#ifndef DEVTCP_AGENT_OUTPUT_H
#define DEVTCP_AGENT_OUTPUT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace agent {

using Clock = std::chrono::steady_clock;

// How much an event matters: --quiet keeps Warn and Summary only.
enum class Level { Info, Warn, Summary };

class Event {
  public:
    explicit Event(std::string name, int conn = 0, Level level = Level::Info);

    Event &str(const char *key, const std::string &value);
    Event &num(const char *key, int64_t value);
    Event &ms(const char *key, double value);  // milliseconds, one decimal
    Event &flag(const char *key, bool value);
    // Whole raw frames are only for machines: readable output leaves them out.
    Event &hex(const char *key, const uint8_t *data, size_t size, bool machineOnly = false);

    const std::string &name() const { return name_; }
    int conn() const { return conn_; }
    Level level() const { return level_; }

    struct Field {
        std::string key;
        std::string value;
        bool quoted;
        bool machineOnly;
    };
    const std::vector<Field> &fields() const { return fields_; }

  private:
    std::string name_;
    int conn_;
    Level level_;
    std::vector<Field> fields_;
};

class Output {
  public:
    Output(bool json, bool quiet);
    // Says how many warnings were left out and not yet told.
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    // Warnings that a device causes as often as it likes ("unmatched", "warning") are shown
    // at most kWarningsPerSecond a second of each kind; the next one shown carries
    // left_out=N, the number left out before it.
    void emit(const Event &event);
    static constexpr unsigned kWarningsPerSecond = 10;
    bool json() const { return json_; }
    // Whether an event of @p level is shown: one that is not need not be made.
    bool shows(Level level) const { return !quiet_ || level != Level::Info; }
    // Milliseconds since the agent started; every line carries it.
    double sinceStartMs() const;

  private:
    void write(const Event &event);

    bool json_;
    bool quiet_;
    Clock::time_point start_;
    struct Limit {
        Clock::time_point since;
        unsigned shown = 0;
        uint64_t leftOut = 0;
    };
    std::map<std::string, Limit> limits_;
};

std::string jsonEscape(const std::string &text);
std::string toHex(const uint8_t *data, size_t size);

}  // namespace agent

#endif
