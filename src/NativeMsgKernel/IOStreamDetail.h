// The frame reader and writer as the host's worker uses them; not part of the framing interface.
#ifndef VARNELL_NATIVEMSG_IOSTREAM_DETAIL_H
#define VARNELL_NATIVEMSG_IOSTREAM_DETAIL_H

#include <cstddef>

// WriteToNativeMessaging that also reports in *pnWritten (when given) how many bytes of the frame
// reached fd, including the end marker sent for a text that is too long. A caller that retries a
// failed frame needs it: once part of a frame is in a stream, sending the whole frame again onto
// the same stream would corrupt it. Same result codes and trace lines as WriteToNativeMessaging.
unsigned int WriteToNativeMessagingCounted(int fd, const char* pszMsg, size_t* pnWritten);

// ReadFromNativeMessaging that ends as a disconnect (no message, length 0, result 0) once
// nWakeFd (-1: none) is readable, before any further byte of fd is read; a frame begun then is
// dropped. The worker's way to stop reading when the conversation is ending for another reason
// than the browser's. Same result codes and trace lines as ReadFromNativeMessaging otherwise.
unsigned int ReadFromNativeMessagingUntilWoken(int fd, int nWakeFd, char** ppszMsg, int* pnMsgLen);

#endif
