// The frame writer as the host's worker uses it; not part of the framing interface.
#ifndef VARNELL_NATIVEMSG_IOSTREAM_DETAIL_H
#define VARNELL_NATIVEMSG_IOSTREAM_DETAIL_H

#include <cstddef>

// WriteToNativeMessaging that also reports in *pnWritten (when given) how many bytes of the frame
// reached fd, including the end marker sent for a text that is too long. A caller that retries a
// failed frame needs it: once part of a frame is in a stream, sending the whole frame again onto
// the same stream would corrupt it. Same result codes and trace lines as WriteToNativeMessaging.
unsigned int WriteToNativeMessagingCounted(int fd, const char* pszMsg, size_t* pnWritten);

#endif
