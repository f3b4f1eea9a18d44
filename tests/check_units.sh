#!/bin/sh
# SPDX-License-Identifier: ISC
# Checks smap-serve's systemd units and sysusers file as installed: every
# key known to systemd-analyze verify, every program and file they name
# present in the installed tree (or, for /bin/sh, on every Debian system),
# the settings below held, the user and group created. The units are
# verified with the example drop-in for the metrics file in place, as the
# README says to enable it. Any message from the tools fails the check.
# Skipped (77) without systemd's tools.
# usage: check_units.sh ROOT
#        check_units.sh --stage CMAKE BUILD_DIR SOURCE_DIR
# ROOT is an installed tree (such as the packages unpacked); --stage first
# installs the build into a temporary tree with prefix /usr and adds the
# files of debian/ where the packages put them.
set -eu
command -v systemd-analyze >/dev/null && command -v systemd-sysusers >/dev/null || {
	echo "systemd-analyze or systemd-sysusers missing: skipped"
	exit 77
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [ "$1" = --stage ]; then
	root=$tmp/root
	DESTDIR=$root "$2" --install "$3" --prefix /usr >/dev/null
	mkdir -p "$root/lib/systemd/system" "$root/etc/default" "$root/usr/lib/sysusers.d"
	cp "$4/debian/smap-serve.socket" "$4/debian/smap-serve.service" "$root/lib/systemd/system/"
	cp "$4/debian/smap-serve.default" "$root/etc/default/smap-serve"
	cp "$4/debian/smap-serve.sysusers" "$root/usr/lib/sysusers.d/smap-serve.conf"
	grep -v '^#' "$4/debian/smap-serve.dirs" | while read -r dir; do
		mkdir -p "$root/$dir"
	done
	mkdir -p "$root/usr/share/doc/smap-serve/examples"
	cp -r "$4/examples/smap-serve.service.d" "$root/usr/share/doc/smap-serve/examples/"
else
	# A copy, since systemd's own units are added below.
	root=$tmp/root
	cp -a "$1" "$root"
fi

# The targets and slices that every unit depends on by default, without
# replacing the units under test.
for dir in /lib/systemd/system /usr/lib/systemd/system; do
	if [ -d "$dir" ]; then
		mkdir -p "$root$dir"
		cp -an "$dir/." "$root$dir/"
	fi
done
# The shell is essential in Debian: there on every system, though in no
# package of ours. Any other program the units run must be in the tree.
mkdir -p "$root/bin"
cp -L /bin/sh "$root/bin/sh"
# The drop-in enabled as the README says.
dropin=usr/share/doc/smap-serve/examples/smap-serve.service.d/metrics.conf
[ -f "$root/$dropin" ] || { echo "missing: /$dropin"; exit 1; }
mkdir -p "$root/etc/systemd/system/smap-serve.service.d"
cp "$root/$dropin" "$root/etc/systemd/system/smap-serve.service.d/"
units="$root/lib/systemd/system/smap-serve.socket $root/lib/systemd/system/smap-serve.service"
out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" $units 2>&1) || {
	echo "$out"
	exit 1
}
if [ -n "$out" ]; then
	echo "$out"
	exit 1
fi
for f in etc/default/smap-serve etc/smap-serve/maps usr/sbin/smap-serve; do
	[ -e "$root/$f" ] || { echo "missing: /$f"; exit 1; }
done

mkdir -p "$root/etc"
users=$(systemd-sysusers --root="$root" --dry-run "$root/usr/lib/sysusers.d/smap-serve.conf" 2>&1)
for want in "Creating user 'smap-serve'" "Creating group 'smap-clients'"; do
	case $users in
	*"$want"*) ;;
	*) echo "sysusers: $want not found in:"; echo "$users"; exit 1 ;;
	esac
done
# Settings the units must hold, one "UNIT|LINE" a row.
while IFS='|' read -r unit line; do
	file=$root/lib/systemd/system/$unit
	[ -f "$file" ] || file=$root/etc/systemd/system/$unit
	grep -qxF "$line" "$file" || {
		echo "$unit lacks the line: $line"
		exit 1
	}
done <<'EOF'
smap-serve.socket|SocketGroup=smap-clients
smap-serve.socket|RemoveOnStop=yes
smap-serve.service|Environment=SMAP_SERVE_ARGS=/etc/smap-serve/maps
smap-serve.service|ExecReload=/bin/sh -c 'kill -HUP "$MAINPID"'
smap-serve.service|RestartPreventExitStatus=1
smap-serve.service|SyslogLevel=err
smap-serve.service|ReadOnlyPaths=/run
smap-serve.service.d/metrics.conf|ReadWritePaths=-/var/lib/prometheus/node-exporter
EOF
echo "units ok"
