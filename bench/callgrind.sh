#!/bin/sh
# SPDX-License-Identifier: ISC
# Instructions per lookup of smap-backend and of the minimal relay, counted
# by callgrind: stable where wall-clock figures are not.
#
#   bench/callgrind.sh THROUGHPUT BACKEND [N]
#
# Each program runs twice under callgrind, through `throughput -C`: once
# with the handshake and N closed-loop lookups (default 3000), once with
# the handshake alone. The difference divided by N is the cost of one
# lookup in user space; system calls count as the few instructions that
# enter the kernel. The top functions of the N-lookup run follow, by
# inclusive cost.
set -eu

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
	echo "usage: $0 THROUGHPUT BACKEND [N]" >&2
	exit 2
fi
throughput=$1
backend=$2
n=${3:-3000}
out=$(mktemp -d "${TMPDIR:-/tmp}/callgrind.XXXXXX")
trap 'rm -rf "$out"' EXIT INT TERM

# Total instructions of one run: PROGRAM COUNT
count() {
	file="$out/$1.$2"
	"$throughput" -C "$1" -n "$2" \
		-w "valgrind -q --tool=callgrind --callgrind-out-file=$file" "$backend" >/dev/null
	awk '/^(summary|totals):/ { print $2; exit }' "$file"
}

for prog in backend relay; do
	zero=$(count $prog 0)
	full=$(count $prog "$n")
	per=$(( (full - zero) / n ))
	eval "per_$prog=$per"
	printf '%-8s %12s instructions with %s lookups, %10s without: %6s per lookup\n' \
		"$prog" "$full" "$n" "$zero" "$per"
done
awk -v b="$per_backend" -v r="$per_relay" \
	'BEGIN { printf "smap-backend / minimal relay: %.2f instructions per lookup (target <= 3)\n", b / r }'

for prog in backend relay; do
	echo
	echo "== $prog: top functions by inclusive cost, $n lookups =="
	callgrind_annotate --inclusive=yes --auto=no --threshold=99.9 "$out/$prog.$n" 2>/dev/null |
		awk '/^-+$/ { rule++; next } rule >= 3 && NF > 0' | head -n 25
done
