// Module state, failure injection and the call log.
#include "TestP11State.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace testp11 {

Module& Module::Instance()
{
    static Module module;
    return module;
}

void Module::Reset()
{
    initialized = false;
    config = Config();
    sessions.clear();
    nextSession = 1;
    nextObject = 1;
}

Slot* Module::FindSlot(CK_SLOT_ID id)
{
    for (Slot& slot : config.slots) {
        if (slot.id == id)
            return &slot;
    }
    return nullptr;
}

Session* Module::FindSession(CK_SESSION_HANDLE handle)
{
    auto it = sessions.find(handle);
    return it == sessions.end() ? nullptr : &it->second;
}

Object* Module::VisibleObject(const Session& session, CK_OBJECT_HANDLE handle)
{
    Slot* slot = FindSlot(session.slot);
    if (slot == nullptr)
        return nullptr;
    for (Object& object : slot->objects) {
        if (object.handle == handle)
            return object.IsPrivate() && !slot->userLoggedIn ? nullptr : &object;
    }
    return nullptr;
}

CK_RV Module::Injected(const char* function, const CK_SLOT_ID* slot)
{
    if (config.delayMs != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(config.delayMs));
    auto delay = config.delays.find(function);
    if (delay != config.delays.end())
        std::this_thread::sleep_for(std::chrono::milliseconds(delay->second));
    for (FailRule& rule : config.failRules) {
        if (rule.function != function)
            continue;
        if (!rule.anySlot && (slot == nullptr || *slot != rule.slot))
            continue;
        if (rule.seen++ < rule.after || rule.fired >= rule.times)
            continue;
        ++rule.fired;
        return rule.rv;
    }
    return CKR_OK;
}

bool UpdateTries(const Slot& slot, const std::function<void(CK_ULONG& left)>& update, CK_ULONG* left)
{
    const int fd = open(slot.triesFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = 0 == flock(fd, LOCK_EX);
    char text[32] = {0};
    const ssize_t got = ok ? pread(fd, text, sizeof(text) - 1, 0) : -1;
    std::string content(text, got > 0 ? static_cast<size_t>(got) : 0);
    content.erase(content.find_last_not_of('\n') + 1);
    CK_ULONG count = slot.maxTries;
    if (got < 0 || (!content.empty() && !ParseUlong(content, &count)))
        ok = false;
    if (ok) {
        const CK_ULONG before = count;
        update(count);
        if (count != before) {
            const std::string written = std::to_string(count) + "\n";
            ok = 0 == ftruncate(fd, 0) &&
                 pwrite(fd, written.data(), written.size(), 0) == static_cast<ssize_t>(written.size());
        }
        *left = count;
    }
    close(fd);
    return ok;
}

CallRecord& CallRecord::Field(const char* key, const std::string& value)
{
    m_fields += ' ';
    m_fields += key;
    m_fields += '=';
    m_fields += value;
    return *this;
}

CallRecord& CallRecord::Field(const char* key, unsigned long value)
{
    return Field(key, std::to_string(value));
}

CallRecord& CallRecord::HexField(const char* key, const void* data, size_t size)
{
    return Field(key, data == nullptr ? std::string("null") : Hex(static_cast<const unsigned char*>(data), size));
}

CK_RV CallRecord::Return(CK_RV rv)
{
    const char* path = getenv("TESTP11_LOG");
    if (path != nullptr && path[0] != '\0') {
        if (FILE* file = fopen(path, "a")) {
            fprintf(file, "%s rv=0x%08lx%s\n", m_function, rv, m_fields.c_str());
            fclose(file);
        }
    }
    return rv;
}

}  // namespace testp11
