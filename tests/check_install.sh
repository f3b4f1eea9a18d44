#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs the build into a temporary prefix, once with --prefix and once
# through DESTDIR, and checks that each file lands where a mail server and
# man(1) expect it.
# usage: check_install.sh CMAKE BUILD_DIR
set -eu
cmake=$1
build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

check_tree() {
	root=$1
	for f in libexec/smap-backend sbin/smap-serve sbin/smap-makemap bin/smap-query; do
		if [ ! -x "$root/$f" ]; then
			echo "missing executable: $root/$f"
			exit 1
		fi
	done
	for f in share/man/man8/smap-backend.8 share/man/man8/smap-serve.8 \
	         share/man/man8/smap-makemap.8 share/man/man1/smap-query.1; do
		if [ ! -s "$root/$f" ]; then
			echo "missing manual page: $root/$f"
			exit 1
		fi
	done
}

"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null
check_tree "$tmp/prefix"

DESTDIR="$tmp/stage" "$cmake" --install "$build" --prefix /usr/local >/dev/null
check_tree "$tmp/stage/usr/local"
if [ -e /usr/local/sbin/smap-serve ] && [ /usr/local/sbin/smap-serve -nt "$tmp" ]; then
	echo "DESTDIR was ignored: the install went to /usr/local"
	exit 1
fi
echo "install tree ok"
