#!/bin/sh
# SPDX-License-Identifier: ISC
# Renders each manual page with every groff warning enabled; any warning
# or error, or an empty rendering, fails the test.
# usage: check_man.sh GROFF PAGE...
set -u
groff=$1
shift
status=0
for page in "$@"; do
	out=$(LC_ALL=C.UTF-8 "$groff" -ww -mandoc -Tutf8 "$page" 2>&1 >/dev/null)
	if [ -n "$out" ]; then
		echo "$page:"
		echo "$out"
		status=1
	fi
	if ! LC_ALL=C.UTF-8 "$groff" -mandoc -Tutf8 -P-cbou "$page" 2>/dev/null | grep -q "^NAME"; then
		echo "$page: renders without a NAME section"
		status=1
	fi
done
exit $status
