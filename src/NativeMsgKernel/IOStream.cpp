#include "IOStream.h"
#include "IOStreamDetail.h"

#include "QovaTrace.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kHeaderSize = 4;
constexpr unsigned int kDisconnectLength = 0xFFFFFFFFu;

enum class IoEnd
{
    Done,   // the whole count was transferred
    Eof,    // the peer closed the descriptor first
    Error,  // the descriptor refused; errno holds why
    Woken,  // the wake-up descriptor became readable first
};

// Waits until fd is ready again after EAGAIN, so a non-blocking descriptor behaves like a blocking one.
bool WaitReady(int fd, short events)
{
    pollfd pfd = {fd, events, 0};
    for (;;) {
        if (poll(&pfd, 1, -1) >= 0)
            return true;
        if (EINTR != errno)
            return false;
    }
}

// Waits until fd has input (or its end, or an error) or nWakeFd is readable; the wake-up wins
// when both are. No read is ever begun once the wake-up has come.
IoEnd WaitInputOrWake(int fd, int nWakeFd)
{
    pollfd pfds[2] = {{nWakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
    for (;;) {
        if (poll(pfds, 2, -1) >= 0)
            break;
        if (EINTR != errno)
            return IoEnd::Error;
    }
    return 0 != pfds[0].revents ? IoEnd::Woken : IoEnd::Done;
}

// Reads exactly nSize bytes unless the input ends or fails first, or nWakeFd (when not -1)
// becomes readable; *pnDone counts what arrived.
IoEnd ReadFully(int fd, int nWakeFd, unsigned char* pbyBuf, size_t nSize, size_t* pnDone)
{
    size_t nDone = 0;
    IoEnd end = IoEnd::Done;
    while (nDone < nSize) {
        if (nWakeFd >= 0) {
            end = WaitInputOrWake(fd, nWakeFd);
            if (IoEnd::Done != end)
                break;
        }
        const ssize_t nRead = read(fd, pbyBuf + nDone, nSize - nDone);
        if (nRead > 0) {
            nDone += static_cast<size_t>(nRead);
            continue;
        }
        if (0 == nRead) {
            end = IoEnd::Eof;
            break;
        }
        if (EINTR == errno)
            continue;
        // With a wake-up descriptor the wait at the top of the loop covers a descriptor that is
        // not ready yet.
        if ((EAGAIN == errno || EWOULDBLOCK == errno) && (nWakeFd >= 0 || WaitReady(fd, POLLIN)))
            continue;
        end = IoEnd::Error;
        break;
    }
    *pnDone = nDone;
    return end;
}

// Writes all nSize bytes, going on after partial writes and interruptions; returns the count written,
// which is short only when the descriptor refused more.
size_t WriteFully(int fd, const unsigned char* pbyBuf, size_t nSize)
{
    size_t nDone = 0;
    while (nDone < nSize) {
        const ssize_t nWritten = write(fd, pbyBuf + nDone, nSize - nDone);
        if (nWritten > 0) {
            nDone += static_cast<size_t>(nWritten);
            continue;
        }
        if (nWritten < 0 && EINTR == errno)
            continue;
        if (nWritten < 0 && (EAGAIN == errno || EWOULDBLOCK == errno) && WaitReady(fd, POLLOUT))
            continue;
        break;
    }
    return nDone;
}

void HandOutDisconnect(char** ppszMsg, int* pnMsgLen)
{
    TRACE(3, "Disconnect msg!");
    if (ppszMsg)
        *ppszMsg = nullptr;
    if (pnMsgLen)
        *pnMsgLen = 0;
}

}  // namespace

namespace {

// The reader's body; its lines are traced in the name of `func`, the function the log's reader knows.
unsigned int ReadFrame(const char* func, int fd, int nWakeFd, char** ppszMsg, int* pnMsgLen)
{
    // End of input or an error anywhere in the header means the browser has gone: a disconnect.
    // So does the wake-up: the conversation is ending and no further request is read.
    unsigned char byHeader[kHeaderSize] = {0};
    size_t nHeaderRead = 0;
    if (IoEnd::Done != ReadFully(fd, nWakeFd, byHeader, kHeaderSize, &nHeaderRead)) {
        HandOutDisconnect(ppszMsg, pnMsgLen);
        return QOVA_OK;
    }

    const unsigned int nMsgLen = static_cast<unsigned int>(byHeader[0]) | (static_cast<unsigned int>(byHeader[1]) << 8) |
                                 (static_cast<unsigned int>(byHeader[2]) << 16) |
                                 (static_cast<unsigned int>(byHeader[3]) << 24);
    if (0 == nMsgLen || kDisconnectLength == nMsgLen) {
        HandOutDisconnect(ppszMsg, pnMsgLen);
        return QOVA_OK;
    }
    // The three ends below close the conversation in order (the call answers as a disconnect), but
    // each is a fault: its line carries the code of what went wrong, never 0.
    // A single header must not make the host reserve gigabytes; the conversation ends instead.
    if (QOVA_STEP_FAILED_IN(func, nMsgLen > NATIVE_MSG_MAX_INCOMING_SIZE, QOVA_E_INVALID_DATA, "Check nMsgLen")) {
        HandOutDisconnect(ppszMsg, pnMsgLen);
        return QOVA_OK;
    }

    std::unique_ptr<char[]> msg(new (std::nothrow) char[static_cast<size_t>(nMsgLen) + 1]());
    if (QOVA_STEP_FAILED_IN(func, nullptr == msg, QOVA_E_FAIL, "New memory")) {
        HandOutDisconnect(ppszMsg, pnMsgLen);
        return QOVA_OK;
    }

    size_t nBodyRead = 0;
    const IoEnd end = ReadFully(fd, nWakeFd, reinterpret_cast<unsigned char*>(msg.get()), nMsgLen, &nBodyRead);
    if (IoEnd::Error == end) {
        const int nError = errno;
        TRACE(1, "read: %d", nError);
        return static_cast<unsigned int>(nError);
    }
    // The rest of the body will never come; waiting for it would hang the host.
    if (QOVA_STEP_FAILED_IN(func, IoEnd::Eof == end, QOVA_E_READ_FAULT, "read")) {
        HandOutDisconnect(ppszMsg, pnMsgLen);
        return QOVA_OK;
    }
    // A request cut short by the end of the conversation is never processed.
    if (IoEnd::Woken == end) {
        HandOutDisconnect(ppszMsg, pnMsgLen);
        return QOVA_OK;
    }

    if (pnMsgLen)
        *pnMsgLen = static_cast<int>(nMsgLen);
    if (ppszMsg)
        *ppszMsg = msg.release();
    return QOVA_OK;
}

}  // namespace

unsigned int ReadFromNativeMessaging(int fd, char** ppszMsg, int* pnMsgLen)
{
    TraceHelper trace("ReadFromNativeMessaging");
    return ReadFrame(__func__, fd, -1, ppszMsg, pnMsgLen);
}

unsigned int ReadFromNativeMessagingUntilWoken(int fd, int nWakeFd, char** ppszMsg, int* pnMsgLen)
{
    TraceHelper trace("ReadFromNativeMessaging");
    return ReadFrame("ReadFromNativeMessaging", fd, nWakeFd, ppszMsg, pnMsgLen);
}

namespace {

// The writer's body; its lines are traced in the name of `func`, the function the log's reader knows.
unsigned int WriteFrame(const char* func, int fd, const char* pszMsg, size_t* pnWritten)
{
    if (pnWritten)
        *pnWritten = 0;
    QOVA_FAIL_IF_IN(func, NULL == pszMsg, QOVA_E_FAIL, "Check pszMsg");

    const size_t nMsgLen = strlen(pszMsg);
    // The browser takes no longer answer; the end-of-conversation length alone tells it so.
    const bool bTooLong = nMsgLen > NATIVE_MSG_MAX_OUTGOING_SIZE;
    const size_t nWriteBufSize = bTooLong ? kHeaderSize : nMsgLen + kHeaderSize;
    std::unique_ptr<unsigned char[]> frame(new (std::nothrow) unsigned char[nWriteBufSize]);
    QOVA_FAIL_IF_IN(func, nullptr == frame, QOVA_E_FAIL, "New memory");
    if (bTooLong) {
        memset(frame.get(), 0xFF, kHeaderSize);
    } else {
        frame[0] = static_cast<unsigned char>(nMsgLen & 0xFF);
        frame[1] = static_cast<unsigned char>((nMsgLen >> 8) & 0xFF);
        frame[2] = static_cast<unsigned char>((nMsgLen >> 16) & 0xFF);
        frame[3] = static_cast<unsigned char>((nMsgLen >> 24) & 0xFF);
        memcpy(frame.get() + kHeaderSize, pszMsg, nMsgLen);
    }

    const size_t nWriteSize = WriteFully(fd, frame.get(), nWriteBufSize);
    if (pnWritten)
        *pnWritten = nWriteSize;
    QOVA_FAIL_IF_IN(func, nWriteSize != nWriteBufSize, QOVA_E_FAIL, "write");
    return bTooLong ? QOVA_E_FAIL : QOVA_OK;
}

}  // namespace

unsigned int WriteToNativeMessaging(int fd, const char* pszMsg)
{
    TraceHelper trace("WriteToNativeMessaging");
    return WriteFrame(__func__, fd, pszMsg, nullptr);
}

unsigned int WriteToNativeMessagingCounted(int fd, const char* pszMsg, size_t* pnWritten)
{
    TraceHelper trace("WriteToNativeMessaging");
    return WriteFrame("WriteToNativeMessaging", fd, pszMsg, pnWritten);
}
