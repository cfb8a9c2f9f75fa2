#!/usr/bin/env bash
# Checks a built .deb: lists its contents (dpkg-deb -c), requires the two
# programs, the systemd unit, its environment file and the PAM file, checks
# that the unit runs the packaged program and reads its environment file, and
# verifies the unit with systemd-analyze (no running systemd needed).
# Usage: packaging/check-package.sh PACKAGE.deb
set -euo pipefail
deb=${1:?usage: check-package.sh PACKAGE.deb}

listing=$(dpkg-deb -c "$deb")
echo "$listing"
missing=0
for f in ./usr/bin/telmo_manager ./usr/bin/telmoctl ./usr/lib/systemd/system/telmo-manager.service \
         ./etc/default/telmo-manager ./etc/pam.d/telmo; do
  grep -q " $f\$" <<<"$listing" || { echo "check-package: $f is missing from $deb" >&2; missing=1; }
done
[ "$missing" = 0 ]

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
unit=usr/lib/systemd/system/telmo-manager.service
grep -qx "ExecStart=/usr/bin/telmo_manager" "$root/$unit" || { echo "check-package: $unit does not run /usr/bin/telmo_manager" >&2; exit 1; }
grep -qx "EnvironmentFile=-/etc/default/telmo-manager" "$root/$unit" || { echo "check-package: $unit does not read /etc/default/telmo-manager" >&2; exit 1; }
"$root/usr/bin/telmoctl" --help >/dev/null
# The unit as installed, its paths moved into the unpacked package, checked
# against this machine's units (sysinit.target and the like); any complaint
# fails the check.
mkdir "$root/check"
sed -e "s|=/usr/bin/|=$root/usr/bin/|" -e "s|=-/etc/|=-$root/etc/|" "$root/$unit" >"$root/check/telmo-manager.service"
complaints=$(systemd-analyze verify --man=no "$root/check/telmo-manager.service" 2>&1) || true
if [ -n "$complaints" ]; then
  echo "$complaints" >&2
  echo "check-package: systemd-analyze verify found fault with $unit" >&2
  exit 1
fi
echo "check-package: $(basename "$deb"): contents listed and checked, unit verified"
