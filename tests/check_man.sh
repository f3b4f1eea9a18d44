#!/bin/sh
# SPDX-License-Identifier: ISC
# Renders each manual page with every groff warning enabled; any warning
# or error, an empty rendering, or a footer that does not name a package
# and VERSION fails the test.
# usage: check_man.sh GROFF VERSION PAGE...
set -u
groff=$1
version=$2
shift 2
status=0
for page in "$@"; do
	out=$(LC_ALL=C.UTF-8 "$groff" -ww -mandoc -Tutf8 "$page" 2>&1 >/dev/null)
	if [ -n "$out" ]; then
		echo "$page:"
		echo "$out"
		status=1
	fi
	text=$(LC_ALL=C.UTF-8 "$groff" -mandoc -Tutf8 -P-cbou "$page" 2>/dev/null)
	if ! printf '%s\n' "$text" | grep -q "^NAME"; then
		echo "$page: renders without a NAME section"
		status=1
	fi
	if ! printf '%s\n' "$text" | grep . | tail -n 1 | grep -q "^smap-[a-z]* $version "; then
		echo "$page: the footer does not name the package and version $version"
		status=1
	fi
done
exit $status
