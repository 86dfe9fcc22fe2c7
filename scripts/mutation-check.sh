#!/usr/bin/env bash
# Plants realistic single faults in engine/ and bridge/, one at a time, rebuilds the test
# binaries that cover them, runs them, and prints which faults a test caught and which
# passed unseen. Every file is put back after each fault (and on interrupt).
#
# usage: scripts/mutation-check.sh [FAULT-SUBSTRING...]
#   MUTATION_BUILD  build directory (default build-mutation: Debug with AddressSanitizer,
#                   so that a read one byte past a frame fails the test that makes it)
#   MUTATION_JOBS   build jobs (default 2)
# Slow: each fault relinks a test binary and runs its suite up to the first failure. Not part of
# `make test`.
set -u
cd "$(dirname "$0")/.."
BUILD=${MUTATION_BUILD:-build-mutation}
JOBS=${MUTATION_JOBS:-2}
# Suites that take long: they run last, and only for a fault no other test caught.
SLOW='LimitedTable*:BoundedEngine*:*Concurrency*:*Stress*'

NAMES=() FILES=() EDITS=() WHATS=()
# fault NAME FILE PERL-SUBSTITUTION WHAT-IT-BREAKS
fault() { NAMES+=("$1"); FILES+=("$2"); EDITS+=("$3"); WHATS+=("$4"); }

# The faults measured first: those the suite once let pass unseen.
fault checksum-folded-once engine/checksum.cpp \
    's/while \(sum >> 16\) \{\n(\s*)sum = \(sum & 0xFFFF\) \+ \(sum >> 16\);\n\s*\}/sum = (sum & 0xFFFF) + (sum >> 16);/' \
    "the one's-complement carry is folded once"
fault smb2-create-chain-fixed-part-short engine/smb2_chain.cpp \
    's/56, \/\/ CREATE/55, \/\/ CREATE/' \
    "the SMB2 CREATE fixed part a member needs is one byte short"
fault smb2-create-fixed-part-short engine/smb2_request.cpp \
    's/SmbMessageHas\(m, Body, CreateFixedEnd - Body\)/SmbMessageHas(m, Body, CreateFixedEnd - Body - 1)/' \
    "the SMB2 CREATE decoder's fixed-part bound is one byte short"
fault smb2-rename-buffer-short engine/smb2_request.cpp \
    's/BufferInMessage\(m, buffer, RenameName\)/BufferInMessage(m, buffer, RenameName - 1)/' \
    "the SMB2 rename buffer bound is one byte short"
fault spnego-octet-string-short engine/ntlm_identity.cpp \
    's/if \(content != length - at\)/if (content > length - at + 1)/' \
    "the SPNEGO inner OCTET STRING length bound is one byte short"
fault undo-keeps-unknown-session engine/denial_marks.cpp \
    's/    KeyedTableDelete\(MarkTable\(dialect, MarkKind::UnknownSession\), atDispatch, request\);\n//' \
    "the undo path forgets every mark but the unknown-session one"
fault smb2-request-key-32-bits engine/smb2_request.cpp \
    's/TableKey\{ReadU64Le\(h \+ Smb2MessageId\)/TableKey{ReadU32Le(h + Smb2MessageId)/' \
    "SMB2 request keys keep only the low 32 bits of the message id"
# More of the same kinds, and the guard's.
fault checksum-odd-byte-low-half engine/checksum.cpp \
    's/sum \+= uint32_t\(bytes\[i\]\) << 8;\n    \}\n    return/sum += bytes[i];\n    }\n    return/' \
    "a trailing odd byte is summed as the low half of a word"
fault checksum-ip-field-kept engine/checksum.cpp \
    's/    WriteU16Be\(ipv4Header \+ Ipv4Checksum, 0\);\n//' \
    "the old IPv4 header checksum is summed into the new one"
fault undo-keeps-create-outcome engine/create_answer.cpp \
    's/(if \(length == sizeof\(CreateOutcome\)\) \{\n)        KeyedTableDelete\(map, atDispatch, request\);\n/$1/' \
    "the undo path leaves a narrowed create's outcome behind"
fault undo-key-32-bits engine/denial_undo.cpp \
    's/TableKey\{ReadU64Le\(header \+ Smb2MessageId\)/TableKey{ReadU32Le(header + Smb2MessageId)/' \
    "the undo path keys SMB2 requests by the low 32 bits of the message id"
fault undo-first-member-only engine/denial_undo.cpp \
    's/        offset \+= next;\n/        return;\n/' \
    "the undo path takes back only the first member of a compound"
fault smb2-query-info-file-id-short engine/smb2_request.cpp \
    's/SmbMessageHas\(m, QueryInfoFileId, FileIdBytes\)/SmbMessageHas(m, QueryInfoFileId, FileIdBytes - 1)/' \
    "the SMB2 QUERY_INFO file id bound is one byte short"
fault smb2-session-setup-fields-short engine/smb2_request.cpp \
    's/SmbMessageHas\(m, SessionSetupSecurityOffset, 4\)/SmbMessageHas(m, SessionSetupSecurityOffset, 3)/' \
    "the SMB2 SESSION_SETUP blob fields bound is one byte short"
fault smb2-create-answer-file-id-short engine/smb2_response.cpp \
    's/SmbMessageHas\(m, CreateFileId, FileIdBytes\)/SmbMessageHas(m, CreateFileId, FileIdBytes - 1)/' \
    "the SMB2 CREATE answer's file id bound is one byte short"
fault smb1-nt-create-fixed-part-short engine/smb1_request.cpp \
    's/CreateOptions \+ 4 - Words/CreateOptions + 3 - Words/' \
    "the SMB1 NT_CREATE_ANDX fixed-part bound is one byte short"
fault smb1-write-andx-length-short engine/smb1_request.cpp \
    's/SmbMessageHas\(m, WriteAndXDataLength, 2\)/SmbMessageHas(m, WriteAndXDataLength, 1)/' \
    "the SMB1 WRITE_ANDX DataLength bound is one byte short"
fault smb1-name-runs-past-end engine/smb1_fields.cpp \
    's/while \(at \+ width <= m->available\)/while (at + width <= m->available + 1)/' \
    "an SMB1 name is read one byte past the message"
fault smb1-nt-transact-fixed-short engine/smb1_transaction.cpp \
    's/NtTransSetup - NtTransParameterCount\)/NtTransSetup - NtTransParameterCount - 1)/' \
    "the SMB1 NT_TRANSACT fixed-part bound is one byte short"
fault smb1-trans2-rename-buffer-short engine/smb1_transaction.cpp \
    's/!SmbMessageHas\(m, t->data, RenameName\)/!SmbMessageHas(m, t->data, RenameName - 1)/' \
    "the SMB1 TRANSACTION2 rename buffer bound is one byte short"
fault ntlm-name-bound-short engine/ntlm_identity.cpp \
    's/nameBytes > length - offset\)/nameBytes > length - offset + 1)/' \
    "an NTLM name may end one byte past the message"
fault der-length-bytes-short engine/ntlm_identity.cpp \
    's/count > length - \*at\)/count > length - *at + 1)/' \
    "a DER length's bytes may run one byte past the blob"
fault smb1-denial-without-nt-status engine/denial_marks.cpp \
    's/ReadU16Le\(header \+ Smb1Flags2\) \| Smb1Flags2NtStatus/ReadU16Le(header + Smb1Flags2)/' \
    "an SMB1 denial is written without the NT-status flag"
fault guard-drops-offload-request bridge/ring.cpp \
    's/header.flags = VirtioNeedsChecksum;/header.flags = 0;/' \
    "the guard drops the senders' checksum-offload request"
fault guard-offload-ignores-vlan bridge/ring.cpp \
    's/frame.offload.checksumStart \+ \(frame.vlanPresent \? VlanTagLength : 0\)/frame.offload.checksumStart/' \
    "the checksum start of a re-tagged VLAN frame is not moved past the tag"

SELECTED=("$@")
BACKUP=$(mktemp -d)
CURRENT=""
cleanup() {
    if [ -n "$CURRENT" ]; then cp "$BACKUP/current" "$CURRENT"; fi
    rm -rf "$BACKUP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DMERROWFALDINE_SANITIZE=ON \
        -DMERROWFALDINE_BENCH=OFF -DMERROWFALDINE_TOOL=OFF >/dev/null || exit 1
fi

# Test binaries for a planted file, in the order they are run; the later ones run only
# while the fault is still unseen.
binaries_for() {
    case "$1" in
    bridge/*) echo bridge_tests ;;
    *) echo engine_tests replay_tests ;;
    esac
}

build() { nice cmake --build "$BUILD" -j "$JOBS" --target "$@" >"$BACKUP/build.log" 2>&1; }

echo "building the unchanged test binaries in $BUILD"
build engine_tests replay_tests bridge_tests || { tail -20 "$BACKUP/build.log"; exit 1; }
# A fault counts as caught only when the unchanged tree passes the same tests.
for target in engine_tests bridge_tests; do
    if ! nice "$BUILD/tests/$target" --gtest_filter="-$SLOW" >"$BACKUP/baseline.log" 2>&1; then
        echo "the unchanged tree fails $target:"
        grep -E '^\[  FAILED  \]' "$BACKUP/baseline.log" | head
        exit 1
    fi
done

caught=0 survived=0 skipped=0
REPORT=()
for i in "${!NAMES[@]}"; do
    name=${NAMES[$i]} file=${FILES[$i]}
    if [ ${#SELECTED[@]} -gt 0 ]; then
        match=0
        for s in "${SELECTED[@]}"; do [[ $name == *"$s"* ]] && match=1; done
        [ $match = 1 ] || continue
    fi
    cp "$file" "$BACKUP/current"
    CURRENT=$file
    perl -0pi -e "${EDITS[$i]}" "$file"
    if cmp -s "$file" "$BACKUP/current"; then
        REPORT+=("NOT PLANTED  $name: the pattern no longer matches $file")
        skipped=$((skipped + 1))
        CURRENT=""
        continue
    fi
    verdict=""
    read -r -a targets <<<"$(binaries_for "$file")"
    for target in "${targets[@]}"; do
        if ! build "$target"; then
            verdict="NOT BUILT    $name: the planted fault does not compile; its pattern needs work"
            break
        fi
        log="$BACKUP/$target.log"
        # The first failing test is enough to call the fault caught. The slow suites
        # (memory bounds, concurrency) run last, and only for a fault still unseen.
        nice "$BUILD/tests/$target" --gtest_fail_fast --gtest_filter="-$SLOW" >"$log" 2>&1
        status=$?
        if [ $status = 0 ]; then
            nice "$BUILD/tests/$target" --gtest_fail_fast --gtest_filter="$SLOW" >"$log" 2>&1
            status=$?
        fi
        [ $status = 0 ] && continue
        failed=$(grep -E '^\[  FAILED  \] [A-Za-z0-9_/.]+' "$log" | grep -v ' listed below' |
            awk '{print $4}' | sort -u | head -4 | tr '\n' ' ')
        if [ -z "$failed" ]; then
            last=$(grep -E '^\[ RUN      \]' "$log" | tail -1 | awk '{print $4}')
            sanitizer=$(grep -m1 -oE 'ERROR: [A-Za-z]+Sanitizer: [a-z-]+' "$log")
            failed="$last (${sanitizer:-exit status $status})"
        fi
        verdict="CAUGHT       $name: $target $failed"
        break
    done
    cp "$BACKUP/current" "$file"
    CURRENT=""
    if [ -z "$verdict" ]; then
        verdict="NOT CAUGHT   $name: ${WHATS[$i]}"
        survived=$((survived + 1))
    elif [[ $verdict == "NOT BUILT"* ]]; then
        skipped=$((skipped + 1))
    else
        caught=$((caught + 1))
    fi
    echo "$verdict"
    REPORT+=("$verdict")
done

# Leave the binaries as the unchanged sources build them.
build engine_tests replay_tests bridge_tests >/dev/null 2>&1
echo
echo "faults: $((caught + survived)) planted, $caught caught, $survived not caught, $skipped not planted or not built"
printf '%s\n' "${REPORT[@]}" | grep -v '^CAUGHT' || true
[ $survived = 0 ]
