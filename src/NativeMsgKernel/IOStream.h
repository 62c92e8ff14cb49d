// Native-messaging frames: a 4-byte little-endian body length, then that many bytes of UTF-8 JSON.
#ifndef VARNELL_NATIVEMSG_IOSTREAM_H
#define VARNELL_NATIVEMSG_IOSTREAM_H

// The longest body written as a frame; a longer text is answered with FF FF FF FF alone.
constexpr unsigned int NATIVE_MSG_MAX_OUTGOING_SIZE = 0x100000u;
// The longest body accepted from the browser (the largest message it sends to a host); an
// announced length above it ends the conversation.
constexpr unsigned int NATIVE_MSG_MAX_INCOMING_SIZE = 0x4000000u;

// Reads one frame from fd. Returns 0 for a frame or a disconnect, else the errno of a failed read.
// Frame: *ppszMsg receives a NUL-terminated new[] buffer (the caller delete[]s it; released here when
// ppszMsg is null) and *pnMsgLen the body length. Disconnect (length 0 or 0xFFFFFFFF, end of input,
// an oversized or unallocatable length): *ppszMsg = null, *pnMsgLen = 0. Read error: outputs untouched.
unsigned int ReadFromNativeMessaging(int fd, char** ppszMsg, int* pnMsgLen);

// Writes pszMsg (without its NUL) as one frame. Returns 0 when the whole frame was written, otherwise
// 0xFFFFFFFF; a text longer than NATIVE_MSG_MAX_OUTGOING_SIZE sends FF FF FF FF and returns 0xFFFFFFFF.
unsigned int WriteToNativeMessaging(int fd, const char* pszMsg);

#endif
