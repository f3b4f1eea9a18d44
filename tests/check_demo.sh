#!/bin/sh
# SPDX-License-Identifier: ISC
# Runs the demo script and checks that it shows the handshake and found,
# not-found and error results, and that it leaves nothing behind, also
# when it is stopped halfway.
# usage: check_demo.sh DEMO_SCRIPT BUILD_DIR
set -u
demo=$1
build=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0

bash "$demo" "$build" >"$out" 2>&1 || { echo "demo failed:"; cat "$out"; exit 1; }
for want in 'register|ready' 'lookup-result|1|found|root' \
            'lookup-result|3|found|alice@example.org:$6$' 'lookup-result|4|not-found' \
            'lookup-result|6|error' 'warn: unknown table' 'warn: unknown service 256' \
            'update-result|10|ok' 'smap-backend exit status: 0'; do
	grep -qF "$want" "$out" || { echo "demo output lacks: $want"; status=1; }
done

# The temporary directory of each run is gone afterwards, also after a
# SIGTERM halfway through (DEMO_PAUSE keeps it running long enough).
leftover() { sed -n 's|^== smap-serve on \(/tmp/smap-demo\.[^/]*\)/.*|\1|p' "$out"; }
dir=$(leftover)
[ -n "$dir" ] && [ ! -e "$dir" ] || { echo "demo left $dir behind"; status=1; }

DEMO_PAUSE=2 bash "$demo" "$build" >"$out" 2>&1 &
pid=$!
sleep 1
kill -TERM "$pid"
wait "$pid"
dir=$(leftover)
sleep 0.2
if [ -z "$dir" ] || [ -e "$dir" ]; then
	echo "interrupted demo left ${dir:-its directory} behind"
	status=1
fi
if [ -n "$dir" ] && pgrep -f "$dir" >/dev/null; then
	echo "interrupted demo left processes running"
	status=1
fi
exit $status
