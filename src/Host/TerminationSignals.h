// The end of the conversation by a termination signal: SIGTERM (a desktop sends it at log-out),
// SIGINT or SIGHUP. Their default action would end the host at once, inside a token call too,
// where a token can lose its stored state. Instead every thread blocks them and one thread of the
// host's own takes them: it marks the conversation as ending, wakes the worker's read and asks the
// dialogs to end as cancelled. A token call is never interrupted: the request in flight is
// answered, the worker reads no further request and the host ends as after a disconnect.
#ifndef VARNELL_HOST_TERMINATION_SIGNALS_H
#define VARNELL_HOST_TERMINATION_SIGNALS_H

namespace host {

// Blocks the signals in the calling thread, so that every thread started after it inherits the
// mask, and starts the thread that takes them. Call it in main before any other thread starts.
// When that thread cannot be started the signals keep their default action.
void TakeTerminationSignals();

// A descriptor that becomes readable, and stays so, once the conversation is ending; -1 when the
// signals are not taken.
int ConversationEndingFd();

// The signal that ended the conversation, or 0 while none came.
int ConversationEndingSignal();

}  // namespace host

#endif
