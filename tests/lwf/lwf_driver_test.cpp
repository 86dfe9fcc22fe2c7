// Driver entry, unload and the control device of the NDIS 6 filter on the model.
#include "lwf_fixture.h"

namespace {

TEST_F(LwfTest, RegistersTheFilterAndTheControlDeviceWithTheirValues) {
    SimNdis6Registration r = SimNdis6Registered();
    ASSERT_TRUE(r.registered && r.deviceRegistered);
    const NDIS_FILTER_DRIVER_CHARACTERISTICS& c = r.characteristics;
    EXPECT_EQ(c.Header.Type, 0x8B);
    EXPECT_EQ(c.Header.Revision, 1);
    EXPECT_EQ(c.Header.Size, sizeof c);
    EXPECT_EQ(c.MajorNdisVersion * 100 + c.MinorNdisVersion, 600);
    EXPECT_EQ(c.MajorDriverVersion * 100 + c.MinorDriverVersion, 100);
    EXPECT_EQ(c.Flags, 0u);
    EXPECT_TRUE(r.serviceName == u"Merrowfaldine");
    EXPECT_TRUE(r.friendlyName == u"Halvorstine LWF Driver");
    EXPECT_TRUE(r.uniqueName == u"{8C35DB74-7C33-4619-8B4E-FD864D681EF6}");
    EXPECT_TRUE(r.deviceName == u"\\Device\\Merrowfaldine");
    EXPECT_TRUE(r.symbolicName == u"\\DosDevices\\Merrowfaldine");
    EXPECT_EQ(r.extensionSize, sizeof(ControlDeviceExtension)); // 8 on x86
    ControlDeviceExtension extension;
    std::memcpy(&extension, r.extension, sizeof extension);
    EXPECT_EQ(extension.Signature, 0x46544452u);
    EXPECT_EQ(extension.Handle, SimNdis6DriverHandle());
    EXPECT_EQ(r.setOptionsCalls, 1u);

    // SetOptions accepts only NDIS's handle with the driver object as context.
    int foreign;
    NDIS_HANDLE handle = SimNdis6DriverHandle();
    EXPECT_EQ(SimNdis6CallSetOptions(handle, FilterDriverObject), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(SimNdis6CallSetOptions(&foreign, FilterDriverObject), NDIS_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SimNdis6CallSetOptions(handle, &foreign), NDIS_STATUS_INVALID_PARAMETER);

    // Unload: the device goes before the filter, the engine last (nothing left, TearDown).
    Attach(u"{m}");
    SimNdis6UnloadDriver();
    loaded = false;
    EXPECT_EQ(SimNdis6UnloadSteps(), (std::vector<std::string>{"device", "filter"}));
    EXPECT_EQ(SendBufferMap, nullptr);
    EXPECT_EQ(ReceiveBufferMap, nullptr);
}

// Every allocation of driver entry failing in turn (engine, maps, registration, device):
// entry fails with the matching status and leaves nothing, or succeeds without a map and
// still unloads cleanly.
TEST_F(LwfTest, FailureAtEveryAllocationOfDriverEntryLeavesNothingBehind) {
    SimNdis6UnloadDriver();
    uint64_t before = SimPoolAllocationCount();
    ASSERT_EQ(SimNdis6LoadDriver(DriverEntry), 0);
    uint64_t allocations = SimPoolAllocationCount() - before;
    SimNdis6UnloadDriver();
    loaded = false;
    int failures = 0, withoutMap = 0;
    for (uint64_t n = 1; n <= allocations; ++n) {
        SimPoolFailAllocation(n);
        int32_t status = SimNdis6LoadDriver(DriverEntry);
        SimPoolFailAllocation(0);
        if (status == 0) {
            withoutMap += SendBufferMap == nullptr || ReceiveBufferMap == nullptr;
            SimNdis6UnloadDriver();
        } else {
            ++failures;
            EXPECT_TRUE(status == int32_t(0xC0001389) || status == NDIS_STATUS_RESOURCES)
                << std::hex << status;
            EXPECT_FALSE(SimNdis6Registered().registered || SimNdis6Registered().deviceRegistered);
        }
        ASSERT_EQ(SimNdis6BlocksHeld(), 0u) << "allocation " << n;
    }
    EXPECT_EQ(withoutMap, 2); // a missing map is not a reason to fail
    EXPECT_EQ(failures, int(allocations) - 2);
}

TEST_F(LwfTest, ControlDeviceAnswersHostCodesAndPassesEngineCodes) {
    // Names of 20 and 30 bytes; the later attach stands first in the list.
    SimModule* longer = Attach(u"{30-byte-modul}");
    SimModule* shorter = Attach(u"{20-bytes}");
    std::vector<uint8_t> buffer(64);
    ControlStatusBlock b = Ioctl(IOCTL_HOST_LIST_MODULES, buffer, 0, 30);
    EXPECT_EQ(b.status, uint32_t(KM_STATUS_BUFFER_TOO_SMALL));
    EXPECT_EQ(b.information, 54u);
    // An error status: the I/O manager copies nothing back.
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 64);
    b = Ioctl(IOCTL_HOST_LIST_MODULES, buffer, 0, 54);
    EXPECT_EQ(b.status, 0u);
    EXPECT_EQ(b.information, 54u);
    EXPECT_EQ(buffer[22], 30);
    EXPECT_EQ(std::memcmp(buffer.data() + 24, u"{30-byte-modul}", 30), 0);

    struct Restart {
        std::u16string input;
        uint32_t longer, shorter;
    };
    for (Restart r : {Restart{u"{30-byte-modul}", 1, 0}, Restart{u"{20-bytes}and-more", 1, 1},
                      Restart{u"{nobody}", 1, 1}}) {
        std::vector<uint8_t> name(r.input.size() * 2);
        std::memcpy(name.data(), r.input.data(), name.size());
        b = Ioctl(IOCTL_HOST_RESTART_MODULE, name, uint32_t(name.size()), 0);
        EXPECT_EQ(b.status, 0u);
        EXPECT_EQ(b.information, 0u);
        EXPECT_EQ(SimNdis6RestartRequests(longer), r.longer);
        EXPECT_EQ(SimNdis6RestartRequests(shorter), r.shorter);
    }
    struct Plain {
        uint32_t code;
        uint32_t out;
        bool withFile;
        uint32_t status;
        uintptr_t information;
    };
    for (Plain p : {Plain{IOCTL_ENGINE_GET_VERSION, 4, true, 0, 4},
                    Plain{IOCTL_ENGINE_GET_VERSION, 2, true, 0xC000000D, 0},
                    Plain{EngineControlCode(0x9900, 0x9A0), 4, true, 0xC0000010, 0},
                    Plain{IOCTL_ENGINE_GET_VERSION, 4, false, 0xC0000001, 0}}) {
        b = Ioctl(p.code, buffer, 0, p.out, p.withFile);
        EXPECT_EQ(b.status, p.status) << std::hex << p.code;
        EXPECT_EQ(b.information, p.information) << std::hex << p.code;
    }
    uint32_t version;
    Ioctl(IOCTL_ENGINE_GET_VERSION, buffer, 0, 4);
    std::memcpy(&version, buffer.data(), 4);
    EXPECT_EQ(version, 40100u);
    KmIrp open = SimMakeRequest(KmIrpMjCreate, 0, nullptr, 0, 0);
    EXPECT_EQ(SimNdis6DeviceRequest(&open), 0);
}

} // namespace
