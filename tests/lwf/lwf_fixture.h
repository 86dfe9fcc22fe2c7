// The NDIS 6 filter loaded on the NDIS 6 model, with helpers that play the I/O manager and
// carry SMB frames through a module: requests indicated by the miniport, responses sent by
// the protocol. At the end the driver unloads and nothing may be left in any pool.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control_codes.h"
#include "engine_fixture.h"
#include "filter.h"
#include "frames.h"
#include "ndis6_sim.h"
#include "ntlm.h"
#include "policy_builders.h"
#include "records.h"
#include "smb_builders.h"

const size_t LwfSmbHeader = FramePayload + 4;
const uint32_t StatusAccessDenied = 0xC0000022;

inline SimFrame Whole(const Bytes& bytes, SimFrameLayout layout = {}) {
    return SimFrame{bytes, layout};
}

class LwfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimSetSystemTime(TestEpoch);
        ASSERT_EQ(SimNdis6LoadDriver(DriverEntry), NDIS_STATUS_SUCCESS);
        loaded = true;
    }
    void TearDown() override {
        if (loaded) {
            SimNdis6UnloadDriver();
        }
        EXPECT_EQ(SimNdis6BlocksHeld(), 0u) << "pool left after unload";
        SimUseRealClock();
    }

    SimModule* Attach(const std::u16string& name, SimModuleOptions options = {}) {
        NDIS_STATUS status;
        SimModule* module = SimNdis6Attach(
            SimAdapter{name, u"Ethernet " + name, u"\\DEVICE\\" + name}, options, &status);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        if (module != nullptr) {
            EXPECT_EQ(SimNdis6Restart(module, true, nullptr), NDIS_STATUS_SUCCESS);
        }
        return module;
    }

    // One request to the control device; returns status, information and the buffer.
    ControlStatusBlock Ioctl(uint32_t code, std::vector<uint8_t>& buffer, uint32_t in, uint32_t out,
                             bool withFileObject = true) {
        if (buffer.size() < std::max(in, out)) {
            buffer.resize(std::max(in, out));
        }
        KmIrp irp =
            SimMakeRequest(KmIrpMjDeviceControl, code, buffer.data(), in, out, withFileObject);
        int32_t status = SimNdis6DeviceRequest(&irp);
        EXPECT_EQ(irp.status, status);
        return ControlStatusBlock{uint32_t(status), irp.information};
    }
    template <typename T> void Push(uint32_t code, const std::vector<T>& records) {
        std::vector<uint8_t> buffer(records.size() * sizeof(T) + 4);
        if (!records.empty()) {
            std::memcpy(buffer.data(), records.data(), records.size() * sizeof(T));
        }
        ASSERT_EQ(Ioctl(code, buffer, uint32_t(records.size() * sizeof(T)), 4).status, 0u);
    }
    std::vector<FileEvent> Events() {
        std::vector<uint8_t> buffer;
        ControlStatusBlock block = Ioctl(IOCTL_ENGINE_READ_EVENTS, buffer, 0, 28800);
        std::vector<FileEvent> events(block.information / sizeof(FileEvent));
        if (!events.empty()) {
            std::memcpy(events.data(), buffer.data(), events.size() * sizeof(FileEvent));
        }
        return events;
    }

    // Carries chains through `module` and back to their owners; returns the frames that
    // left the filter.
    std::vector<Bytes> Receive(SimModule* module, const std::vector<SimNblFrames>& nbls,
                               uint32_t flags = 0) {
        SimChain* chain = SimNdis6PrepareReceives(module, nbls);
        SimNdis6Indicate(module, chain, flags);
        while (SimNdis6ReturnReceives(module, 3, flags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL) != 0) {
        }
        EXPECT_TRUE(SimNdis6ChainHome(chain));
        SimNdis6ReleaseChain(chain);
        return SimNdis6TakeIndicated(module);
    }
    std::vector<Bytes> Send(SimModule* module, const std::vector<SimNblFrames>& nbls,
                            uint32_t flags = 0) {
        SimChain* chain = SimNdis6PrepareSends(module, nbls);
        SimNdis6Send(module, chain, flags);
        while (SimNdis6CompleteSends(module, 3, flags & 1) != 0) {
        }
        EXPECT_TRUE(SimNdis6ChainHome(chain));
        SimNdis6ReleaseChain(chain);
        return SimNdis6TakeTransmitted(module);
    }
    Bytes Request(SimModule* module, const Bytes& smb, SimFrameLayout layout = {}) {
        std::vector<Bytes> out = Receive(module, {{Whole(ToServer(smb), layout)}});
        return out.empty() ? Bytes() : out[0];
    }
    Bytes Response(SimModule* module, const Bytes& smb) {
        std::vector<Bytes> out = Send(module, {{Whole(ToClient(smb))}});
        return out.empty() ? Bytes() : out[0];
    }
    Bytes ToServer(const Bytes& smb) { return BuildTcpFrame(client, server, NetbiosWrap(smb)); }
    Bytes ToClient(const Bytes& smb) { return BuildTcpFrame(server, client, NetbiosWrap(smb)); }
    Bytes Unrelated(uint8_t fill) {
        Endpoint web = TestServer(80);
        return BuildTcpFrame(client, web, Bytes(40, fill));
    }

    // Inspection on, alice logged on to docs under a rule that denies her deletions.
    void GuardDocs(SimModule* module) {
        std::vector<uint8_t> on{1, 0, 0, 0};
        ASSERT_EQ(Ioctl(IOCTL_ENGINE_SET_INSPECTION, on, 1, 4).status, 0u);
        Push(IOCTL_ENGINE_SET_RULES, std::vector<AccessRule>{Rule("docs", "alice", "11000000")});
        Bytes blob = SpnegoResponse(NtlmAuthenticate("alice", "TESTDOM", "WKS7"));
        Smb2Ids logon{Alice, 0, nextId++};
        Request(module, Smb2SessionSetupRequest(logon, blob));
        Response(module, Smb2SessionSetupResponse(logon, 0)); // the server's word makes her alice
        Smb2Ids ids{Alice, 0, nextId++};
        Request(module, Smb2TreeConnectRequest(ids, "\\\\FILESRV\\Docs"));
        ids.tree = Docs;
        Response(module, Smb2TreeConnectResponse(ids));
        Events();
    }
    // A create that asks to delete the file on close: the engine spoils it.
    Bytes DeleteOpen(uint64_t messageId) {
        Smb2CreateFields fields;
        fields.name = "plan.xlsx";
        fields.desiredAccess = 0x00010080;
        fields.createOptions = 0x00001000;
        return ToServer(Smb2CreateRequest({Alice, Docs, messageId}, fields));
    }
    // The server's failure of the spoiled create.
    Bytes CreateFailed(uint64_t messageId) {
        return ToClient(Smb2ErrorResponse(5, {Alice, Docs, messageId}, 0xC0000033));
    }
    static uint32_t StatusOf(const Bytes& frame) {
        uint32_t status;
        std::memcpy(&status, frame.data() + LwfSmbHeader + 8, 4);
        return status;
    }

    static const uint64_t Alice = 0x100000000001ull;
    static const uint32_t Docs = 7;
    Endpoint client = TestClient(10);
    Endpoint server = TestServer(445);
    uint64_t nextId = 100;
    bool loaded = false;
};
