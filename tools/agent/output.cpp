// SPDX-License-Identifier: MIT
#include "output.h"

#include <cstdio>

namespace agent {

Event::Event(std::string name, int conn, Level level)
    : name_(std::move(name)), conn_(conn), level_(level) {}

Event &Event::str(const char *key, const std::string &value) {
    fields_.push_back({key, value, true, false});
    return *this;
}

Event &Event::num(const char *key, int64_t value) {
    fields_.push_back({key, std::to_string(value), false, false});
    return *this;
}

Event &Event::ms(const char *key, double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    fields_.push_back({key, buf, false, false});
    return *this;
}

Event &Event::flag(const char *key, bool value) {
    fields_.push_back({key, value ? "true" : "false", false, false});
    return *this;
}

Event &Event::hex(const char *key, const uint8_t *data, size_t size, bool machineOnly) {
    fields_.push_back({key, toHex(data, size), true, machineOnly});
    return *this;
}

std::string toHex(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// Texts from devices are arbitrary bytes: everything outside printable ASCII is escaped,
// so each line stays valid JSON (bytes above 0x7F read as Latin-1).
std::string jsonEscape(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out;
}

Output::Output(bool json, bool quiet) : json_(json), quiet_(quiet), start_(Clock::now()) {}

double Output::sinceStartMs() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
}

Output::~Output() {
    for (const auto &l : limits_)
        if (l.second.leftOut)
            write(Event(l.first, 0, Level::Warn).num("left_out", int64_t(l.second.leftOut)));
}

void Output::emit(const Event &event) {
    if (quiet_ && event.level() == Level::Info) return;
    if (event.level() != Level::Warn || (event.name() != "unmatched" && event.name() != "warning"))
        return write(event);
    Limit &l = limits_[event.name()];
    Clock::time_point now = Clock::now();
    if (now - l.since >= std::chrono::seconds(1)) l.since = now, l.shown = 0;
    if (l.shown >= kWarningsPerSecond) return void(++l.leftOut);
    ++l.shown;
    if (!l.leftOut) return write(event);
    Event told = event;
    told.num("left_out", int64_t(l.leftOut));
    l.leftOut = 0;
    write(told);
}

void Output::write(const Event &event) {
    std::string line;
    char stamp[32];
    if (json_) {
        std::snprintf(stamp, sizeof stamp, "%.1f", sinceStartMs());
        line = "{\"event\":\"" + jsonEscape(event.name()) + "\",\"t_ms\":" + stamp;
        if (event.conn()) line += ",\"conn\":" + std::to_string(event.conn());
        for (const auto &f : event.fields()) {
            line += ",\"" + jsonEscape(f.key) + "\":";
            line += f.quoted ? "\"" + jsonEscape(f.value) + "\"" : f.value;
        }
        line += '}';
    } else {
        std::snprintf(stamp, sizeof stamp, "%9.3f ", sinceStartMs() / 1000.0);
        line = stamp;
        if (event.conn()) line += "#" + std::to_string(event.conn()) + " ";
        line += event.name();
        for (const auto &f : event.fields()) {
            if (f.machineOnly) continue;
            // Quotes only where a value would otherwise run into the next field.
            std::string value = f.quoted ? jsonEscape(f.value) : f.value;
            if (f.quoted && (value.empty() || value.find_first_of(" \"=") != std::string::npos))
                value = '"' + value + '"';
            line += ' ' + f.key + '=' + value;
        }
    }
    line += '\n';
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace agent
