// Trace forms of the software kernel beside the common ones: a crypto-library step checked by a
// helper on behalf of the function that called it (the Failed line carries the library's last
// error text and the caller's name, and may carry the caller's reason), and free-text lines.
#ifndef VARNELL_SMKERNEL_SSL_TRACE_DETAIL_H
#define VARNELL_SMKERNEL_SSL_TRACE_DETAIL_H

#include "QovaTrace.h"

#define SMKERNEL_FAIL_IF_SSL_IN(func, cond, code, step)                                             \
    do {                                                                                            \
        if (QovaCheckStep(static_cast<bool>(cond), __FILE__, __LINE__, (func), (step), (code), #cond, \
                          QovaTraceStepFailedSsl))                                                  \
            return (code);                                                                          \
    } while (0)

// The same for a helper whose callers each name the failure in words of their own: the Failed line
// carries `reason` in place of the condition's text.
#define SMKERNEL_FAIL_IF_SSL_BECAUSE_IN(func, cond, code, step, reason)                                 \
    do {                                                                                              \
        if (QovaCheckStep(static_cast<bool>(cond), __FILE__, __LINE__, (func), (step), (code), (reason), \
                          QovaTraceStepFailedSsl))                                                    \
            return (code);                                                                            \
    } while (0)

// A free-text line at level 3; its arguments are not even formatted while logging is off.
#define SMKERNEL_TRACE(...)                          \
    do {                                             \
        if (QovaLogEnabled()) TRACE(3, __VA_ARGS__); \
    } while (0)

#endif
