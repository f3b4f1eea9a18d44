// SPDX-License-Identifier: ISC
// Standard descriptors: makes sure 0, 1 and 2 are open before a program
// opens anything else.
//
// A process started with one of them closed would get its first socket or
// file on that number, and later writes meant for standard output or
// error would go to the socket. stdfd_ensure_open() opens /dev/null on
// each of the three that is closed; it must run first thing in main(),
// while the lowest free descriptors are exactly the closed ones. The
// descriptors it opens belong to the process for its whole run. Nothing
// here logs or exits: the caller decides what a failure means.
#pragma once

// True when 0, 1 and 2 are open afterwards; false, with errno set, when
// /dev/null could not be opened in place of a closed one.
bool stdfd_ensure_open();
