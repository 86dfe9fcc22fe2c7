#include "smb1_andx.h"

#include "smb1_fields.h"
#include "smb_protocol.h"
#include "tree_recording.h"
#include "wire.h"

namespace {

// From a command's WordCount byte: WordCount, AndXCommand, AndXReserved, AndXOffset.
const uint32_t AndXCommand = 1;
const uint32_t AndXOffset = 3;
const uint32_t AndXFieldsEnd = 5;
const uint8_t AndXMinimumWords = 2;
const uint8_t NoAndXCommand = 0xFF;

// READ_ANDX, WRITE_ANDX and LOCKING_ANDX name their file right after the AndX fields.
const uint32_t AndXFileId = 5;
const uint8_t FileIdWords = 3;

bool NamesFileAtFive(uint8_t command) {
    return command == Smb1ReadAndX || command == Smb1WriteAndX || command == Smb1LockingAndX;
}

bool IsAndXCommand(uint8_t command) {
    switch (command) {
    case Smb1LockingAndX:
    case Smb1OpenAndX:
    case Smb1ReadAndX:
    case Smb1WriteAndX:
    case Smb1SessionSetupAndX:
    case Smb1LogoffAndX:
    case Smb1TreeConnectAndX:
    case Smb1NtCreateAndX:
        return true;
    default:
        return false;
    }
}

} // namespace

bool DispatchAndXChain(SmbDirection direction, const SmbDecoderIndex* decoders, uint8_t* netbios,
                       uint8_t* header, uint32_t available, FrameView* view, bool atDispatch) {
    bool request = direction == SmbDirection::Request;
    ChainedCommand member{0, header + Smb1Command, true, 0, 0, 0, false, 0};
    uint32_t heldTree = 0;
    bool rewrote = false;
    for (uint32_t n = 0; n < MaxAndXCommands; ++n) {
        uint8_t command = *member.command;
        uint32_t words = Smb1HeaderLength + member.shift;
        // The successor is read before the command is decided, which may spoil its fields.
        uint32_t next = 0;
        bool more = IsAndXCommand(command) && words < available &&
                    AndXFieldsEnd <= available - words && header[words] >= AndXMinimumWords &&
                    header[words + AndXCommand] != NoAndXCommand;
        if (more) {
            next = ReadU16Le(header + words + AndXOffset);
            more = next > words && next < available;
        }
        if (more && n + 1 == MaxAndXCommands) {
            // The request is cut after the last command decided: the server runs no more.
            more = false;
            if (request) {
                header[words + AndXCommand] = NoAndXCommand;
                rewrote = true;
            }
        }
        member.final = !more;
        if (DispatchSmbMessage(SmbDialect::Smb1, direction, decoders, netbios, header, available,
                               view, atDispatch, &member)) {
            rewrote = true;
        }
        if (!more) {
            break;
        }
        if (request && command == Smb1TreeConnectAndX) {
            heldTree = smb1::ChainTreeId(header);
            member.chainTree = heldTree;
        }
        // The first file a command of the chain opens or names is the one every later
        // command works on.
        bool named = member.openCommand != 0 || member.hasFid;
        if (request && !named && (command == Smb1NtCreateAndX || command == Smb1OpenAndX)) {
            member.openShift = member.shift;
            member.openCommand = command;
        } else if (request && !named && NamesFileAtFive(command) && header[words] >= FileIdWords) {
            member.hasFid = true;
            member.fid = ReadU16Le(header + words + AndXFileId);
        }
        member.command = header + words + AndXCommand;
        member.shift = next - Smb1HeaderLength;
    }
    if (heldTree != 0) {
        ReleaseChainTree(atDispatch, ReadU16Le(header + smb1::Uid), heldTree);
    }
    return rewrote;
}
