#include "Levels.h"

#include <strings.h>
#include <syslog.h>

#include <cctype>

namespace zlogc {

LevelTable::LevelTable()
{
    Set(0, "*", LOG_INFO);
    Set(20, "DEBUG", LOG_DEBUG);
    Set(40, "INFO", LOG_INFO);
    Set(60, "NOTICE", LOG_NOTICE);
    Set(80, "WARN", LOG_WARNING);
    Set(100, "ERROR", LOG_ERR);
    Set(120, "FATAL", LOG_ALERT);
    Set(kUnknownLevel, "UNKNOWN", LOG_ERR);
    Set(255, "!", LOG_INFO);
}

void LevelTable::Set(int value, const std::string& name, int syslogPriority)
{
    if (value < 0 || value >= kLevelCount)
        return;
    LevelEntry& entry = m_entries[static_cast<size_t>(value)];
    entry.upper = name;
    entry.lower = name;
    for (char& c : entry.upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (char& c : entry.lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    entry.syslogPriority = syslogPriority;
    entry.defined = true;
}

int LevelTable::Find(const std::string& name) const
{
    for (int value = 0; value < kLevelCount; ++value) {
        const LevelEntry& entry = m_entries[static_cast<size_t>(value)];
        if (entry.defined && 0 == strcasecmp(entry.upper.c_str(), name.c_str()))
            return value;
    }
    return -1;
}

const LevelEntry& LevelTable::Get(int value) const
{
    if (value >= 0 && value < kLevelCount && m_entries[static_cast<size_t>(value)].defined)
        return m_entries[static_cast<size_t>(value)];
    return m_entries[kUnknownLevel];
}

int SyslogPriorityByName(const std::string& name)
{
    static const struct {
        const char* name;
        int priority;
    } kPriorities[] = {{"LOG_EMERG", LOG_EMERG}, {"LOG_ALERT", LOG_ALERT},     {"LOG_CRIT", LOG_CRIT},
                       {"LOG_ERR", LOG_ERR},     {"LOG_WARNING", LOG_WARNING}, {"LOG_NOTICE", LOG_NOTICE},
                       {"LOG_INFO", LOG_INFO},   {"LOG_DEBUG", LOG_DEBUG}};
    for (const auto& p : kPriorities)
        if (name == p.name)
            return p.priority;
    return -1;
}

}  // namespace zlogc
