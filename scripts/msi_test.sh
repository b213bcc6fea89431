#!/usr/bin/env bash
# Installs the Windows Installer package under wine as a user would, runs the installed
# ~~Tarvex2.exe against a drive P: mapped to a scratch folder, upgrades to a newer package
# without naming its features and uninstalls it; fails on anything out of place: a choice
# of start at sign-in lost by the upgrade, a folder the package did not make taken away.
# Called by windows_test.sh with its wine prefix and display.
#   bash scripts/msi_test.sh <windows build folder>
set -euo pipefail
build=$1
msi=$build/tarvex-1.0.0-windows-x64.msi
drive_c=$WINEPREFIX/drive_c
fail() { echo "msi test: $*" >&2; exit 1; }
products() {  # the installed Tarvex products, as "version" lines
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/DisplayName.*Tarvex movers/ {found=1} /^HKEY/ {found=0}
                      found && /DisplayVersion/ {print $NF; found=0}'
}
shortcut() { find "$drive_c/users" "$drive_c/ProgramData" -ipath "*/$1/$2.lnk" 2>/dev/null | head -1; }
starts() {  # the programs that start at sign-in, as the machine's Run key names them
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' 2>/dev/null |
    tr -d '\r' | awk '$1 ~ /^~~Tarvex/ {print $1}' | sort | tr '\n' ' '
}
# The Startup folders there before the install, empty as a new user's are: they stay.
startup_user="$drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/StartUp"
startup_all="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/StartUp"
mkdir -p "$startup_user" "$startup_all"
# A prefix that has run this test before still has the package: take it away first.
for old in "$build/tarvex-newer.msi" "$msi"; do
  [ -f "$old" ] && wine msiexec /x "$old" /qn >/dev/null 2>&1 || true
done

wine msiexec /i "$msi" /qn /l*v "$build/msi-install.log" ADDLOCAL=Programs,StartTarvex2 ||
  fail "install failed"
grep -aq 'Property(S): ALLUSERS = 1' "$build/msi-install.log" || fail "not installed per machine"
for exe in '~~Tarvex2.exe' '~~Tarvex1.exe' '~~Tarvex.exe' README.txt; do
  [ -f "$drive_c/Program Files/Tarvex/$exe" ] || fail "no $exe under Program Files\\Tarvex"
done
for name in '~~Tarvex2' '~~Tarvex1' '~~Tarvex'; do
  [ -n "$(shortcut 'Programs/Tarvex' "$name")" ] || fail "no Start menu shortcut $name"
done
[ "$(starts)" = "~~Tarvex2 " ] || fail "start at sign-in was chosen for ~~Tarvex2 only: $(starts)"
[ "$(products)" = "1.00" ] || fail "installed programs: $(products)"
events='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
for name in '~~Tarvex2' '~~Tarvex1' '~~Tarvex'; do
  wine reg query "$events\\$name" /v EventMessageFile 2>/dev/null | tr -d '\r' |
    grep -Fq "Tarvex\\$name.exe" || fail "no event source $name naming its program"
done

# The installed program against a real drive letter P:.
drive=$(mktemp -d)
trap 'rm -rf "$drive"; rm -f "$WINEPREFIX/dosdevices/p:"' EXIT
mkdir -p "$drive/PMail/Mail/_Remail" "$drive/Ostrand/Mail/Mailin" "$drive/Ostrand/Logs"
printf 12345 > "$drive/PMail/Mail/_Remail/a.cnm"
printf 'a user file' > "$drive/PMail/Mail/_Remail/.tarvex-claim-x.cnm"  # waits, and is told
ln -sfn "$drive" "$WINEPREFIX/dosdevices/p:"
# wine's own trace of the event-log calls shows what reaches the Application log.
TARVEX_TICK_MS=200 WINEDEBUG=warn+eventlog wine "C:\\Program Files\\Tarvex\\~~Tarvex2.exe" \
  >/dev/null 2>"$build/msi-program.err" &
program=$!
for _ in $(seq 150); do [ -f "$drive/Ostrand/Mail/Mailin/a.cnm" ] && break; sleep 0.2; done
wine taskkill /f /im '~~Tarvex2.exe' >/dev/null 2>&1 || kill "$program" 2>/dev/null || true
wait "$program" 2>/dev/null || true
[ "$(cat "$drive/Ostrand/Mail/Mailin/a.cnm" 2>/dev/null)" = 12345 ] ||
  fail "the installed ~~Tarvex2 moved nothing"
grep -Eq '^#[0-9-]+ [0-9:]+#,"0000005"' "$drive/Ostrand/Logs/~Mailin.log" ||
  fail "the installed ~~Tarvex2 logged no line"
grep -aFq 'ReportEventW L"P:\\PMail\\Mail\\_Remail\\.tarvex-claim-x.cnm stays where it is' \
  "$build/msi-program.err" || fail "the waiting file was not told in the event log"

# A newer package replaces the older one.
sed 's/Version="1\.00"/Version="1.01"/' "$build/packaging/tarvex.wxs" \
  > "$build/packaging/tarvex-newer.wxs"
(cd "$build/packaging" && wixl -a x64 -o "$build/tarvex-newer.msi" tarvex-newer.wxs)
wine msiexec /i "$build/tarvex-newer.msi" /qn || fail "upgrade failed"
[ "$(products)" = "1.01" ] || fail "after the upgrade, installed programs: $(products)"
[ -f "$drive_c/Program Files/Tarvex/~~Tarvex2.exe" ] || fail "the upgrade lost ~~Tarvex2.exe"
[ "$(starts)" = "~~Tarvex2 " ] || fail "after the upgrade, programs started at sign-in: $(starts)"

wine msiexec /x "$build/tarvex-newer.msi" /qn || fail "uninstall failed"
[ ! -e "$drive_c/Program Files/Tarvex" ] || fail "Program Files\\Tarvex is left"
[ -z "$(shortcut 'Programs/Tarvex' '~~Tarvex2')" ] || fail "shortcuts are left"
[ -z "$(starts)" ] || fail "still started at sign-in: $(starts)"
[ -z "$(products)" ] || fail "still installed: $(products)"
! wine reg query 'HKLM\Software\Tarvex' >/dev/null 2>&1 || fail "HKLM\Software\Tarvex is left"
! wine reg query "$events\\~~Tarvex2" >/dev/null 2>&1 || fail "the event source ~~Tarvex2 is left"
[ -d "$startup_user" ] && [ -d "$startup_all" ] || fail "a Startup folder that was there is gone"
echo "Windows Installer package: installed per machine (with the programs' event sources), ran" \
  "(telling a waiting file in the event log), upgraded (keeping which programs" \
  "start at sign-in) and uninstalled (leaving the Startup folders) under wine."
