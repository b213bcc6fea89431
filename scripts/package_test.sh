#!/usr/bin/env bash
# Installs the programs as a user would and checks what arrives: `cmake --install` into a
# scratch prefix, the Debian package's contents and control data, the capability its
# install gives, and a start of the installed program on a demonstration drive.
#   bash scripts/package_test.sh [build folder]      (default: build, already built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
scratch=$(mktemp -d /tmp/tarvex-package-XXXXXX)
chmod 755 "$scratch"  # the installed program runs as another user below
trap 'if [ -n "${pid:-}" ]; then kill "$pid" 2>/dev/null || true; fi; rm -rf "$scratch"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }
programs=('~~Tarvex2' '~~Tarvex1' '~~Tarvex')
units=(tarvex2 tarvex1 tarvex)
sizes=(16 22 24 32 48 64 128 256)

# What one installed tree must hold under its prefix, with the programs named by $bindir.
check_tree() {
  local root=$1 bindir=$2 k f
  for k in 0 1 2; do
    f=$root/bin/${programs[k]}
    [ -x "$f" ] || fail "no program $f"
    f=$root/share/applications/${units[k]}.desktop
    grep -qxF "Exec=\"$bindir/${programs[k]}\"" "$f" || fail "$f: wrong Exec"
    grep -qxF "Name=${programs[k]}" "$f" || fail "$f: wrong Name"
    if command -v desktop-file-validate >/dev/null; then
      desktop-file-validate "$f" || fail "$f does not validate"
    fi
    f=$root/lib/systemd/user/${units[k]}.service
    grep -qxF "ExecStart=$bindir/${programs[k]}" "$f" || fail "$f: wrong ExecStart"
    grep -qxF "Environment=QT_QPA_PLATFORM=offscreen" "$f" || fail "$f: not offscreen"
    f=$root/share/man/man1/${programs[k]}.1
    grep -qxF ".so man1/tarvex.1" "$f" || fail "$f: not a link to tarvex.1"
  done
  for k in "${sizes[@]}"; do
    f=$root/share/icons/hicolor/${k}x${k}/apps/tarvex.png
    [ -s "$f" ] || fail "no icon $f"
    # A PNG's width and height stand at bytes 16 to 23.
    [ "$(od -An -tx1 -j16 -N8 "$f" | tr -d ' \n')" = "$(printf '%08x%08x' "$k" "$k")" ] ||
      fail "$f is not ${k}x${k}"
  done
  local page
  page=$(MANWIDTH=80 man -l "$root/share/man/man1/tarvex.1" 2>&1) || fail "man cannot show tarvex.1"
  for f in "DRIVE LETTERS" TARVEX_DRIVE_P TARVEX_TICK_MS "Mailin.log" "drive.env"; do
    grep -qF "$f" <<<"$page" || fail "the manual page does not speak of $f"
  done
}

echo "== cmake --install into a scratch prefix"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
check_tree "$scratch/prefix" "$scratch/prefix/bin"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 700 "$scratch/verify"
  XDG_RUNTIME_DIR="$scratch/verify" systemd-analyze verify --man=no --user \
    "$scratch"/prefix/lib/systemd/user/*.service || fail "the user units do not verify"
fi

echo "== the Debian package"
(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/tarvex_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for f in libqt6widgets6 libqt6network6 libc6 libcap2-bin; do
  grep -q "$f" <<<"$depends" || fail "Depends lacks $f: $depends"
done
dpkg-deb -x "$deb" "$scratch/root"
check_tree "$scratch/root/usr" /usr/bin
dpkg-deb -e "$deb" "$scratch/control"
[ -x "$scratch/control/postinst" ] || fail "no postinst"
echo "   $(basename "$deb"): $(dpkg-deb -c "$deb" | wc -l) entries; Depends: $depends"

echo "== the installed program starts"
drive=$scratch/drive
mkdir -p "$drive/PMail/Mail/_Remail" "$drive/Ostrand/Mail/Mailin" "$drive/Ostrand/Logs" \
  "$scratch/rt"
echo "payload" >"$drive/PMail/Mail/_Remail/arrived.cnm"
run=()
if [ "$(id -u)" -eq 0 ]; then
  # The package's install gives the capability; the program then runs as an ordinary user.
  DPKG_ROOT="$scratch/root" sh "$scratch/control/postinst" configure
  getcap "$scratch/root/usr/bin/~~Tarvex2" | grep -q cap_lease || fail "postinst gave no cap_lease"
  chown -R nobody "$drive" "$scratch/rt"
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
chmod 700 "$scratch/rt"
env TARVEX_DRIVE_P="$drive" TARVEX_TICK_MS=200 QT_QPA_PLATFORM=offscreen \
  XDG_RUNTIME_DIR="$scratch/rt" "${run[@]}" "$scratch/root/usr/bin/~~Tarvex2" &
pid=$!
for _ in $(seq 100); do
  [ -e "$drive/Ostrand/Mail/Mailin/arrived.cnm" ] && [ -s "$drive/Ostrand/Logs/~Mailin.log" ] && break
  sleep 0.1
done
[ -e "$drive/Ostrand/Mail/Mailin/arrived.cnm" ] || fail "the installed program moved nothing"
grep -q '"0000008"' "$drive/Ostrand/Logs/~Mailin.log" || fail "no log line"
if [ "$(id -u)" -eq 0 ]; then
  # cap_lease is capability 28: the running program holds it in its effective set.
  eff=$(awk '/^CapEff/ {print $2}' "/proc/$pid/status")
  (( (16#$eff >> 28) & 1 )) || fail "the running program lacks cap_lease (CapEff $eff)"
fi
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
echo "Install, package and installed start checked."
