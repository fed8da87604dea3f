#!/usr/bin/env bash
# Installs the Debian package as an operator would, checks the installed
# programs (version, an upload into the simulated device, byte-exact), then
# removes it; and runs the Windows zip's flasher under Wine when it is there.
#   tools/package-check.sh    (root: it installs and removes the package)
set -euo pipefail
cd "$(dirname "$0")/.."

deb=$(ls build/comflash_*_amd64.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "package-check: no build/comflash_*_amd64.deb; run ./run package" >&2; exit 1; }
version=$(dpkg-deb -f "$deb" Version)

if dpkg-query -W -f='${Status}' comflash 2>/dev/null | grep -q "install ok installed"; then
  echo "package-check: comflash is installed already; remove it first" >&2
  exit 1
fi
echo "== installing $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq comflash >/dev/null || true' EXIT

got=$(/usr/bin/comflash-cli --version)
[ "$got" = "comflash-cli $version" ] || { echo "package-check: --version says '$got', the package $version" >&2; exit 1; }
echo "== $got"
COMFLASH_BIN=/usr/bin tools/demo.sh
for f in /usr/share/doc/comflash/README.md /usr/share/applications/comflash.desktop /usr/bin/comflash-gui; do
  [ -e "$f" ] || { echo "package-check: $f is missing" >&2; exit 1; }
done

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq comflash >/dev/null
trap - EXIT
[ ! -e /usr/bin/comflash-cli ] || { echo "package-check: removal left /usr/bin/comflash-cli" >&2; exit 1; }
echo "== installed, used and removed: comflash $version"

zip=$(ls build-win/comflash-*-win64.zip 2>/dev/null | head -n 1)
if [ -z "$zip" ]; then
  echo "== no Windows zip (build-win/comflash-*-win64.zip): skipped"
  exit 0
fi
work=$(mktemp -d /tmp/comflash-zip-XXXXXX)
# The first program in a new prefix leaves the prefix's services writing to
# it after the program ends: the folder goes only when its server has ended.
end_zip_check() {
  WINEPREFIX="$work/prefix" timeout 120 wineserver -w 2>/dev/null || true
  rm -rf "$work" || echo "package-check: could not remove $work" >&2
}
trap end_zip_check EXIT
(cd "$work" && unzip -q "$OLDPWD/$zip")
for f in comflash.exe comflash-cli.exe README.txt; do
  [ -e "$work/$f" ] || { echo "package-check: the zip holds no $f" >&2; exit 1; }
done
got=$(WINEPREFIX="$work/prefix" WINEDEBUG=-all wine "$work/comflash-cli.exe" --version 2>/dev/null | tr -d '\r')
[ "$got" = "comflash-cli $version" ] || { echo "package-check: the zip's flasher says '$got'" >&2; exit 1; }
echo "== $(basename "$zip"): $got under Wine"
