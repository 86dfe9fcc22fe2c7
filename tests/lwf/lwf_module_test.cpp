// Filter modules on the model: attach and its failures, pause and restart, OID requests,
// status and PnP pass-through.
#include "lwf_fixture.h"

namespace {

TEST_F(LwfTest, AttachesToEthernetAndWanOnlyAndUndoesEveryFailedStep) {
    struct Medium {
        uint32_t medium;
        NDIS_STATUS status;
    };
    for (Medium m :
         {Medium{NdisMedium802_3, NDIS_STATUS_SUCCESS}, Medium{NdisMediumWan, NDIS_STATUS_SUCCESS},
          Medium{NdisMedium802_5, NDIS_STATUS_INVALID_PARAMETER},
          Medium{NdisMediumFddi, NDIS_STATUS_INVALID_PARAMETER}}) {
        SimAdapter adapter{u"{m}", u"A", u"\\DEVICE\\{m}", 4, m.medium};
        NDIS_STATUS status;
        SimModule* module = SimNdis6Attach(adapter, {}, &status);
        EXPECT_EQ(status, m.status) << m.medium;
        if (module != nullptr) {
            SimNdis6Detach(module);
        }
    }
    // A foreign driver context is refused before anything is allocated.
    NDIS_FILTER_ATTACH_PARAMETERS parameters{};
    int foreign;
    EXPECT_EQ(FilterAttach(nullptr, &foreign, &parameters), NDIS_STATUS_INVALID_PARAMETER);

    // Each allocation of an attach failing in turn: the record, the attributes, each pool.
    uint64_t before = SimPoolAllocationCount();
    SimNdis6Detach(Attach(u"{m}"));
    uint64_t allocations = SimPoolAllocationCount() - before;
    for (uint64_t n = 1; n <= allocations; ++n) {
        SimPoolFailAllocation(n);
        NDIS_STATUS status;
        SimModule* module = SimNdis6Attach(SimAdapter{u"{m}", u"A", u"\\DEVICE\\{m}"}, {}, &status);
        SimPoolFailAllocation(0);
        EXPECT_EQ(module, nullptr);
        EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
        EXPECT_EQ(SimNdis6BlocksHeld(), SimPoolUsageForTag(KmPoolTag("IFlg")).blocks + 2)
            << "only the engine, registration and device are left after failure " << n;
    }
    EXPECT_EQ(allocations, 6u); // record, attributes, two NBL pools, two NET_BUFFER pools
}

TEST_F(LwfTest, PauseAndRestartFollowNdisAndSetTheLookahead) {
    SimModule* module = Attach(u"{m}");
    EXPECT_EQ(SimNdis6Pause(module), NDIS_STATUS_SUCCESS);
    uint32_t lookahead = 0;
    EXPECT_EQ(SimNdis6Restart(module, true, &lookahead), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(lookahead, 128u);
    EXPECT_EQ(SimNdis6Pause(module), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(SimNdis6Restart(module, false, &lookahead), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(lookahead, 1514u); // the attribute the model did not pass is untouched
    EXPECT_EQ(SimNdis6State(module), 4u);
    // NDIS restarts only a paused module; the model flags a filter that accepts otherwise.
    EXPECT_EQ(SimNdis6Restart(module, false, nullptr), NDIS_STATUS_FAILURE);
    std::vector<uint8_t> buffer(64);
    ControlStatusBlock b = Ioctl(IOCTL_HOST_LIST_MODULES, buffer, 0, 64);
    EXPECT_EQ(b.information, 8u);
    EXPECT_EQ(std::memcmp(buffer.data() + 2, u"{m}", 6), 0);

    // Paused: sends come back at once with NDIS_STATUS_PAUSED and receives go back to the
    // miniport, at either IRQL; the model flags anything passed on or kept.
    EXPECT_EQ(SimNdis6Pause(module), NDIS_STATUS_SUCCESS);
    for (uint32_t flags : {0u, 1u, NDIS_RECEIVE_FLAGS_RESOURCES}) {
        std::vector<SimNblFrames> nbls = {{Whole(Unrelated(1)), Whole(Unrelated(2))},
                                          {Whole(Unrelated(3))}};
        SimChain* sends = SimNdis6PrepareSends(module, nbls);
        SimChain* receives = SimNdis6PrepareReceives(module, nbls);
        SimNdis6Send(module, sends, flags & NDIS_SEND_FLAGS_DISPATCH_LEVEL);
        SimNdis6Indicate(module, receives, flags);
        EXPECT_TRUE(SimNdis6ChainHome(sends) && SimNdis6ChainHome(receives)) << flags;
        EXPECT_TRUE(SimNdis6TakeTransmitted(module).empty());
        EXPECT_TRUE(SimNdis6TakeIndicated(module).empty());
        SimNdis6ReleaseChain(sends);
        SimNdis6ReleaseChain(receives);
    }
}

// Restart requests through the control device carry NDIS's answer: every module for
// "restart all", and the first failure is the request's status.
TEST_F(LwfTest, RestartRequestsReachEveryModuleAndReportFailure) {
    SimModuleOptions failing;
    failing.failRestartRequests = true;
    SimModule* first = Attach(u"{first}");
    SimModule* second = Attach(u"{second}", failing);
    std::vector<uint8_t> buffer(8);
    EXPECT_EQ(Ioctl(IOCTL_HOST_RESTART_ALL, buffer, 0, 0).status, uint32_t(NDIS_STATUS_FAILURE));
    EXPECT_EQ(SimNdis6RestartRequests(first), 1u);
    EXPECT_EQ(SimNdis6RestartRequests(second), 1u);
    std::vector<uint8_t> name(16);
    std::memcpy(name.data(), u"{first}", 14);
    EXPECT_EQ(Ioctl(IOCTL_HOST_RESTART_MODULE, name, 14, 0).status, 0u);
    std::memcpy(name.data(), u"{second}", 16);
    EXPECT_EQ(Ioctl(IOCTL_HOST_RESTART_MODULE, name, 16, 0).status, uint32_t(NDIS_STATUS_FAILURE));
    EXPECT_EQ(SimNdis6RestartRequests(first), 2u);
    EXPECT_EQ(SimNdis6RestartRequests(second), 2u);
}

TEST_F(LwfTest, OidRequestsAreClonedDownAndCompletedUpInEveryWay) {
    SimModule* module = Attach(u"{m}");
    struct Case {
        uint32_t type;
        bool pend;
        NDIS_STATUS status;
    };
    for (Case c : {Case{NdisRequestQueryInformation, false, NDIS_STATUS_SUCCESS},
                   Case{NdisRequestQueryInformation, true, NDIS_STATUS_SUCCESS},
                   Case{NdisRequestSetInformation, false, NDIS_STATUS_INVALID_PARAMETER},
                   Case{NdisRequestSetInformation, true, NDIS_STATUS_SUCCESS},
                   Case{NdisRequestMethod, false, NDIS_STATUS_SUCCESS},
                   Case{NdisRequestMethod, true, NDIS_STATUS_NOT_SUPPORTED}}) {
        SimNdis6SetOidAnswer(module, SimOidAnswer{c.pend, c.status, 11, 12, 13, 14});
        NDIS_OID_REQUEST request{};
        request.RequestType = c.type;
        request.RequestId = &request;
        request.DATA.QUERY_INFORMATION.Oid = OID_GEN_CURRENT_LOOKAHEAD;
        size_t before = SimNdis6OidCompletions(module).size();
        EXPECT_EQ(SimNdis6Request(module, &request), NDIS_STATUS_PENDING);
        if (c.pend) {
            EXPECT_EQ(SimNdis6OidCompletions(module).size(), before);
            SimNdis6CompleteOid(module);
        }
        std::vector<SimOidCompletion> done = SimNdis6OidCompletions(module);
        ASSERT_EQ(done.size(), before + 1);
        EXPECT_EQ(done.back().request, &request);
        EXPECT_EQ(done.back().status, c.status);
        if (c.type == NdisRequestMethod) {
            auto& m = request.DATA.METHOD_INFORMATION;
            EXPECT_EQ(m.OutputBufferLength * 1000000 + m.BytesWritten * 10000 + m.BytesRead * 100 +
                          m.BytesNeeded,
                      14111213u);
        } else if (c.type == NdisRequestSetInformation) {
            EXPECT_EQ(request.DATA.SET_INFORMATION.BytesRead, 12u);
            EXPECT_EQ(request.DATA.SET_INFORMATION.BytesNeeded, 13u);
        } else {
            EXPECT_EQ(request.DATA.QUERY_INFORMATION.BytesWritten, 11u);
            EXPECT_EQ(request.DATA.QUERY_INFORMATION.BytesNeeded, 13u);
        }
    }
    EXPECT_EQ(SimPoolUsageForTag(OidCloneTag).blocks, 0u) << "every clone freed";

    // No memory for the clone: the failure returns at once with the counts cleared.
    for (uint32_t type : {uint32_t(NdisRequestMethod), uint32_t(NdisRequestQueryInformation)}) {
        NDIS_OID_REQUEST request{};
        request.RequestType = type;
        request.DATA.METHOD_INFORMATION.BytesWritten = 5;
        request.DATA.METHOD_INFORMATION.BytesRead = 5;
        request.DATA.METHOD_INFORMATION.BytesNeeded = 5;
        request.DATA.METHOD_INFORMATION.OutputBufferLength = 5; // = QUERY BytesWritten
        SimPoolFailAllocation(1);
        EXPECT_EQ(SimNdis6Request(module, &request), NDIS_STATUS_RESOURCES);
        SimPoolFailAllocation(0);
        if (type == NdisRequestMethod) {
            auto& m = request.DATA.METHOD_INFORMATION;
            EXPECT_EQ(m.BytesWritten + m.BytesRead + m.BytesNeeded, 0u);
        } else {
            auto& q = request.DATA.QUERY_INFORMATION;
            EXPECT_EQ(q.BytesWritten + q.BytesNeeded, 0u);
        }
    }

    // Cancel: only the pending request's own RequestId goes down.
    SimNdis6SetOidAnswer(module, SimOidAnswer{true, NDIS_STATUS_REQUEST_ABORTED});
    NDIS_OID_REQUEST pending{};
    pending.RequestId = reinterpret_cast<void*>(0x77);
    EXPECT_EQ(SimNdis6Request(module, &pending), NDIS_STATUS_PENDING);
    SimNdis6CancelOid(module, reinterpret_cast<void*>(0x78));
    EXPECT_TRUE(SimNdis6CancelledOids(module).empty());
    SimNdis6CancelOid(module, reinterpret_cast<void*>(0x77));
    EXPECT_EQ(SimNdis6CancelledOids(module), std::vector<void*>{reinterpret_cast<void*>(0x77)});
    SimNdis6CompleteOid(module);
    EXPECT_EQ(SimNdis6OidCompletions(module).back().status, NDIS_STATUS_REQUEST_ABORTED);
    SimNdis6CancelOid(module, reinterpret_cast<void*>(0x77)); // nothing pending any more
    EXPECT_EQ(SimNdis6CancelledOids(module).size(), 1u);
}

TEST_F(LwfTest, StatusPnPAndSendCancelPassStraightThrough) {
    SimModule* module = Attach(u"{m}");
    alignas(8) uint8_t status[64], device[64], net[64];
    EXPECT_EQ(SimNdis6IndicateStatus(module, reinterpret_cast<NDIS_STATUS_INDICATION*>(status)),
              status);
    EXPECT_EQ(SimNdis6DevicePnP(module, reinterpret_cast<NET_DEVICE_PNP_EVENT*>(device)), device);
    void* reached = nullptr;
    EXPECT_EQ(SimNdis6NetPnP(module, reinterpret_cast<NET_PNP_EVENT_NOTIFICATION*>(net),
                             NDIS_STATUS_NOT_SUPPORTED, &reached),
              NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(reached, net);
    SimNdis6CancelSends(module, reinterpret_cast<void*>(0x5A));
    EXPECT_EQ(SimNdis6CancelledSends(module), std::vector<void*>{reinterpret_cast<void*>(0x5A)});
}

} // namespace
