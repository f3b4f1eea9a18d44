// SPDX-License-Identifier: ISC
// Error texts: "WHAT: REASON", REASON being the system's text for an errno
// value, as every message of the tools that reports a failed system call
// writes it. Nothing here keeps state or fails.
#pragma once

#include <string>
#include <string_view>

std::string with_error(std::string_view what, int error);
