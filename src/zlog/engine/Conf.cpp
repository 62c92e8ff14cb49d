#include "Conf.h"

#include "ConfTrust.h"
#include "zlog.h"

#include <fcntl.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace zlogc {

namespace {

constexpr const char kDefaultFormat[] = "%D %V [%p:%F:%L] %m%n";
constexpr const char kBuiltInRule[] = "*.*        >stdout";
constexpr const char kBuiltInLockFile[] = "/tmp/zlog.lock";

// With "buffer max = 0" (no line limit) a format's widths are still held to the default limit.
constexpr size_t kUnlimitedWidthBudget = 2 * 1024 * 1024;

size_t WidthBudget(const Conf& conf)
{
    return conf.bufferMax ? conf.bufferMax : kUnlimitedWidthBudget;
}

bool IsBlank(char c)
{
    return ' ' == c || '\t' == c || '\r' == c || '\n' == c || '\v' == c || '\f' == c;
}

std::string Trim(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::string FirstToken(const std::string& text)
{
    const std::string trimmed = Trim(text);
    size_t end = 0;
    while (end < trimmed.size() && !IsBlank(trimmed[end]))
        ++end;
    return trimmed.substr(0, end);
}

// "buffer  max" and "buffer max" name the same key.
std::string CollapseBlanks(const std::string& text)
{
    std::string out;
    for (char c : Trim(text)) {
        if (IsBlank(c)) {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

bool IsWordChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || '_' == c;
}

bool IsWord(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!IsWordChar(c))
            return false;
    return true;
}

// Sizes: k/m/g are powers of ten, kb/mb/gb powers of two, any case. A value that is not a
// positive number counts as 0; one too large to represent is capped.
unsigned long long ParseSize(const std::string& token)
{
    constexpr unsigned long long kCap = 1ull << 62;
    size_t pos = 0;
    unsigned long long value = 0;
    while (pos < token.size() && token[pos] >= '0' && token[pos] <= '9') {
        value = value * 10 + static_cast<unsigned long long>(token[pos] - '0');
        if (value > kCap)
            value = kCap;
        ++pos;
    }
    if (0 == pos)
        return 0;
    const std::string unit = token.substr(pos);
    unsigned long long multiplier = 1;
    if (unit.empty())
        multiplier = 1;
    else if (0 == strcasecmp(unit.c_str(), "k"))
        multiplier = 1000ull;
    else if (0 == strcasecmp(unit.c_str(), "m"))
        multiplier = 1000ull * 1000;
    else if (0 == strcasecmp(unit.c_str(), "g"))
        multiplier = 1000ull * 1000 * 1000;
    else if (0 == strcasecmp(unit.c_str(), "kb"))
        multiplier = 1ull << 10;
    else if (0 == strcasecmp(unit.c_str(), "mb"))
        multiplier = 1ull << 20;
    else if (0 == strcasecmp(unit.c_str(), "gb"))
        multiplier = 1ull << 30;
    else
        return 0;
    return value > kCap / multiplier ? kCap : value * multiplier;
}

long SizeAsLong(unsigned long long value)
{
    return value > static_cast<unsigned long long>(LONG_MAX) ? LONG_MAX : static_cast<long>(value);
}

// The text between the first and the last double quote.
bool Quoted(const std::string& text, std::string* inner)
{
    const size_t first = text.find('"');
    const size_t last = text.rfind('"');
    if (std::string::npos == first || last == first)
        return false;
    *inner = text.substr(first + 1, last - first - 1);
    return true;
}

int FacilityByName(const std::string& name)
{
    static const struct {
        const char* name;
        int facility;
    } kFacilities[] = {{"LOG_USER", LOG_USER},     {"LOG_LOCAL0", LOG_LOCAL0}, {"LOG_LOCAL1", LOG_LOCAL1},
                       {"LOG_LOCAL2", LOG_LOCAL2}, {"LOG_LOCAL3", LOG_LOCAL3}, {"LOG_LOCAL4", LOG_LOCAL4},
                       {"LOG_LOCAL5", LOG_LOCAL5}, {"LOG_LOCAL6", LOG_LOCAL6}, {"LOG_LOCAL7", LOG_LOCAL7}};
    for (const auto& f : kFacilities)
        if (name == f.name)
            return f.facility;
    return -1;
}

bool ParseLevelSelector(const std::string& spec, const LevelTable& levels, std::bitset<kLevelCount>* selected,
                        std::string* error)
{
    char op = '\0';
    std::string name = spec;
    if (!spec.empty() && ('=' == spec[0] || '!' == spec[0]) && spec.size() > 1) {
        op = spec[0];
        name = spec.substr(1);
    }
    if (name.empty()) {
        *error = "empty level";
        return false;
    }
    // An unknown name reads as -1: the plain and '!' forms then select every level, '=' none.
    const int value = levels.Find(name);
    selected->reset();
    for (int level = 0; level < kLevelCount; ++level) {
        bool on = false;
        if ('=' == op)
            on = level == value;
        else if ('!' == op)
            on = level != value;
        else
            on = level >= value;
        selected->set(static_cast<size_t>(level), on);
    }
    return true;
}

bool ParseRotation(const std::string& options, size_t widthBudget, FileOutputSpec* spec, std::string* error)
{
    size_t pos = 0;
    auto skipBlanks = [&]() {
        while (pos < options.size() && IsBlank(options[pos]))
            ++pos;
    };
    skipBlanks();
    const size_t sizeBegin = pos;
    while (pos < options.size() && !IsBlank(options[pos]) && '*' != options[pos] && '~' != options[pos])
        ++pos;
    spec->rotateSize = ParseSize(options.substr(sizeBegin, pos - sizeBegin));
    skipBlanks();
    if (pos < options.size() && '*' == options[pos]) {
        ++pos;
        skipBlanks();
        const size_t countBegin = pos;
        while (pos < options.size() && options[pos] >= '0' && options[pos] <= '9')
            ++pos;
        if (countBegin == pos || pos - countBegin > 9) {
            *error = "bad archive count";
            return false;
        }
        spec->rotateCount = strtol(options.c_str() + countBegin, nullptr, 10);
        skipBlanks();
    }
    if (pos < options.size() && '~' == options[pos]) {
        std::string pattern;
        if (!Quoted(options.substr(pos + 1), &pattern) || pattern.empty() || pattern.size() > kMaxRulePath) {
            *error = "bad archive path";
            return false;
        }
        if (!HasArchiveMarker(pattern)) {
            *error = "archive path needs a #r or #s number";
            return false;
        }
        spec->archive = Format::Parse(pattern, widthBudget, error);
        if (!spec->archive)
            return false;
        pos = options.size();
    }
    if (pos != options.size()) {
        *error = "unexpected file options [" + options + "]";
        return false;
    }
    if (0 == spec->rotateSize) {
        spec->rotateCount = 0;
        spec->archive.reset();
    }
    return true;
}

std::unique_ptr<Output> ParseFileOutput(const std::string& output, Conf& conf, const ConfOptions& options,
                                        std::string* error)
{
    const bool sync = '-' == output[0];
    const std::string body = sync ? output.substr(1) : output;
    const size_t comma = body.find(',');
    const std::string head = body.substr(0, comma);
    const std::string fileOptions = std::string::npos == comma ? std::string() : Trim(body.substr(comma + 1));

    std::string rawPath;
    if (!Quoted(head, &rawPath)) {
        *error = "file path needs double quotes";
        return nullptr;
    }
    if (rawPath.empty() || rawPath.size() > kMaxRulePath) {
        *error = "file path empty or longer than 1024 bytes";
        return nullptr;
    }
    FileOutputSpec spec;
    spec.path = Format::Parse(rawPath, WidthBudget(conf), error);
    if (!spec.path)
        return nullptr;
    if (spec.path->IsConstant() && spec.path->ConstantText().empty()) {
        *error = "file path empty";
        return nullptr;
    }
    spec.sync = sync;
    spec.perms = conf.filePerms;
    spec.fsyncPeriod = conf.fsyncPeriod;
    spec.rotater = &conf.rotater;
    if (!fileOptions.empty() && !ParseRotation(fileOptions, WidthBudget(conf), &spec, error))
        return nullptr;
    return MakeFileOutput(std::move(spec), options.openOutputs, error);
}

std::unique_ptr<Output> ParseSpecialOutput(const std::string& output, const Conf& conf, const ConfOptions& options,
                                           std::string* error)
{
    const size_t comma = output.find(',');
    const std::string name = Trim(output.substr(1, std::string::npos == comma ? std::string::npos : comma - 1));
    const std::string extra = std::string::npos == comma ? std::string() : Trim(output.substr(comma + 1));
    if ("stdout" == name || "stderr" == name)
        return MakeStreamOutput("stdout" == name ? STDOUT_FILENO : STDERR_FILENO);
    if ("syslog" == name) {
        const int facility = FacilityByName(extra);
        if (facility < 0) {
            *error = "syslog needs a facility LOG_USER or LOG_LOCAL0..7";
            return nullptr;
        }
        return options.openOutputs ? MakeSyslogOutput(facility) : MakeInertOutput();
    }
    if (0 == name.compare(0, 7, "memlog:")) {
        // The path runs to the first ',' or ';', as every output's does. What follows a comma is
        // option text, which means nothing to a memory log and is passed over.
        const std::string path = Trim(name.substr(7));
        if (path.size() > kMaxRulePath) {
            *error = "memlog path longer than 1024 bytes";
            return nullptr;
        }
        return MakeMemoryOutput(path, conf.filePerms, options.openOutputs, error);
    }
    *error = "unknown output [" + output + "]";
    return nullptr;
}

std::unique_ptr<Rule> ParseRule(const std::string& line, Conf& conf, const ConfOptions& options, std::string* error)
{
    size_t selectorEnd = 0;
    while (selectorEnd < line.size() && !IsBlank(line[selectorEnd]))
        ++selectorEnd;
    const std::string selector = line.substr(0, selectorEnd);
    const std::string rest = Trim(line.substr(selectorEnd));

    const size_t dot = selector.find('.');
    if (std::string::npos == dot || 0 == dot) {
        *error = "selector needs category.level";
        return nullptr;
    }
    std::unique_ptr<Rule> rule(new Rule);
    rule->text = line;
    rule->category = selector.substr(0, dot);
    for (char c : rule->category) {
        if (!IsWordChar(c) && '*' != c && '!' != c) {
            *error = "bad category name";
            return nullptr;
        }
    }
    if ("*" == rule->category)
        rule->match = CategoryMatch::All;
    else if ("!" == rule->category)
        rule->match = CategoryMatch::Unmatched;
    else if (rule->category.size() > 1 && '_' == rule->category.back())
        rule->match = CategoryMatch::Prefix;
    else
        rule->match = CategoryMatch::Exact;
    if (!ParseLevelSelector(selector.substr(dot + 1), conf.levels, &rule->levels, error))
        return nullptr;

    const size_t semicolon = rest.find(';');
    const std::string output = Trim(rest.substr(0, semicolon));
    const std::string formatName =
        std::string::npos == semicolon ? std::string() : FirstToken(rest.substr(semicolon + 1));
    if (formatName.empty()) {
        rule->format = conf.defaultFormat.get();
    } else {
        const auto found = conf.formats.find(formatName);
        if (found == conf.formats.end()) {
            *error = "unknown format [" + formatName + "]";
            return nullptr;
        }
        rule->format = found->second.get();
    }

    if (output.empty()) {
        *error = "no output";
        return nullptr;
    }
    if ('"' == output[0] || (output.size() > 1 && '-' == output[0] && '"' == output[1])) {
        rule->output = ParseFileOutput(output, conf, options, error);
    } else if ('>' == output[0]) {
        rule->output = ParseSpecialOutput(output, conf, options, error);
    } else if ('|' == output[0]) {
        const std::string command = Trim(output.substr(1));
        if (command.empty())
            *error = "empty pipe command";
        else
            rule->output = options.openOutputs ? MakePipeOutput(command, error) : MakeInertOutput();
    } else if ('$' == output[0]) {
        *error = "record outputs are not supported";
    } else {
        *error = "unknown output [" + output + "]";
    }
    if (!rule->output)
        return nullptr;
    return rule;
}

class Parser
{
public:
    Parser(Conf& conf, const ConfOptions& options) : m_conf(conf), m_options(options) {}

    bool Run(const char* text, size_t length)
    {
        if (memchr(text, '\0', length)) {
            zc_error("configure file[%s] holds a NUL byte", m_conf.path.c_str());
            return false;
        }
        std::string pending;
        bool inQuote = false;
        size_t pos = 0;
        while (pos < length) {
            const char* newline = static_cast<const char*>(memchr(text + pos, '\n', length - pos));
            const size_t end = newline ? static_cast<size_t>(newline - text) : length;
            std::string physical(text + pos, end - pos);
            pos = end + 1;
            ++m_lineNo;
            if (!AddPhysicalLine(physical, &pending, &inQuote))
                return false;
        }
        if (!pending.empty() && !HandleLine(pending))
            return false;
        if (kGlobal == m_section && !EndGlobal())
            return false;
        Finish();
        return true;
    }

private:
    enum Section { kNone, kGlobal, kLevels, kFormats, kRules };

    bool Strict() const { return m_conf.strictInit || nullptr != getenv("ZLOG_STRICT_INIT"); }

    bool AddPhysicalLine(const std::string& physical, std::string* pending, bool* inQuote)
    {
        size_t begin = 0;
        while (begin < physical.size() && IsBlank(physical[begin]))
            ++begin;
        if (begin == physical.size() || '#' == physical[begin])
            return true;
        size_t end = begin;
        for (; end < physical.size(); ++end) {
            if ('"' == physical[end])
                *inQuote = !*inQuote;
            else if ('#' == physical[end] && !*inQuote)
                break;
        }
        while (end > begin && IsBlank(physical[end - 1]))
            --end;
        bool join = false;
        if (end > begin && '\\' == physical[end - 1]) {
            join = true;
            --end;
            while (end > begin && IsBlank(physical[end - 1]))
                --end;
        }
        pending->append(physical, begin, end - begin);
        if (pending->size() > kMaxConfLine) {
            zc_error("configure file[%s] line_no[%d] longer than %zu bytes", m_conf.path.c_str(), m_lineNo,
                     kMaxConfLine);
            return false;
        }
        if (join)
            return true;
        const bool ok = pending->empty() || HandleLine(*pending);
        pending->clear();
        *inQuote = false;
        return ok;
    }

    bool HandleLine(const std::string& line)
    {
        if ('[' == line[0])
            return HandleSection(line);
        std::string error;
        bool ok = false;
        switch (m_section) {
        case kNone:
            zc_error("configure file[%s] line_no[%d]: text before the first section", m_conf.path.c_str(), m_lineNo);
            return false;
        case kGlobal: ok = HandleGlobal(line, &error); break;
        case kLevels: ok = HandleLevel(line, &error); break;
        case kFormats: ok = HandleFormat(line, &error); break;
        case kRules: ok = HandleRule(line, &error); break;
        }
        if (ok)
            return true;
        zc_error("%s", error.c_str());
        zc_error("parse configure file[%s]line_no[%d] fail", m_conf.path.c_str(), m_lineNo);
        if (Strict())
            return false;
        zc_warn("strict init off: line_no[%d] skipped", m_lineNo);
        return true;
    }

    bool HandleSection(const std::string& line)
    {
        int section = kNone;
        if (']' == line.back()) {
            const std::string name = Trim(line.substr(1, line.size() - 2));
            if ("global" == name)
                section = kGlobal;
            else if ("levels" == name)
                section = kLevels;
            else if ("formats" == name)
                section = kFormats;
            else if ("rules" == name)
                section = kRules;
        }
        if (kNone == section || section <= m_section) {
            zc_error("configure file[%s] line_no[%d]: unknown, repeated or misplaced section %s", m_conf.path.c_str(),
                     m_lineNo, line.c_str());
            return false;
        }
        if (kGlobal == m_section && !EndGlobal())
            return false;
        m_section = section;
        return kRules != section || OpenLockFile();
    }

    bool OpenLockFile()
    {
        if (!m_options.openOutputs)
            return true;
        const std::string& path = m_conf.rotater.lockPath.empty() ? m_conf.path : m_conf.rotater.lockPath;
        // Not through a planted symbolic link: the file is created if missing.
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            zc_error("open rotate lock file[%s] fail, errno[%d]", path.c_str(), errno);
            return false;
        }
        m_conf.rotater.lockPath = path;
        m_conf.rotater.lockFd = fd;
        return true;
    }

    bool HandleGlobal(const std::string& line, std::string* error)
    {
        const size_t eq = line.find('=');
        if (std::string::npos == eq) {
            *error = "global line needs key = value";
            return false;
        }
        const std::string key = CollapseBlanks(line.substr(0, eq));
        const std::string rawValue = line.substr(eq + 1);
        const std::string value = FirstToken(rawValue);
        if ("strict init" == key) {
            m_conf.strictInit = 0 != strcasecmp(value.c_str(), "false");
        } else if ("buffer min" == key) {
            m_conf.bufferMin = static_cast<size_t>(ParseSize(value));
        } else if ("buffer max" == key) {
            m_conf.bufferMax = static_cast<size_t>(ParseSize(value));
        } else if ("file perms" == key) {
            // Above 0777 a log file would be created set-user-id, set-group-id or sticky.
            if (value.empty() || value.size() > 4 || value.find_first_not_of("01234567") != std::string::npos ||
                strtol(value.c_str(), nullptr, 8) > 0777) {
                *error = "file perms needs an octal mode of at most 0777";
                return false;
            }
            m_conf.filePerms = static_cast<mode_t>(strtol(value.c_str(), nullptr, 8));
        } else if ("default format" == key) {
            std::string pattern;
            if (!Quoted(rawValue, &pattern)) {
                *error = "default format needs a quoted pattern";
                return false;
            }
            // Parsed when the section ends, against the final "buffer max" wherever that line stands.
            m_defaultPattern = pattern;
            m_defaultPatternLine = m_lineNo;
            m_haveDefaultPattern = true;
        } else if ("rotate lock file" == key) {
            if (value.empty()) {
                *error = "rotate lock file needs a path";
                return false;
            }
            m_conf.rotater.lockPath = "self" == value ? m_conf.path : value;
        } else if ("reload conf period" == key) {
            m_conf.reloadPeriod = SizeAsLong(ParseSize(value));
        } else if ("fsync period" == key) {
            m_conf.fsyncPeriod = SizeAsLong(ParseSize(value));
        } else {
            *error = "unknown global key [" + key + "]";
            return false;
        }
        return true;
    }

    bool EndGlobal()
    {
        if (!m_haveDefaultPattern)
            return true;
        m_haveDefaultPattern = false;
        std::string error;
        std::unique_ptr<Format> format = Format::Parse(m_defaultPattern, WidthBudget(m_conf), &error);
        if (format) {
            m_conf.defaultFormat = std::move(format);
            return true;
        }
        zc_error("%s", error.c_str());
        zc_error("parse configure file[%s]line_no[%d] fail", m_conf.path.c_str(), m_defaultPatternLine);
        if (Strict())
            return false;
        zc_warn("strict init off: line_no[%d] skipped", m_defaultPatternLine);
        return true;
    }

    bool HandleLevel(const std::string& line, std::string* error)
    {
        const size_t eq = line.find('=');
        const std::string name = std::string::npos == eq ? std::string() : Trim(line.substr(0, eq));
        if (!IsWord(name)) {
            *error = "level line needs NAME = value";
            return false;
        }
        const std::string rest = line.substr(eq + 1);
        const size_t comma = rest.find(',');
        const std::string number = Trim(rest.substr(0, comma));
        if (number.empty() || number.size() > 3 || number.find_first_not_of("0123456789") != std::string::npos ||
            atoi(number.c_str()) > 255) {
            *error = "level value must be 0..255";
            return false;
        }
        int priority = LOG_DEBUG;
        if (std::string::npos != comma) {
            priority = SyslogPriorityByName(Trim(rest.substr(comma + 1)));
            if (priority < 0) {
                *error = "unknown syslog priority";
                return false;
            }
        }
        m_conf.levels.Set(atoi(number.c_str()), name, priority);
        return true;
    }

    bool HandleFormat(const std::string& line, std::string* error)
    {
        const size_t eq = line.find('=');
        const std::string name = std::string::npos == eq ? std::string() : Trim(line.substr(0, eq));
        std::string pattern;
        if (!IsWord(name) || !Quoted(line.substr(eq + 1), &pattern)) {
            *error = "format line needs name = \"pattern\"";
            return false;
        }
        if (m_conf.formats.count(name)) {
            *error = "format [" + name + "] defined twice";
            return false;
        }
        std::unique_ptr<Format> format = Format::Parse(pattern, WidthBudget(m_conf), error);
        if (!format)
            return false;
        m_conf.formats[name] = std::move(format);
        return true;
    }

    bool HandleRule(const std::string& line, std::string* error)
    {
        std::unique_ptr<Rule> rule = ParseRule(line, m_conf, m_options, error);
        if (!rule)
            return false;
        m_conf.rules.push_back(std::move(rule));
        return true;
    }

    void Finish()
    {
        if (m_conf.reloadPeriod > 0 && m_conf.fsyncPeriod >= m_conf.reloadPeriod)
            m_conf.fsyncPeriod = 0;
    }

    Conf& m_conf;
    const ConfOptions& m_options;
    int m_section = kNone;
    int m_lineNo = 0;
    std::string m_defaultPattern;
    int m_defaultPatternLine = 0;
    bool m_haveDefaultPattern = false;
};

std::unique_ptr<Conf> NewDefaultConf(ConfSource source)
{
    std::unique_ptr<Conf> conf(new Conf);
    conf->source = source;
    std::string error;
    conf->defaultFormat = Format::Parse(kDefaultFormat, kUnlimitedWidthBudget, &error);
    return conf;
}

}  // namespace

bool Rule::MatchesCategory(const std::string& name) const
{
    switch (match) {
    case CategoryMatch::All: return true;
    case CategoryMatch::Exact: return name == category;
    case CategoryMatch::Prefix:
        return 0 == name.compare(0, category.size(), category) ||
               0 == name.compare(0, std::string::npos, category, 0, category.size() - 1);
    case CategoryMatch::Unmatched: return false;
    }
    return false;
}

std::unique_ptr<Conf> ParseConfText(const char* text, size_t length, const std::string& path,
                                    const ConfOptions& options)
{
    std::unique_ptr<Conf> conf = NewDefaultConf(ConfSource::File);
    conf->path = path;
    Parser parser(*conf, options);
    if (!parser.Run(text, length))
        return nullptr;
    return conf;
}

std::unique_ptr<Conf> LoadConfFile(const char* path, const ConfOptions& options)
{
    // The trust check runs on the descriptor we read, so the file cannot be swapped in between.
    const int fd = OpenTrustedConfFile(path);
    if (fd < 0) {
        zc_error("configure file[%s] is missing or not a regular file that only its owner (or root) can change",
                 path ? path : "(null)");
        return nullptr;
    }
    std::string text;
    char chunk[8192];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && EINTR == errno)
            continue;
        if (got < 0 || text.size() + static_cast<size_t>(got) > kMaxConfFileSize) {
            zc_error("read configure file[%s] fail or file too large", path);
            close(fd);
            return nullptr;
        }
        if (0 == got)
            break;
        text.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return ParseConfText(text.data(), text.size(), path, options);
}

std::unique_ptr<Conf> zlog_conf_new_with_rule(const char* ruleText, const ConfOptions& options)
{
    const bool builtIn = nullptr == ruleText || '\0' == ruleText[0];
    std::unique_ptr<Conf> conf = NewDefaultConf(builtIn ? ConfSource::BuiltIn : ConfSource::RuleText);
    conf->rotater.lockPath = kBuiltInLockFile;
    conf->ruleText = builtIn ? kBuiltInRule : ruleText;
    std::string error;
    std::unique_ptr<Rule> rule = ParseRule(Trim(conf->ruleText), *conf, options, &error);
    if (!rule) {
        zc_error("%s", error.c_str());
        zc_error("zlog_conf_build_with_rule fail");
        return nullptr;
    }
    conf->rules.push_back(std::move(rule));
    return conf;
}

std::vector<Rule*> MatchRules(const Conf& conf, const std::string& category)
{
    std::vector<Rule*> matched;
    Rule* unmatched = nullptr;
    for (const auto& rule : conf.rules) {
        if (CategoryMatch::Unmatched == rule->match)
            unmatched = rule.get();
        else if (rule->MatchesCategory(category))
            matched.push_back(rule.get());
    }
    if (matched.empty() && unmatched)
        matched.push_back(unmatched);
    return matched;
}

}  // namespace zlogc
