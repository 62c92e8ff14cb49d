// Trace form for a helper that checks a crypto-library step on behalf of the function that
// called it: the Failed line carries the library's last error text and the caller's name.
#ifndef VARNELL_SMKERNEL_SSL_TRACE_DETAIL_H
#define VARNELL_SMKERNEL_SSL_TRACE_DETAIL_H

#include "QovaTrace.h"

#define SMKERNEL_FAIL_IF_SSL_IN(func, cond, code, step)                                             \
    do {                                                                                            \
        if (QovaCheckStep(static_cast<bool>(cond), __FILE__, __LINE__, (func), (step), (code), #cond, \
                          QovaTraceStepFailedSsl))                                                  \
            return (code);                                                                          \
    } while (0)

#endif
