#!/usr/bin/env bash
# Runs the real Quenthorpe.exe under Wine against real trees, INF files and the service
# control manager, in a private Wine prefix. Usage: run.sh OUT (the windows.mk output).
set -u
source "$(dirname "$0")/../../../scripts/checks.sh"
out=$(cd "${1:?usage: run.sh OUT}" && pwd) || exit 1
if [ ! -f "$out/Quenthorpe.exe" ] || [ ! -f "$out/MerrowfaldineCore.dll" ]; then
    echo "no Quenthorpe.exe or MerrowfaldineCore.dll in $out: build them with make windows" >&2
    exit 1
fi
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY
# Wine's 64-bit loader by path: where wine32 is installed, plain `wine` starts the 32-bit one.
wine=/usr/lib/wine/wine64
[ -x $wine ] || wine=wine

# The executable's own checks need no Wine.
while read -r line; do
    case $line in
        ok*) passed=$((passed + 1)) ;;
        *) failed=$((failed + 1)) ;;
    esac
    echo "$line"
done < <(python3 "$here/pe_check.py" "$out/Quenthorpe.exe")

objdump=x86_64-w64-mingw32-objdump
check "objdump: Windows GUI subsystem" \
    bash -c "$objdump -p '$out/Quenthorpe.exe' | grep -q 'Subsystem.*(Windows GUI)'"
check "objdump: a resource section (manifest, version, icon)" \
    bash -c "$objdump -h '$out/Quenthorpe.exe' | grep -q '\.rsrc'"
check "objdump: only system DLLs imported" \
    bash -c "$objdump -p '$out/Quenthorpe.exe' | grep 'DLL Name' | grep -qi kernel32 &&
             ! $objdump -p '$out/Quenthorpe.exe' | grep 'DLL Name' | grep -qi merrowfaldine"
check "objdump: the service library exports both entries" \
    bash -c "$objdump -p '$out/MerrowfaldineCore.dll' | grep -q 'InstallService' &&
             $objdump -p '$out/MerrowfaldineCore.dll' | grep -q 'UnInstallService'"

rm -rf "$WINEPREFIX"
$wine wineboot -i > "$out/wineboot.log" 2>&1
c=$WINEPREFIX/drive_c
inf=$c/windows/inf
mkdir -p "$c/Tools/driver/v2" "$c/Tools/test"
cp "$out/Quenthorpe.exe" "$out/MerrowfaldineCore.dll" "$c/Tools/"
cp "$out/test/MerrowfaldineCore.dll" "$c/Tools/test/"

# Runs the tool with the given switches; its exit code must be 0.
tool() {
    (cd "$c" && $wine 'C:\Tools\Quenthorpe.exe' "$@" > /dev/null 2>&1)
}
service_present() { (cd "$c" && $wine sc query MerrowfaldineCore 2> /dev/null | grep -q SERVICE_NAME); }
# Wine's service manager settles a change a moment after the call that made it returns,
# later still on a loaded machine, so the state is polled for up to a minute before a
# check gives up.
service_exists() {
    for _ in $(seq 1 120); do
        service_present && return 0
        sleep 0.5
    done
    return 1
}
service_missing() {
    for _ in $(seq 1 120); do
        service_present || return 0
        sleep 0.5
    done
    return 1
}

# ---- Installed-file list ----
mkdir -p "$c/App/bin/sub" "$c/App/bin/empty"
echo y > "$c/App/bin/sub/y.txt"
echo x > "$c/App/bin/x.dll"
tool /GEN_FILE_LIST 'C:\App' bin 'C:\list.txt'
check "/GEN_FILE_LIST exits 0" test $? -eq 0
check "list starts with the root, subdirectory name kept" \
    test "$(head -n 1 "$c/list.txt")" = "$(printf 'D\tC:\\App\\bin')"
check "list records the tree under the base" \
    test "$(sort "$c/list.txt" | tr '\t' ' ')" = "$(printf '%s\n' 'D C:\App\bin' 'D C:\App\empty' \
        'D C:\App\sub' 'F C:\App\sub\y.txt' 'F C:\App\x.dll' | sort)"
check "a directory's entry precedes its content" \
    test "$(grep -n 'sub' "$c/list.txt" | head -n 1 | cut -f2)" = 'C:\App\sub'
check "lines end in LF alone" test "$(grep -c $'\r' "$c/list.txt")" = 0
tool /GEN_FILE_LIST 'C:\Nowhere' bin 'C:\none.txt'
check "missing root: one D line" test "$(cat "$c/none.txt")" = "$(printf 'D\tC:\\Nowhere\\bin')"

# Deletion: listed files and directories go, deepest first; an unlisted file keeps its
# directory and the parents.
mkdir -p "$c/Inst/a/b" "$c/Inst/keep"
touch "$c/Inst/a/b/f1" "$c/Inst/a/f2" "$c/Inst/keep/f3" "$c/Inst/keep/unlisted"
printf 'D\tC:\\Inst\nD\tC:\\Inst\\a\nD\tC:\\Inst\\a\\b\nD\tC:\\Inst\\a\\b\nF\tC:\\Inst\\a\\b\\f1\n  F\tC:\\Inst\\a\\f2\r\nD\tC:\\Inst\\keep\nF\tC:\\Inst\\keep\\f3\nf\tC:\\Inst\\keep\\unlisted\n' \
    > "$c/del.txt"
tool /DEL_FILE_LIST 'C:\del.txt'
check "/DEL_FILE_LIST removes listed files and emptied directories" test ! -e "$c/Inst/a"
check "an unlisted file keeps its directory and the parents" \
    test -e "$c/Inst/keep/unlisted" -a ! -e "$c/Inst/keep/f3"
check "the list file itself stays" test -e "$c/del.txt"

# A path longer than 518 bytes is deleted under its whole name, never a truncated one.
deep=$c/Deep
longdir='C:\Deep'
for i in $(seq 1 12); do
    part=$(printf 'segment%02d_%040d' "$i" 0)
    deep=$deep/$part
    longdir="$longdir\\$part"
done
mkdir -p "$deep"
touch "$deep/target.txt" "$deep/target"
printf 'F\t\\\\?\\%s\\target.txt\n' "$longdir" > "$c/long.txt"
check "the long list line is longer than 518 bytes" test "$(wc -c < "$c/long.txt")" -gt 518
tool /DEL_FILE_LIST 'C:\long.txt'
check "a long path is deleted whole" test ! -e "$deep/target.txt" -a -e "$deep/target"

# ---- Service registration through the library ----
check "no service before" service_missing
tool /INSTALL_SRV
check "/INSTALL_SRV creates the service through the library" service_exists
cp "$c/Tools/MerrowfaldineCore.dll" "$c/real-core.dll"
cp "$c/Tools/test/MerrowfaldineCore.dll" "$c/Tools/MerrowfaldineCore.dll"
tool /INSTALL_SRV
check "a second /INSTALL_SRV leaves the library alone" test ! -e "$c/Tools/MerrowfaldineCore.dll.called"
cp "$c/real-core.dll" "$c/Tools/MerrowfaldineCore.dll"
tool /UNINSTALL_SRV
check "/UNINSTALL_SRV removes the service" service_missing
tool /UNINSTALL_SRV
check "/UNINSTALL_SRV without a service exits 0" test $? -eq 0
cp "$c/Tools/test/MerrowfaldineCore.dll" "$c/Tools/MerrowfaldineCore.dll"
tool /INSTALL_SRV
check "a library without UnInstallService is never called" \
    test ! -e "$c/Tools/MerrowfaldineCore.dll.called"
cp "$c/real-core.dll" "$c/Tools/MerrowfaldineCore.dll"

# ---- OEM INF clean-up (runs at the start of /INSTALL) ----
cp "$here/Merrowfaldine.inf" "$c/Tools/driver/v2/Merrowfaldine.inf"
stale() {
    printf '; Merrowfaldine staged earlier\r\n[Version]\r\n' > "$inf/oem10.inf"
    printf 'compiled' > "$inf/oem10.pnf"
    printf '[Version]\r\n; another product\r\n' > "$inf/oem11.inf"
    printf '; merrowfaldine in lower case\r\n' > "$inf/oem12.inf"
    printf '; Merrowfaldine\r\n' > "$inf/OEM13.INF"
    printf 'compiled' > "$inf/oem13.pnf"
    printf '; Merrowfaldine\r\n' | iconv -t UTF-16LE > "$inf/oem14.inf"
}
stale
tool /install
check "a lower-case /install is ignored" test -e "$inf/oem10.inf"
tool /DEL_FILE_LIST /INSTALL
check "/INSTALL as the operand of /DEL_FILE_LIST installs nothing" test -e "$inf/oem10.inf"
tool /GEN_FILE_LIST 'C:\App' bin 'C:\order.txt' /INSTALL
check "/GEN_FILE_LIST then /INSTALL: the list is written" test -s "$c/order.txt"
check "/INSTALL deletes an INF that mentions the base name, and its .pnf" \
    test ! -e "$inf/oem10.inf" -a ! -e "$inf/oem10.pnf"
check "an INF of another product stays" test -e "$inf/oem11.inf"
check "an INF spelling the name in another case stays" test -e "$inf/oem12.inf"
check "a capital-letter INF goes with its lower-case .pnf" \
    test ! -e "$inf/OEM13.INF" -a ! -e "$inf/oem13.pnf"
check "a UTF-16 INF never matches" test -e "$inf/oem14.inf"
# What Wine does with the package: SetupCopyOEMInfW stages the INF (under its own name),
# while its network configuration engine is a stub that refuses the component install.
check "Wine staged the package INF in the INF directory" test -e "$inf/Merrowfaldine.inf"
tool /INSTALL
check "the next /INSTALL purges the copy staged before and stages it again" \
    test -e "$inf/Merrowfaldine.inf"
tool /UNINSTALL
check "/UNINSTALL exits 0 (Wine finds no component to remove)" test $? -eq 0
tool /INSTALL /UNINSTALL /INSTALL_SRV /UNINSTALL_SRV bogus /GEN_FILE_LIST
check "any mix of switches exits 0" test $? -eq 0

check_summary "wine"
