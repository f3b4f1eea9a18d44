#!/bin/sh
# SPDX-License-Identifier: ISC
# The libraries that building the tree needs beyond a compiler, CMake,
# GoogleTest and Google Benchmark: tinycdb's (libcdb-dev), with which
# smap-serve reads cdb tables and smap-makemap writes them. The Makefile
# runs this before it configures a build folder.
#
# On a Debian system (dpkg-query present), a missing package is installed
# with apt-get when run as root; otherwise it is named and the script
# fails. Elsewhere nothing is checked: CMake's configure step says what it
# cannot find. With arguments, WHO (for the messages) and the PACKAGEs
# that the caller found missing, as make deb does (build-deb.sh).
# usage: build-deps.sh [WHO PACKAGE...]
set -eu
packages="libcdb-dev"
if [ $# -gt 0 ]; then
	who=$1
	shift
	missing=$*
else
	who=build
	command -v dpkg-query >/dev/null || exit 0
	missing=""
	for p in $packages; do
		status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
		[ "$status" = "install ok installed" ] || missing="$missing $p"
	done
	missing=${missing# }
fi
[ -n "$missing" ] || exit 0
if [ "$(id -u)" != 0 ]; then
	echo "$who: missing Debian packages: $missing" >&2
	echo "install them as root: apt-get install $missing" >&2
	exit 1
fi
echo "$who: installing $missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -qq -y --no-install-recommends $missing >/dev/null
