#!/bin/bash
# SPDX-License-Identifier: ISC
# make demo: smap-serve answers from examples/maps/ on a temporary socket,
# and one scripted table-protocol session runs through smap-backend,
# playing the mail server. Everything started here is stopped and the
# temporary directory removed on every way out, Ctrl-C included.
# usage: demo.sh [BUILD_DIR]
# DEMO_PAUSE=SECONDS waits that long after each section, to follow along.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
case $build in /*) ;; *) build=$top/$build ;; esac
serve=$build/tools/smap-serve
backend=$build/src/backend/smap-backend
for exe in "$serve" "$backend"; do
	[ -x "$exe" ] || { echo "demo: $exe not built (run make first)" >&2; exit 1; }
done

tmp=$(mktemp -d /tmp/smap-demo.XXXXXX)
sock=$tmp/smap.sock
serve_pid=
backend_pid=

cleanup() {
	trap - EXIT INT TERM
	if [ -n "$backend_pid" ]; then kill "$backend_pid" 2>/dev/null || true; fi
	if [ -n "$serve_pid" ]; then
		kill -TERM "$serve_pid" 2>/dev/null || true
		wait "$serve_pid" 2>/dev/null || true
	fi
	rm -rf "$tmp"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted, cleaning up"; exit 130' INT
trap 'exit 143' TERM

section() {
	if [ -n "${DEMO_PAUSE:-}" ] && [ -n "${started:-}" ]; then sleep "$DEMO_PAUSE"; fi
	started=1
	printf '\n== %s\n' "$*"
}
note() { printf '   # %s\n' "$*"; }

section "smap-serve on $sock, maps from examples/maps/"
"$serve" -v "$sock" "$top/examples/maps" 2>"$tmp/serve.log" &
serve_pid=$!
for _ in $(seq 50); do
	[ -S "$sock" ] && break
	kill -0 "$serve_pid" 2>/dev/null || { cat "$tmp/serve.log" >&2; exit 1; }
	sleep 0.1
done
[ -S "$sock" ] || { echo "demo: smap-serve did not start" >&2; exit 1; }
note "the maps:"
for map in aliases domains credentials mailaddrmap; do
	grep -v '^#' "$top/examples/maps/$map" | sed "s/^/   $map: /"
done

section "smap-backend $sock  (what the mail server starts)"
coproc BACKEND { exec "$backend" "$sock" 2>"$tmp/backend.log"; }
backend_pid=$BACKEND_PID
to_backend=${BACKEND[1]}
from_backend=${BACKEND[0]}
warned=0

send() {
	printf '%s\n' "$1" >&"$to_backend"
	printf '   mail server > %s\n' "$1"
}
receive() {
	local line
	if ! IFS= read -r -t 15 line <&"$from_backend"; then
		echo "demo: no answer from smap-backend" >&2
		exit 1
	fi
	printf '   backend     < %s\n' "$line"
	# The backend logs its warnings before it writes the result line.
	local lines
	lines=$(wc -l <"$tmp/backend.log")
	if [ "$lines" -gt "$warned" ]; then
		sed -n "$((warned + 1)),${lines}p" "$tmp/backend.log" | sed 's/^/   stderr      : /'
		warned=$lines
	fi
}
now=$(date +%s)
request() { # TABLE ACTION [SERVICE] ID [KEY]: the fields after the action
	local IFS='|'
	send "table|0.1|$now|$*"
	receive
}

section "Handshake: configuration lines, then the nine services"
send "config|protocol|0.1"
send "config|smtpd"
send "config|ready"
for _ in $(seq 10); do receive; done

section "Found"
note "the query line to smap-serve is \"aliases postmaster\"; the reply \"OK root\""
request aliases lookup alias 1 postmaster
request domains lookup domain 2 example.org
note "a login name and its hashed password"
request credentials lookup credentials 3 alice@example.org

section "Not found"
request aliases lookup alias 4 nobody
request domains lookup domain 5 example.com

section "Errors"
note "no map file \"virtual\": smap-serve answers \"PERM unknown table\""
request virtual lookup alias 6 alice@example.org
note "mailaddrmap is announced but not served: found by smap-serve, an error here"
request mailaddrmap lookup mailaddrmap 7 alice@example.org
note "check and fetch always fail; update always succeeds"
request aliases check alias 8 postmaster
request aliases fetch source 9
request aliases update 10

section "End of input: the backend exits"
exec {to_backend}>&-
status=0
wait "$backend_pid" || status=$?
backend_pid=
echo "   smap-backend exit status: $status"

section "What smap-serve logged (-v: queries and reply prefixes, never values)"
sed 's/^/   /' "$tmp/serve.log"
echo
