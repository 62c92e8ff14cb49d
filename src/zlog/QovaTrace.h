// The one trace idiom for checked steps.
//
//   QOVA_FAIL_IF(NULL == pData, QOVA_E_INVALIDARG, "Check pData");
//
// tests the failure condition; on failure it writes the Failed line with the condition's own
// source text as the reason and returns the code, otherwise it writes the OK line. The code
// expression is evaluated only on failure, after the condition. Nothing is formatted while
// logging is off. Use the macros in named functions only (inside a lambda __func__ is "operator()").
#ifndef VARNELL_QOVA_TRACE_H
#define VARNELL_QOVA_TRACE_H

#include "QovaResult.h"
#include "qova_zlog.h"

#include <string>

// Line writers: software kernel, token services and host (512-byte line, TraceInfo/TraceError).
void QovaTraceStepOK(const char* file, int line, const char* func, const char* step);
void QovaTraceStepFailed(const char* file, int line, const char* func, const char* step, unsigned int code,
                         const char* reason);
// Adds " Openssl <text of the crypto library's last queued error>" to the Failed line.
void QovaTraceStepFailedSsl(const char* file, int line, const char* func, const char* step, unsigned int code,
                            const char* reason);
// PKCS#11 kernel: a buffer sized for the line, TraceLog, and no reason on the Failed line.
void QovaTraceP11StepOK(const char* file, int line, const char* func, const char* step);
void QovaTraceP11StepFailed(const char* file, int line, const char* func, const char* step, unsigned int code);

// Outside text (a request's names, a token's CKA_ID, certificate fields) as it may stand in a
// trace line: control characters and the backslash become C escapes ("\n", "\x01", "\\"), so
// that no text can end its line or fake another. Other bytes, UTF-8 included, stay. Null gives
// "(null)".
std::string QovaTraceText(const char* text);

#define QOVA_TRACE_OK_(writer, step)                                  \
    do {                                                              \
        if (QovaLogEnabled()) writer(__FILE__, __LINE__, __func__, (step)); \
    } while (0)

#define QOVA_TRACE_FAILED_(writer, step, code, reason)                               \
    do {                                                                             \
        if (QovaLogEnabled()) writer(__FILE__, __LINE__, __func__, (step), (code), (reason)); \
    } while (0)

// Statement forms that return the code on failure.
#define QOVA_FAIL_IF(cond, code, step)                                          \
    do {                                                                        \
        if (cond) {                                                             \
            const unsigned int qovaCode_ = (code);                              \
            QOVA_TRACE_FAILED_(QovaTraceStepFailed, step, qovaCode_, #cond);    \
            return qovaCode_;                                                   \
        }                                                                       \
        QOVA_TRACE_OK_(QovaTraceStepOK, step);                                  \
    } while (0)

#define QOVA_FAIL_IF_SSL(cond, code, step)                                      \
    do {                                                                        \
        if (cond) {                                                             \
            const unsigned int qovaCode_ = (code);                              \
            QOVA_TRACE_FAILED_(QovaTraceStepFailedSsl, step, qovaCode_, #cond); \
            return qovaCode_;                                                   \
        }                                                                       \
        QOVA_TRACE_OK_(QovaTraceStepOK, step);                                  \
    } while (0)

#define QOVA_P11_FAIL_IF(cond, code, step)                                      \
    do {                                                                        \
        if (cond) {                                                             \
            const unsigned int qovaCode_ = (code);                              \
            if (QovaLogEnabled())                                               \
                QovaTraceP11StepFailed(__FILE__, __LINE__, __func__, (step), qovaCode_); \
            return qovaCode_;                                                   \
        }                                                                       \
        QOVA_TRACE_OK_(QovaTraceP11StepOK, step);                               \
    } while (0)

// Expression forms for steps that must not return at once (a loop that goes on, a cleanup that
// must run first): they trace and yield true when the step failed.
#define QOVA_STEP_FAILED(cond, code, step) \
    QovaCheckStep(static_cast<bool>(cond), __FILE__, __LINE__, __func__, (step), (code), #cond, QovaTraceStepFailed)
#define QOVA_STEP_FAILED_SSL(cond, code, step) \
    QovaCheckStep(static_cast<bool>(cond), __FILE__, __LINE__, __func__, (step), (code), #cond, QovaTraceStepFailedSsl)
#define QOVA_P11_STEP_FAILED(cond, code, step) \
    QovaCheckP11Step(static_cast<bool>(cond), __FILE__, __LINE__, __func__, (step), (code))

// Lines that belong to no condition: an OK step, or a failure found by other means.
#define QOVA_TRACE_STEP_OK(step) QOVA_TRACE_OK_(QovaTraceStepOK, step)
#define QOVA_TRACE_STEP_FAILED(step, code, reason) QOVA_TRACE_FAILED_(QovaTraceStepFailed, step, code, reason)
#define QOVA_TRACE_STEP_FAILED_SSL(step, code, reason) QOVA_TRACE_FAILED_(QovaTraceStepFailedSsl, step, code, reason)
#define QOVA_P11_TRACE_STEP_OK(step) QOVA_TRACE_OK_(QovaTraceP11StepOK, step)
#define QOVA_P11_TRACE_STEP_FAILED(step, code)                                              \
    do {                                                                                    \
        if (QovaLogEnabled()) QovaTraceP11StepFailed(__FILE__, __LINE__, __func__, (step), (code)); \
    } while (0)

// Forms for a helper that checks steps on behalf of the function that called it: `func` is that
// function's __func__, passed down, so that the line names the function the log's reader knows
// rather than the helper.
#define QOVA_FAIL_IF_IN(func, cond, code, step)                                                  \
    do {                                                                                         \
        if (cond) {                                                                              \
            const unsigned int qovaCode_ = (code);                                               \
            if (QovaLogEnabled())                                                                \
                QovaTraceStepFailed(__FILE__, __LINE__, (func), (step), qovaCode_, #cond);       \
            return qovaCode_;                                                                    \
        }                                                                                        \
        if (QovaLogEnabled()) QovaTraceStepOK(__FILE__, __LINE__, (func), (step));               \
    } while (0)

#define QOVA_P11_FAIL_IF_IN(func, cond, code, step)                                              \
    do {                                                                                         \
        if (cond) {                                                                              \
            const unsigned int qovaCode_ = (code);                                               \
            if (QovaLogEnabled()) QovaTraceP11StepFailed(__FILE__, __LINE__, (func), (step), qovaCode_); \
            return qovaCode_;                                                                    \
        }                                                                                        \
        if (QovaLogEnabled()) QovaTraceP11StepOK(__FILE__, __LINE__, (func), (step));            \
    } while (0)

#define QOVA_STEP_FAILED_IN(func, cond, code, step) \
    QovaCheckStep(static_cast<bool>(cond), __FILE__, __LINE__, (func), (step), (code), #cond, QovaTraceStepFailed)
#define QOVA_P11_STEP_FAILED_IN(func, cond, code, step) \
    QovaCheckP11Step(static_cast<bool>(cond), __FILE__, __LINE__, (func), (step), (code))

#define QOVA_TRACE_STEP_FAILED_IN(func, step, code, reason)                                     \
    do {                                                                                         \
        if (QovaLogEnabled()) QovaTraceStepFailed(__FILE__, __LINE__, (func), (step), (code), (reason)); \
    } while (0)

using QovaFailedWriter = void (*)(const char*, int, const char*, const char*, unsigned int, const char*);

inline bool QovaCheckStep(bool failed, const char* file, int line, const char* func, const char* step,
                          unsigned int code, const char* reason, QovaFailedWriter writer)
{
    if (QovaLogEnabled()) {
        if (failed)
            writer(file, line, func, step, code, reason);
        else
            QovaTraceStepOK(file, line, func, step);
    }
    return failed;
}

inline bool QovaCheckP11Step(bool failed, const char* file, int line, const char* func, const char* step,
                             unsigned int code)
{
    if (QovaLogEnabled()) {
        if (failed)
            QovaTraceP11StepFailed(file, line, func, step, code);
        else
            QovaTraceP11StepOK(file, line, func, step);
    }
    return failed;
}

#endif
