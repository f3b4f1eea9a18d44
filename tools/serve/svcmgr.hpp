// SPDX-License-Identifier: ISC
// The service manager's side of a daemon: a listening socket handed over
// at start (socket activation), state notifications, and whether standard
// error is the journal, spoken directly over the environment and a
// datagram socket, without libsystemd.
//
// svcmgr_listener() takes descriptor 3 when LISTEN_PID names this process
// and LISTEN_FDS says one socket was passed; the descriptor then belongs
// to the caller, but the socket file does not: the service manager made
// it and keeps listening on it after the process ends, so the caller must
// never bind, chmod or remove it. A passed socket that is not the one
// expected is fatal (die_msg()). svcmgr_notify() never blocks and only ever warns.
//
// A server that fails to start under socket activation must not leave
// clients waiting on the passed socket: the manager, which keeps
// listening, would start it again for them at once, over and over.
// svcmgr_drain_on_failed_start() arranges for such an exit to take and
// close them first.
#pragma once

// The descriptor of the listening local stream socket bound to
// `socket_path` (its text, or the same socket file when one name is
// relative) that the service manager passed, made close-on-exec and
// non-blocking; -1 when nothing was passed to this process. LISTEN_PID,
// LISTEN_FDS and LISTEN_FDNAMES are removed from the environment either
// way. Fatal when passed descriptors are not exactly one such socket.
int svcmgr_listener(const char* socket_path);

// When LISTEN_PID names this process and LISTEN_FDS passes descriptors,
// arranges (atexit()) that an exit before "READY=1" is sent accepts every
// connection already waiting on those that are listening sockets, without
// blocking, and closes it. The variables are read, not removed. Call it
// first, before anything can end the process.
void svcmgr_drain_on_failed_start();

// Sends `state` ("READY=1", "STOPPING=1") to the socket named by
// NOTIFY_SOCKET: a path, or an abstract name written with a leading "@".
// Nothing happens when the variable is unset; it never blocks: a failure,
// a full queue included, is logged. "READY=1" ends the start for
// svcmgr_drain_on_failed_start(), whether the variable is set or not.
void svcmgr_notify(const char* state);

// True when standard error is the journal's stream: JOURNAL_STREAM holds
// "DEV:INODE" in decimal, and they are standard error's. A descriptor
// merely inherited from a unit and then redirected does not match.
bool svcmgr_journal_stderr();
