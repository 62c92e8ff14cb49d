// The engine's C interface: initialisation, reload and shutdown, categories, the event path,
// the default category and the MDC.
#include "Conf.h"
#include "Thread.h"
#include "zlog.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct zlog_category_s
{
    std::string name;
    // Union of the level sets of the category's rules: a level outside it returns without the lock.
    std::atomic<uint64_t> levelBits[4] = {};
    std::vector<zlogc::Rule*> rules;

    bool LevelOn(int level) const
    {
        return 0 != ((levelBits[level >> 6].load(std::memory_order_relaxed) >> (level & 63)) & 1u);
    }

    // Cannot fail: the caller has built the rule list already.
    void Bind(std::vector<zlogc::Rule*>& matched) noexcept
    {
        uint64_t bits[4] = {0, 0, 0, 0};
        for (const zlogc::Rule* rule : matched)
            for (int level = 0; level < zlogc::kLevelCount; ++level)
                if (rule->levels.test(static_cast<size_t>(level)))
                    bits[level >> 6] |= uint64_t{1} << (level & 63);
        rules.swap(matched);
        for (int i = 0; i < 4; ++i)
            levelBits[i].store(bits[i], std::memory_order_relaxed);
    }
};

namespace {

using zlogc::Conf;
using zlogc::ConfOptions;

struct Engine
{
    pthread_rwlock_t lock;
    bool initialised = false;
    unsigned long generation = 0;
    std::unique_ptr<Conf> conf;
    std::map<std::string, std::unique_ptr<zlog_category_t>> categories;
    // Categories of earlier initialisations, unbound. Never freed: a thread may still hold a
    // handle obtained before zlog_fini and test its levels without the lock. Taken up again when
    // the same name is asked for, so they are bounded by the names in use.
    std::map<std::string, std::unique_ptr<zlog_category_t>> retired;
    zlog_category_t* defaultCategory = nullptr;
    std::atomic<long> reloadCount{0};
    // The rule of a memory-log initialisation, which reloads rebuild; empty otherwise.
    std::string zlog_memory_log_rule;

    Engine()
    {
        // Writers first: a reload must not starve behind a steady stream of log calls.
        pthread_rwlockattr_t attributes;
        pthread_rwlockattr_init(&attributes);
        pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock, &attributes);
        pthread_rwlockattr_destroy(&attributes);
    }
};

// Never destroyed: a thread may still log while the process exits.
Engine& State()
{
    static Engine* const engine = new Engine;
    return *engine;
}

class ReadLock
{
public:
    ReadLock() { pthread_rwlock_rdlock(&State().lock); }
    ~ReadLock() { pthread_rwlock_unlock(&State().lock); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;
};

class WriteLock
{
public:
    WriteLock() { pthread_rwlock_wrlock(&State().lock); }
    ~WriteLock() { pthread_rwlock_unlock(&State().lock); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
};

// A null or empty path: the file named by QOVA_LOG_CONF_PATH, else the built-in configuration.
std::unique_ptr<Conf> LoadFromPath(const char* confpath)
{
    const ConfOptions options;
    if (confpath && confpath[0])
        return zlogc::LoadConfFile(confpath, options);
    const char* env = getenv("QOVA_LOG_CONF_PATH");
    if (env) {
        zc_debug("configure file from QOVA_LOG_CONF_PATH[%s]", env);
        return zlogc::LoadConfFile(env, options);
    }
    zc_debug("no configure file: built-in configuration");
    return zlogc::zlog_conf_new_with_rule(nullptr, options);
}

std::unique_ptr<Conf> LoadFromSameSource(const Conf& current)
{
    const ConfOptions options;
    switch (current.source) {
    case zlogc::ConfSource::File: return zlogc::LoadConfFile(current.path.c_str(), options);
    case zlogc::ConfSource::BuiltIn: return zlogc::zlog_conf_new_with_rule(nullptr, options);
    case zlogc::ConfSource::RuleText: return zlogc::zlog_conf_new_with_rule(current.ruleText.c_str(), options);
    }
    return nullptr;
}

zlog_category_t* GetOrCreateCategoryLocked(const char* cname)
{
    Engine& st = State();
    const auto found = st.categories.find(cname);
    if (found != st.categories.end())
        return found->second.get();
    const std::string name(cname);
    std::vector<zlogc::Rule*> matched = zlogc::MatchRules(*st.conf, name);
    const auto old = st.retired.find(name);
    if (old != st.retired.end()) {
        auto slot = st.categories.emplace(name, nullptr).first;  // the only step that can throw
        slot->second = std::move(old->second);
        st.retired.erase(old);
        slot->second->Bind(matched);
        return slot->second.get();
    }
    std::unique_ptr<zlog_category_t> category(new zlog_category_t);
    category->name = name;
    category->Bind(matched);
    zlog_category_t* result = category.get();
    st.categories.emplace(name, std::move(category));
    return result;
}

constexpr size_t kMaxMemoryLogRule = 511;

const char* OrNull(const char* text)
{
    return text ? text : "(null)";
}

// The thread key and the exit handler come with the first initialisation of the process.
bool PrepareFirstInitLocked()
{
    return 0 != State().generation || zlogc::PrepareThreadKey();
}

// Under the write lock, with a configuration built: the engine goes live.
void GoLiveLocked(std::unique_ptr<Conf> conf, const char* defaultCategory)
{
    Engine& st = State();
    st.conf = std::move(conf);
    if (defaultCategory) {
        try {
            st.defaultCategory = GetOrCreateCategoryLocked(defaultCategory);
        } catch (...) {
            st.retired.merge(st.categories);  // never freed: see Engine::retired
            st.conf.reset();
            throw;
        }
    }
    st.initialised = true;
    ++st.generation;
    st.reloadCount.store(0);
    zc_debug("------zlog_init success end------");
}

// Under the write lock. On failure nothing changes.
int InitLocked(const char* confpath, const char* defaultCategory)
{
    Engine& st = State();
    if (st.initialised) {
        zc_error("already init, use zlog_reload pls");
        return -1;
    }
    if (!PrepareFirstInitLocked())
        return -1;
    std::unique_ptr<Conf> conf = LoadFromPath(confpath);
    if (!conf) {
        zc_error("zlog_init_inner[%s] fail", OrNull(confpath));
        zc_error("------zlog_init fail end------");
        return -1;
    }
    GoLiveLocked(std::move(conf), defaultCategory);
    return 0;
}

// Under the write lock. On failure the engine stays down and the rule is not kept, so that the
// next initialisation or a reload after a file-based one never picks up a stale rule.
int InitMemoryLogLocked(const char* levelName, const char* logPath)
{
    Engine& st = State();
    if (st.initialised) {
        zc_error("already init, use zlog_reload pls");
        return -1;
    }
    if (nullptr == levelName || nullptr == logPath) {
        zc_error("memory log needs a level name and a path");
        return -1;
    }
    char rule[kMaxMemoryLogRule + 1];
    const int length = snprintf(rule, sizeof(rule), "qova_category.%s  >memlog:%s", levelName, logPath);
    if (length < 0 || static_cast<size_t>(length) > kMaxMemoryLogRule) {
        zc_error("memory log rule longer than %zu characters", kMaxMemoryLogRule);
        return -1;
    }
    st.zlog_memory_log_rule = rule;
    zc_debug("------rule[%s]------", rule);
    std::unique_ptr<Conf> conf;
    if (PrepareFirstInitLocked())
        conf = zlogc::zlog_conf_new_with_rule(rule);
    if (!conf) {
        zc_error("zlog_init_inner_with_rule[%s] fail", rule);
        zc_error("------zlog_init fail end------");
        st.zlog_memory_log_rule.clear();
        return -1;
    }
    GoLiveLocked(std::move(conf), nullptr);
    return 0;
}

// Under the write lock. On failure nothing changes; on success the replaced configuration is
// handed back so that its files and pipes close after the lock is released.
int ReloadLocked(const char* confpath, std::unique_ptr<Conf>* retired)
{
    Engine& st = State();
    std::unique_ptr<Conf> fresh;
    if (confpath) {
        fresh = zlogc::LoadConfFile(confpath, ConfOptions());
    } else if (!st.zlog_memory_log_rule.empty()) {
        fresh = zlogc::zlog_conf_new_with_rule(st.zlog_memory_log_rule.c_str());
        if (!fresh)
            zc_error("zlog_conf_new_with_rule fail");
    } else {
        fresh = LoadFromSameSource(*st.conf);
    }
    if (!fresh) {
        zc_error("zlog_reload fail, the old configuration stays");
        return -1;
    }
    // Everything that can fail happens before the first category changes.
    std::vector<std::vector<zlogc::Rule*>> bound;
    bound.reserve(st.categories.size());
    for (const auto& entry : st.categories)
        bound.push_back(zlogc::MatchRules(*fresh, entry.first));

    size_t i = 0;
    for (auto& entry : st.categories)
        entry.second->Bind(bound[i++]);
    retired->swap(st.conf);
    st.conf = std::move(fresh);
    st.reloadCount.store(0);
    // A file named to the reload is the source from now on.
    if (confpath)
        st.zlog_memory_log_rule.clear();
    zc_debug("------zlog_reload success------");
    return 0;
}

void AutoReload(long period)
{
    std::unique_ptr<Conf> retired;
    try {
        WriteLock lock;
        Engine& st = State();
        // Another thread may have reloaded while this one waited for the lock.
        if (!st.initialised || st.reloadCount.load() <= period)
            return;
        zc_debug("reload conf period reached, reload");
        if (0 != ReloadLocked(nullptr, &retired))
            st.reloadCount.store(0);  // try again after another period, not on every event
    } catch (...) {
        zc_error("zlog_reload fail: no memory");
    }
}

void EmitLocked(zlog_category_t* category, zlogc::Event& event)
{
    Engine& st = State();
    const Conf& conf = *st.conf;
    zlogc::ThreadRecord* thread = zlogc::FetchThreadRecord(st.generation, conf.bufferMin, conf.bufferMax);
    if (nullptr == thread) {
        zc_error("no memory for the thread record");
        return;
    }
    event.category = category->name.data();
    event.categoryLength = category->name.size();
    event.levels = &conf.levels;
    event.thread = thread;
    for (zlogc::Rule* rule : category->rules) {
        if (!rule->levels.test(static_cast<size_t>(event.level)))
            continue;
        zlogc::LineBuffer& line = thread->line;
        line.Clear();
        if (!rule->format->Render(event, line)) {
            zc_error("line of rule[%s] does not fit buffer max[%zu] or cannot be formatted, dropped", rule->text.c_str(),
                     conf.bufferMax);
            continue;
        }
        if (0 != rule->output->Write(event, line.Data(), line.Size()))
            zc_error("output of rule[%s] fail", rule->text.c_str());
    }
}

// The common event path. `useDefault` takes the default category instead of `category`.
void LogEvent(zlog_category_t* category, bool useDefault, zlogc::Event& event)
{
    if (event.level < 0 || event.level >= zlogc::kLevelCount)
        return;
    if (!useDefault) {
        if (nullptr == category) {
            zc_error("category is null: never call zlog_init() or zlog_get_category() before");
            return;
        }
        if (!category->LevelOn(event.level))
            return;
    }
    long period = 0;
    try {
        ReadLock lock;
        Engine& st = State();
        if (!st.initialised) {
            zc_error("never call zlog_init() or dzlog_init() before");
            return;
        }
        if (useDefault) {
            category = st.defaultCategory;
            if (nullptr == category) {
                zc_error("no default category: call dzlog_init() or dzlog_set_category() first");
                return;
            }
            if (!category->LevelOn(event.level))
                return;
        }
        EmitLocked(category, event);
        period = st.conf->reloadPeriod;
    } catch (...) {
        zc_error("logging fail: no memory");
        return;
    }
    if (period > 0 && State().reloadCount.fetch_add(1) + 1 > period)
        AutoReload(period);
}

zlogc::Event MakeEvent(const char* file, size_t filelen, const char* func, size_t funclen, long line, int level)
{
    zlogc::Event event;
    event.file = file;
    event.fileLength = filelen;
    event.func = func;
    event.funcLength = funclen;
    event.line = line;
    event.level = level;
    return event;
}

std::string CutMdc(const char* text)
{
    return std::string(text, strnlen(text, zlogc::kMdcMaxLength));
}

}  // namespace

int zlog_init(const char* confpath)
{
    zc_debug("------zlog_init start------");
    zc_debug("------version[1.2.8], config[%s]------", confpath ? confpath : "(null)");
    try {
        WriteLock lock;
        return InitLocked(confpath, nullptr);
    } catch (...) {
        zc_error("zlog_init fail: no memory");
        return -1;
    }
}

int dzlog_init(const char* confpath, const char* cname)
{
    zc_debug("------dzlog_init start------");
    if (nullptr == cname) {
        zc_error("dzlog_init needs a category name");
        return -1;
    }
    try {
        WriteLock lock;
        return InitLocked(confpath, cname);
    } catch (...) {
        // A half-done init leaves nothing behind: the state only changes after the last allocation.
        zc_error("dzlog_init fail: no memory");
        return -1;
    }
}

int zlog_init_memory_log(const char* levelName, const char* logPath)
{
    zc_debug("------zlog_init start------");
    zc_debug("------compile time[%s %s], version[%s]------", __DATE__, __TIME__, "1.2.8");
    zc_debug("------loglevel[%s], logpath[%s]------", OrNull(levelName), OrNull(logPath));
    try {
        WriteLock lock;
        return InitMemoryLogLocked(levelName, logPath);
    } catch (...) {
        zc_error("zlog_init_memory_log fail: no memory");
        WriteLock lock;
        if (!State().initialised)
            State().zlog_memory_log_rule.clear();
        return -1;
    }
}

int zlog_reload(const char* confpath)
{
    zc_debug("------zlog_reload start------");
    std::unique_ptr<Conf> retired;
    try {
        WriteLock lock;
        if (!State().initialised) {
            zc_warn("zlog_reload before zlog_init: nothing to do");
            return 0;
        }
        return ReloadLocked(confpath, &retired);
    } catch (...) {
        zc_error("zlog_reload fail: no memory, the old configuration stays");
        return -1;
    }
}

void zlog_fini(void)
{
    zc_debug("------zlog_fini start------");
    std::unique_ptr<Conf> retiredConf;
    WriteLock lock;
    Engine& st = State();
    if (!st.initialised) {
        zc_error("before finish, must zlog_init() or dzlog_init() fisrt");
        return;
    }
    // Unbound before the rules go: a level test through a kept handle then fails at once.
    for (auto& entry : st.categories) {
        std::vector<zlogc::Rule*> none;
        entry.second->Bind(none);
    }
    st.retired.merge(st.categories);
    st.categories.clear();
    retiredConf.swap(st.conf);
    st.defaultCategory = nullptr;
    st.initialised = false;
    st.zlog_memory_log_rule.clear();
    zlogc::ReleaseThreadKeyIfUnused();
    zc_debug("------zlog_fini end------");
}

zlog_category_t* zlog_get_category(const char* cname)
{
    if (nullptr == cname) {
        zc_error("zlog_get_category needs a name");
        return nullptr;
    }
    try {
        WriteLock lock;
        if (!State().initialised) {
            zc_error("never call zlog_init() or dzlog_init() before");
            return nullptr;
        }
        return GetOrCreateCategoryLocked(cname);
    } catch (...) {
        zc_error("zlog_get_category fail: no memory");
        return nullptr;
    }
}

int dzlog_set_category(const char* cname)
{
    if (nullptr == cname) {
        zc_error("dzlog_set_category needs a name");
        return -1;
    }
    try {
        WriteLock lock;
        if (!State().initialised) {
            zc_error("never call zlog_init() or dzlog_init() before");
            return -1;
        }
        State().defaultCategory = GetOrCreateCategoryLocked(cname);
        return 0;
    } catch (...) {
        zc_error("dzlog_set_category fail: no memory");
        return -1;
    }
}

void vzlog(zlog_category_t* category, const char* file, size_t filelen, const char* func, size_t funclen, long line,
           int level, const char* format, va_list args)
{
    zlogc::Event event = MakeEvent(file, filelen, func, funclen, line, level);
    va_list copy;
    va_copy(copy, args);
    event.format = format;
    event.args = &copy;
    LogEvent(category, false, event);
    va_end(copy);
}

void zlog(zlog_category_t* category, const char* file, size_t filelen, const char* func, size_t funclen, long line,
          int level, const char* format, ...)
{
    zlogc::Event event = MakeEvent(file, filelen, func, funclen, line, level);
    va_list args;
    va_start(args, format);
    event.format = format;
    event.args = &args;
    LogEvent(category, false, event);
    va_end(args);
}

void hzlog(zlog_category_t* category, const char* file, size_t filelen, const char* func, size_t funclen, long line,
           int level, const void* buf, size_t buflen)
{
    zlogc::Event event = MakeEvent(file, filelen, func, funclen, line, level);
    event.hexDump = true;
    event.dumpData = buf;
    event.dumpLength = buflen;
    LogEvent(category, false, event);
}

void vdzlog(const char* file, size_t filelen, const char* func, size_t funclen, long line, int level,
            const char* format, va_list args)
{
    zlogc::Event event = MakeEvent(file, filelen, func, funclen, line, level);
    va_list copy;
    va_copy(copy, args);
    event.format = format;
    event.args = &copy;
    LogEvent(nullptr, true, event);
    va_end(copy);
}

void dzlog(const char* file, size_t filelen, const char* func, size_t funclen, long line, int level,
           const char* format, ...)
{
    zlogc::Event event = MakeEvent(file, filelen, func, funclen, line, level);
    va_list args;
    va_start(args, format);
    event.format = format;
    event.args = &args;
    LogEvent(nullptr, true, event);
    va_end(args);
}

void hdzlog(const char* file, size_t filelen, const char* func, size_t funclen, long line, int level,
            const void* buf, size_t buflen)
{
    zlogc::Event event = MakeEvent(file, filelen, func, funclen, line, level);
    event.hexDump = true;
    event.dumpData = buf;
    event.dumpLength = buflen;
    LogEvent(nullptr, true, event);
}

int zlog_put_mdc(const char* key, const char* value)
{
    if (nullptr == key || nullptr == value) {
        zc_error("zlog_put_mdc needs a key and a value");
        return -1;
    }
    try {
        ReadLock lock;
        Engine& st = State();
        if (!st.initialised) {
            zc_error("never call zlog_init() or dzlog_init() before");
            return -1;
        }
        zlogc::ThreadRecord* thread = zlogc::FetchThreadRecord(st.generation, st.conf->bufferMin, st.conf->bufferMax);
        if (nullptr == thread)
            return -1;
        thread->mdc[CutMdc(key)] = CutMdc(value);
        return 0;
    } catch (...) {
        zc_error("zlog_put_mdc fail: no memory");
        return -1;
    }
}

char* zlog_get_mdc(const char* key)
{
    if (nullptr == key)
        return nullptr;
    try {
        ReadLock lock;
        Engine& st = State();
        zlogc::ThreadRecord* thread = st.initialised ? zlogc::PeekThreadRecord(st.generation) : nullptr;
        if (nullptr == thread)
            return nullptr;
        const auto found = thread->mdc.find(CutMdc(key));
        return found == thread->mdc.end() ? nullptr : found->second.data();
    } catch (...) {
        return nullptr;
    }
}

void zlog_remove_mdc(const char* key)
{
    if (nullptr == key)
        return;
    try {
        ReadLock lock;
        Engine& st = State();
        zlogc::ThreadRecord* thread = st.initialised ? zlogc::PeekThreadRecord(st.generation) : nullptr;
        if (thread)
            thread->mdc.erase(CutMdc(key));
    } catch (...) {
    }
}

void zlog_clean_mdc(void)
{
    ReadLock lock;
    Engine& st = State();
    zlogc::ThreadRecord* thread = st.initialised ? zlogc::PeekThreadRecord(st.generation) : nullptr;
    if (thread)
        thread->mdc.clear();
}
