// SPDX-License-Identifier: ISC
// Throughput benchmark: a fast netstring socketmap server answering from
// memory, the upstream of the bridge phase.
//
// It listens on a local stream socket in a fresh temporary directory and
// on a kernel-chosen TCP port of 127.0.0.1, and serves every connection
// on a thread of its own. Each netstring query "TABLE KEY" is answered
// with the netstring "OK value-for-KEY" when TABLE is the benchmark's
// table, "PERM unknown table" otherwise; the replies to all the complete
// queries of one read leave in one write, with TCP_NODELAY on TCP. It
// trusts its client (smap-serve): a malformed netstring is fatal, as is
// failing to set up a socket. The server lives until the process ends;
// tp_nsserver_cleanup() removes the socket and the directory (which must
// be empty otherwise by then).
#pragma once

struct tp_nsserver_address {
	const char* dir;  // the temporary directory, for more sockets
	const char* path; // the local socket in it (owned by the module)
	int port;         // the TCP port on 127.0.0.1
};

tp_nsserver_address tp_nsserver_start();
void tp_nsserver_cleanup();
