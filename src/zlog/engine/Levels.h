// The level table: names and syslog priorities for the values 0..255.
#ifndef VARNELL_ZLOG_ENGINE_LEVELS_H
#define VARNELL_ZLOG_ENGINE_LEVELS_H

#include <array>
#include <cstddef>
#include <string>

namespace zlogc {

constexpr int kLevelCount = 256;
constexpr int kUnknownLevel = 254;

struct LevelEntry
{
    std::string upper;  // %V
    std::string lower;  // %v
    int syslogPriority = 0;
    bool defined = false;
};

class LevelTable
{
public:
    // The default levels: *, DEBUG, INFO, NOTICE, WARN, ERROR, FATAL, UNKNOWN and !.
    LevelTable();

    // Names the value (0..255); the name is kept in both cases.
    void Set(int value, const std::string& name, int syslogPriority);
    // The lowest value whose name matches case-insensitively; -1 when none does.
    int Find(const std::string& name) const;
    // A value without an entry reads as UNKNOWN.
    const LevelEntry& Get(int value) const;

private:
    std::array<LevelEntry, kLevelCount> m_entries;
};

// "LOG_EMERG" .. "LOG_DEBUG" to the syslog priority; -1 for anything else.
int SyslogPriorityByName(const std::string& name);

}  // namespace zlogc

#endif
