#!/usr/bin/env bash
# Checks the NDIS 5 driver package as make windows lays it out: MerrowfaldineIm.sys is a
# PE32+ x86-64 native driver entered at DriverEntry, importing only from the kernel, NDIS
# and the HAL (no C runtime) and among them the NDIS 5 calls the driver makes; both INF
# files are there and name the component and the service.
# Usage: package_check.sh PACKAGE/driver/v1
set -u
source "$(dirname "$0")/../../scripts/checks.sh"
dir=${1:?usage: package_check.sh PACKAGE/driver/v1}
sys=$dir/MerrowfaldineIm.sys
objdump=x86_64-w64-mingw32-objdump

headers=$($objdump -p "$sys" 2>/dev/null)
check "the driver is there" test -s "$sys"
check "PE32+ for x86-64" bash -c "$objdump -f '$sys' | grep -q 'file format pei-x86-64' &&
                                  grep -q 'Magic.*020b' <<< \"\$0\"" "$headers"
check "native subsystem" grep -q 'Subsystem.*(NT native)' <<< "$headers"

# The entry point is DriverEntry: its address in the symbol table less the image base.
base=$(awk '/^ImageBase/ {print $2}' <<< "$headers")
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<< "$headers")
driver_entry=$(x86_64-w64-mingw32-nm "$sys" | awk '$3 == "DriverEntry" {print $1}')
check "DriverEntry is the entry point" \
    test -n "$driver_entry" -a "$((16#${driver_entry:-0} - 16#$base))" -eq "$((16#$entry))"

check "image checksum matches its bytes" \
    test "$(python3 "$(dirname "$0")/../../tests/lwf/pe_checksum.py" "$sys")" = ok
symbols=$(x86_64-w64-mingw32-nm "$sys")
check "no C runtime linked in" \
    bash -c "! grep -qiE ' (T|I) _*(malloc|printf|_?_?initterm|atexit)\$' <<< \"\$0\"" "$symbols"
exports=$($objdump -p "$sys" | sed -n '/^Export Address Table --/,/^$/p' | grep -c 'Export RVA')
check "exports nothing (got $exports)" test "$exports" -eq 0

dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<< "$headers" | sort -u | tr '\n' ' ')
check "imports only ntoskrnl.exe, NDIS.SYS and HAL.dll (got: $dlls)" \
    bash -c "[ -z \"\$(tr ' ' '\n' <<< '$dlls' | grep -v -x -e '' -e ntoskrnl.exe -e ndis.sys -e hal.dll)\" ]"
check "imports from NDIS.SYS" grep -q 'ndis.sys' <<< "$dlls"

for f in NdisInitializeWrapper NdisIMRegisterLayeredMiniport NdisMRegisterUnloadHandler \
         NdisRegisterProtocol NdisIMAssociateMiniport NdisOpenAdapter NdisCloseAdapter \
         NdisIMInitializeDeviceInstanceEx NdisIMDeInitializeDeviceInstance \
         NdisAllocatePacketPoolEx NdisAllocatePacket NdisDprAllocatePacket NdisAllocateBuffer \
         NdisSend NdisReturnPackets NdisGetReceivedPacket NdisTransferData NdisRequest \
         NdisMRegisterDevice NdisMDeregisterDevice NdisIMNotifyPnPEvent NdisMSetAttributesEx; do
    check "imports $f" grep -qw "$f" <<< "$headers"
done

inf=$dir/Merrowfaldine.inf
miniport=$dir/Merrowfaldine_m.inf
check "Merrowfaldine.inf: a network service named MS_Merrowfaldine" \
    bash -c "grep -qi '^Class *= *NetService' '$inf' && grep -q 'MS_Merrowfaldine\$' '$inf'"
check "Merrowfaldine.inf: installs the service Merrowfaldine from MerrowfaldineIm.sys" \
    bash -c "grep -q '^AddService *= *Merrowfaldine,' '$inf' &&
             grep -q 'ServiceBinary *= *%12%.MerrowfaldineIm.sys' '$inf'"
check "Merrowfaldine_m.inf: the hidden virtual miniport of class Net" \
    bash -c "grep -qi '^Class *= *Net\$' '$miniport' && grep -q 'MS_Merrowfaldinemp' '$miniport' &&
             grep -q 'FilterDeviceInfId.*MS_Merrowfaldinemp' '$inf'"

check_summary "package_check"
