#!/usr/bin/env bash
# Checks the built NDIS 6 filter and its package (make windows): a PE32 i386 native image
# entered at DriverEntry, importing only from the kernel, HAL and NDIS, every NDIS
# function under its decorated x86 (stdcall) name, and the INF and package layout the
# operations tool installs from. Usage: sys_check.sh OUT (the windows.mk output).
set -u
source "$(dirname "$0")/../../scripts/checks.sh"
out=$(cd "${1:?usage: sys_check.sh OUT}" && pwd) || exit 1
sys=$out/MerrowfaldineLwf.sys
package=$out/package

[ -f "$sys" ] || { echo "no $sys: build it with make windows" >&2; exit 1; }
header=$(i686-w64-mingw32-objdump -f -p "$sys")
symbols=$(i686-w64-mingw32-nm "$sys")
field() { awk -v k="$1" '$1 == k { print $2; exit }' <<< "$header"; }

check "PE32 image for i386" grep -q "file format pei-i386" <<< "$header"
check "PE32 magic" test "$(field Magic)" = 010b
check "native subsystem" test "$(field Subsystem)" = 00000001
entry=$(printf '%08x' $((0x$(field ImageBase) + 0x$(field AddressOfEntryPoint))))
check "entry point is DriverEntry" grep -qi "^$entry T _DriverEntry@8$" <<< "$symbols"
check "image checksum matches its bytes" \
    test "$(python3 "$(dirname "$0")/pe_checksum.py" "$sys")" = ok
check "no C runtime linked in" bash -c "! grep -qiE ' (T|I) _*(malloc|printf|_?_?initterm|atexit)' <<< \"\$0\"" "$symbols"

dlls=$(grep "DLL Name:" <<< "$header" | awk '{print $3}' | sort | tr '\n' ' ')
check "imports only HAL.dll, NDIS.SYS and ntoskrnl.exe (got: $dlls)" \
    test "$dlls" = "HAL.dll NDIS.SYS ntoskrnl.exe "

# Each NDIS function the filter calls, with the bytes of its arguments on x86.
ndis_functions="NdisFRegisterFilterDriver@16 NdisFDeregisterFilterDriver@4 NdisFSetAttributes@12
NdisFRestartFilter@4 NdisRegisterDeviceEx@16 NdisDeregisterDeviceEx@4
NdisGetDeviceReservedExtension@4 NdisAllocateMemoryWithTagPriority@16 NdisFreeMemory@12
NdisAllocateNetBufferListPool@8 NdisFreeNetBufferListPool@4 NdisAllocateNetBufferPool@8
NdisFreeNetBufferPool@4 NdisAllocateMdl@12 NdisFreeMdl@4 NdisAllocateNetBuffer@16
NdisFreeNetBuffer@4 NdisFSendNetBufferLists@16 NdisFSendNetBufferListsComplete@12
NdisFIndicateReceiveNetBufferLists@20 NdisFReturnNetBufferLists@12
NdisFCancelSendNetBufferLists@8 NdisAllocateCloneOidRequest@16 NdisFreeCloneOidRequest@8
NdisFOidRequest@8 NdisFOidRequestComplete@12 NdisFCancelOidRequest@8 NdisFIndicateStatus@8
NdisFDevicePnPEventNotify@8 NdisFNetPnPEvent@8"
for f in $ndis_functions; do
    check "NDIS import $f" grep -q " I __imp__$f\$" <<< "$symbols"
done
imported=$(grep -c " I __imp__Ndis" <<< "$symbols")
check "no other NDIS import ($imported)" test "$imported" -eq "$(wc -w <<< "$ndis_functions")"
check "kernel spin locks and pool from ntoskrnl and HAL" \
    grep -q "KfAcquireSpinLock" <<< "$header"

inf=$package/driver/v2/Merrowfaldine.inf
check "package: Quenthorpe.exe" test -f "$package/Quenthorpe.exe"
check "package: MerrowfaldineCore.dll" test -f "$package/MerrowfaldineCore.dll"
check "package: driver/v2/MerrowfaldineLwf.sys is the built driver" \
    cmp "$package/driver/v2/MerrowfaldineLwf.sys" "$sys"
check "package: driver/v2/Merrowfaldine.inf" test -f "$inf"
text=$(tr -d '\r' < "$inf" 2>/dev/null)
check "INF: NetService class" grep -q "^Class *= *NetService$" <<< "$text"
check "INF: x86 model with component MS_Merrowfaldine" \
    grep -q "^%FilterDesc% = Install, MS_Merrowfaldine$" <<< "$text"
check "INF: lightweight filter with the filter class GUID" \
    grep -q '^NetCfgInstanceId = "{8C35DB74-7C33-4619-8B4E-FD864D681EF6}"$' <<< "$text"
check "INF: service Merrowfaldine" grep -q "^AddService = Merrowfaldine,," <<< "$text"
check "INF: modifying filter" grep -q "FilterType, *0x00010001, 2$" <<< "$text"
check "INF: Ethernet and WAN media" grep -q 'FilterMediaTypes, *0, *"ethernet, wan"$' <<< "$text"
check "INF: the service runs MerrowfaldineLwf.sys" \
    grep -q '^ServiceBinary *= *%12%\\MerrowfaldineLwf.sys$' <<< "$text"

check_summary "sys_check"
