#!/bin/sh
# SPDX-License-Identifier: ISC
# make deb: checks that debian/changelog carries the version of
# CMakeLists.txt, builds the Debian packages from a copy of this tree in
# build-deb/ (dpkg-buildpackage -us -uc -b, which also runs the tests),
# copies the .deb files into dist/, and checks them: lintian with no error
# and no warning, no compiler or debhelper warning in the build, the
# systemd units of the unpacked packages through tests/check_units.sh,
# what smap-serve's maintainer scripts do with them, and the version that
# the programs and manual pages name.
#
# Missing tools and build dependencies (dpkg-dev, lintian, those of
# debian/control) are installed with apt-get when run as root; otherwise
# they are listed and the script stops.
# usage: build-deb.sh    (JOBS=N builds with N jobs, default 2)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${JOBS:-2}
version=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' debian/changelog)
project_version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$version" != "$project_version" ]; then
	echo "make deb: debian/changelog says $version, CMakeLists.txt $project_version" >&2
	exit 1
fi
out=$top/build-deb
log=$out/build.log

# The Debian packages still to be installed, one per line.
missing_packages() {
	command -v dpkg-checkbuilddeps >/dev/null || echo dpkg-dev
	command -v lintian >/dev/null || echo lintian
	if command -v dpkg-checkbuilddeps >/dev/null; then
		# "...: Unmet build dependencies: debhelper-compat (= 13) libgtest-dev";
		# of alternatives, the first. debhelper provides debhelper-compat.
		dpkg-checkbuilddeps 2>&1 | sed -n 's/.*Unmet build dependencies: //p' |
			sed 's/([^)]*)//g; s/<[^>]*>//g; s/ *| *[^ ]*//g' | tr ' ' '\n' |
			sed 's/^debhelper-compat$/debhelper/' | grep . || true
	fi
}

missing=$(missing_packages | sort -u | tr "\n" " " | sed "s/ $//")
if [ -n "$missing" ]; then
	# shellcheck disable=SC2086
	sh tools/build-deps.sh "make deb" $missing
	missing=$(missing_packages | sort -u | tr "\n" " " | sed "s/ $//")
	if [ -n "$missing" ]; then
		echo "make deb: still missing after apt-get: $missing" >&2
		exit 1
	fi
fi

# A copy without build folders: dpkg-buildpackage writes next to the
# source, and nothing of an earlier build may leak into this one.
rm -rf "$out"
src=$out/smap-backend-$version
mkdir -p "$src"
tar -cf - --exclude=./.git --exclude='./build*' --exclude=./dist --exclude=./.cache \
	--exclude='./obj-*' --exclude=./compile_commands.json . | tar -xf - -C "$src"

echo "make deb: building in $src (log: $log)"
if ! (cd "$src" &&
	DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b) \
	>"$log" 2>&1; then
	tail -n 60 "$log"
	echo "make deb: dpkg-buildpackage failed (log: $log)" >&2
	exit 1
fi
warnings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: warning:|^dh_[a-z_]+: warning:' "$log" || true)
if [ -n "$warnings" ]; then
	echo "$warnings"
	echo "make deb: the build gave warnings (log: $log)" >&2
	exit 1
fi

mkdir -p dist
rm -f dist/smap-backend_*.deb dist/smap-serve_*.deb
cp "$out"/*.deb dist/
debs=$(ls dist/smap-backend_"$version"_*.deb dist/smap-serve_"$version"_*.deb)
echo "make deb: built" $debs

lintian --fail-on error,warning --display-info $debs
mkdir -p "$out/root"
for deb in $debs; do
	dpkg-deb -x "$deb" "$out/root"
done
sh tests/check_units.sh "$out/root"

# What the maintainer scripts that debhelper wrote do with the units: the
# socket enabled and started on installation and restarted on upgrade,
# the service restarted on upgrade if it ran, the socket stopped on
# removal (and with it the service, which requires it).
dpkg-deb -e dist/smap-serve_"$version"_*.deb "$out/control"
while IFS='|' read -r script line; do
	grep -qF "$line" "$out/control/$script" || {
		echo "make deb: smap-serve's $script does not run: $line" >&2
		exit 1
	}
done <<'EOF'
postinst|deb-systemd-helper enable 'smap-serve.socket'
postinst|deb-systemd-invoke $_dh_action 'smap-serve.socket'
postinst|deb-systemd-invoke try-restart 'smap-serve.service'
prerm|deb-systemd-invoke stop 'smap-serve.socket'
EOF

# The programs and manual pages name the version of CMakeLists.txt too.
for program in usr/sbin/smap-serve usr/sbin/smap-makemap usr/bin/smap-query; do
	said=$("$out/root/$program" --version || true)
	if [ "$said" != "${program##*/} $version" ]; then
		echo "make deb: $program --version says \"$said\", not ${program##*/} $version" >&2
		exit 1
	fi
done
for page in "$out"/root/usr/share/man/man*/*.gz; do
	if ! zcat "$page" | grep -q "^\.Os smap-[a-z]* $version\$"; then
		echo "make deb: $page does not name version $version in its footer" >&2
		exit 1
	fi
done
echo "make deb: lintian, the unit and the version checks passed"
