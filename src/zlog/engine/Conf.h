// A loaded configuration: global settings, levels, formats and rules with their open outputs.
#ifndef VARNELL_ZLOG_ENGINE_CONF_H
#define VARNELL_ZLOG_ENGINE_CONF_H

#include "Format.h"
#include "Levels.h"
#include "Output.h"

#include <sys/types.h>

#include <bitset>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zlogc {

constexpr size_t kMaxConfLine = 4096;
constexpr size_t kMaxConfFileSize = 4 * 1024 * 1024;
constexpr size_t kMaxRulePath = 1024;

enum class CategoryMatch { All, Exact, Prefix, Unmatched };

struct Rule
{
    std::string category;  // the name to match (without the trailing '_' of a prefix)
    CategoryMatch match = CategoryMatch::Exact;
    std::bitset<kLevelCount> levels;
    const Format* format = nullptr;
    std::unique_ptr<Output> output;
    std::string text;  // the rule line, for diagnostics

    bool MatchesCategory(const std::string& name) const;
};

enum class ConfSource { File, BuiltIn, RuleText };

struct ConfOptions
{
    // Off: parse and check only. No file, directory, lock file, pipe or syslog is touched, so an
    // untrusted text can be examined safely.
    bool openOutputs = true;
};

struct Conf
{
    ConfSource source = ConfSource::BuiltIn;
    std::string path;      // the configuration file (File)
    std::string ruleText;  // the one rule (RuleText)

    bool strictInit = true;
    size_t bufferMin = 1024;
    size_t bufferMax = 2 * 1024 * 1024;
    mode_t filePerms = 0600;
    long reloadPeriod = 0;
    long fsyncPeriod = 0;

    LevelTable levels;
    std::unique_ptr<Format> defaultFormat;
    std::map<std::string, std::unique_ptr<Format>> formats;
    Rotater rotater;
    std::vector<std::unique_ptr<Rule>> rules;  // destroyed first: they use the members above
};

// Reads and parses a configuration file that passes the trust check; null on any error.
std::unique_ptr<Conf> LoadConfFile(const char* path, const ConfOptions& options);

// Parses configuration text; `path` names its file (the default rotate lock file). Null on any error.
std::unique_ptr<Conf> ParseConfText(const char* text, size_t length, const std::string& path,
                                    const ConfOptions& options);

// A configuration without a file: the defaults with exactly one rule parsed from `ruleText`; a
// null or empty text gives the stdout rule of the built-in configuration. Null on failure.
std::unique_ptr<Conf> zlog_conf_new_with_rule(const char* ruleText, const ConfOptions& options = ConfOptions());

// The rules that serve a category, in file order.
std::vector<Rule*> MatchRules(const Conf& conf, const std::string& category);

}  // namespace zlogc

#endif
