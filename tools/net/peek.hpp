// SPDX-License-Identifier: ISC
// Whether a connected socket holds bytes that nobody has read yet, asked
// without taking any and without waiting: the check that tells an idle
// peer from one that has sent something (a query on its way, a reply
// nobody asked for) or has gone. Nothing here keeps state or fails: an
// error on the socket counts as closed.
#pragma once

enum peek_result {
	PEEK_NONE,   // nothing waits: the peer is there and quiet
	PEEK_BYTES,  // at least one byte waits to be read
	PEEK_CLOSED, // the peer has closed its end, or the socket failed
};

peek_result peek_unread(int fd);
