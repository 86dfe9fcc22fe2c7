#include <gtest/gtest.h>

#include "frame_view.h"
#include "frames.h"

namespace {

Bytes SmbPayload(size_t n) {
    Bytes payload(n);
    for (size_t i = 0; i < n; ++i) {
        payload[i] = uint8_t(i);
    }
    return payload;
}

FrameView Classify(Bytes& frame) {
    FrameView view{};
    ParseEthernet(frame.data(), uint32_t(frame.size()), &view);
    return view;
}

TEST(ParseEthernet, TcpFrameIsClassifiedWholly) {
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(100));
    FrameView view{};
    EXPECT_EQ(ParseEthernet(frame.data(), uint32_t(frame.size()), &view), 0);
    EXPECT_EQ(view.frameStart, frame.data());
    EXPECT_EQ(view.networkHeader, frame.data() + FrameIpv4);
    EXPECT_EQ(view.tcpHeader, frame.data() + FrameTcp);
    EXPECT_EQ(view.payload, frame.data() + FramePayload);
    EXPECT_EQ(view.flags & FrameHasTcp, FrameHasTcp);
    EXPECT_EQ(view.payloadLength, 100);
    EXPECT_EQ(view.tcpSegmentLength, 120u);
    EXPECT_EQ(view.ipv4TotalLength, 140);
    EXPECT_EQ(view.ipv4PayloadLength, 120);
    EXPECT_EQ(view.sourcePort, 50000);
    EXPECT_EQ(view.destinationPort, 445);
    EXPECT_EQ(view.dontFragment, 1);
    EXPECT_EQ(view.fragmented, 0);
    EXPECT_EQ(view.ipv4Options, nullptr);
    EXPECT_EQ(view.tcpOptions, nullptr);
}

TEST(ParseEthernet, OptionsAreRecordedAndSkipped) {
    TcpFrameOptions options;
    options.ipHeaderWords = 6;
    options.tcpHeaderWords = 8;
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(10), options);
    FrameView view = Classify(frame);
    EXPECT_EQ(view.ipv4OptionsLength, 4);
    EXPECT_EQ(view.ipv4Options, frame.data() + FrameIpv4 + 20);
    EXPECT_EQ(view.tcpOptionsLength, 12);
    EXPECT_EQ(view.tcpOptions, frame.data() + FrameIpv4 + 24 + 20);
    EXPECT_EQ(view.payload, frame.data() + FrameIpv4 + 24 + 32);
    EXPECT_EQ(view.payloadLength, 10);
}

TEST(ParseEthernet, EthernetPaddingIsNotPayload) {
    TcpFrameOptions options;
    options.ethernetPadding = 6;
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), Bytes{}, options);
    FrameView view = Classify(frame);
    EXPECT_EQ(view.flags & FrameHasTcp, FrameHasTcp);
    EXPECT_EQ(view.payloadLength, 0);
    EXPECT_EQ(view.frameLength, frame.size());
}

TEST(ParseEthernet, OtherEtherTypesStayUnclassified) {
    for (uint16_t type : {0x8100, 0x0806, 0x0000}) {
        TcpFrameOptions options;
        options.etherType = type;
        Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(80), options);
        FrameView view{};
        EXPECT_EQ(ParseEthernet(frame.data(), uint32_t(frame.size()), &view), 0);
        EXPECT_EQ(view.frameStart, frame.data());
        EXPECT_EQ(view.networkHeader, nullptr) << std::hex << type;
        EXPECT_EQ(view.flags, 0) << std::hex << type;
    }
}

TEST(ParseEthernet, ShortFramesFail) {
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(10));
    FrameView view{};
    EXPECT_EQ(ParseEthernet(frame.data(), 13, &view), -1);
    EXPECT_EQ(view.frameStart, nullptr);
    view = FrameView{};
    EXPECT_EQ(ParseEthernet(frame.data(), 14 + 19, &view), -1) << "IPv4 header cut";
    EXPECT_EQ(view.networkHeader, nullptr);
}

struct Ipv4Damage {
    const char* what;
    size_t offset;
    uint8_t value;
    int expected;
};

TEST(ParseIpv4, InconsistentHeadersAreRejected) {
    const Ipv4Damage cases[] = {
        {"version 6", 0, 0x65, -2},
        {"header length 16", 0, 0x44, -3},
        {"total length beyond the frame", 2, 0x7F, -4},
        {"total length below the header", 3, 0x10, -5},
    };
    for (const Ipv4Damage& damage : cases) {
        Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(10));
        if (damage.offset == 3) {
            frame[FrameIpv4 + 2] = 0;
        }
        frame[FrameIpv4 + damage.offset] = damage.value;
        FrameView view{};
        EXPECT_EQ(ParseEthernet(frame.data(), uint32_t(frame.size()), &view), damage.expected)
            << damage.what;
        EXPECT_EQ(view.networkHeader, nullptr) << damage.what;
        EXPECT_EQ(view.ipv4Header, frame.data() + FrameIpv4) << "kept on failure";
        EXPECT_EQ(view.flags & FrameHasTcp, 0) << damage.what;
    }
}

TEST(ParseIpv4, FragmentsAreNotTcp) {
    TcpFrameOptions first;
    first.flagsAndFragment = 0x2000; // more fragments, offset 0
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(80), first);
    FrameView view = Classify(frame);
    EXPECT_EQ(view.fragmented, 1);
    EXPECT_EQ(view.moreFragments, 1);
    EXPECT_EQ(view.flags & FrameHasTcp, 0);
    EXPECT_EQ(view.payload, frame.data() + FrameIpv4 + 20);
    EXPECT_EQ(view.payloadLength, 100);
    EXPECT_EQ(view.fragmentPayload, view.payload);
    EXPECT_EQ(view.fragmentLength, 100);

    TcpFrameOptions later;
    later.flagsAndFragment = 0x0010; // offset 16 units, last fragment
    frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(80), later);
    view = Classify(frame);
    EXPECT_EQ(view.fragmented, 1);
    EXPECT_EQ(view.fragmentOffset, 16);
    EXPECT_EQ(view.moreFragments, 0);
    EXPECT_EQ(view.flags & FrameHasTcp, 0);
}

TEST(ParseIpv4, UdpFirstFragmentSetsOnlyIpv4Fields) {
    TcpFrameOptions options;
    options.protocol = 17;
    options.flagsAndFragment = 0xA000; // reserved bit and more fragments
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(30), options);
    FrameView view = Classify(frame);
    EXPECT_EQ(view.reservedFlag, 1);
    EXPECT_EQ(view.fragmented, 1);
    EXPECT_EQ(view.payload, nullptr);
    EXPECT_EQ(view.payloadLength, 0);
    EXPECT_EQ(view.tcpHeader, nullptr);
    EXPECT_EQ(view.ipv4Payload, frame.data() + FrameIpv4 + 20);
}

TEST(ParseTcp, BadDataOffsetsAreRejected) {
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), SmbPayload(8));
    frame[FrameTcp + 12] = 0x40; // 16-byte header
    FrameView view{};
    EXPECT_EQ(ParseEthernet(frame.data(), uint32_t(frame.size()), &view), -2);
    EXPECT_EQ(view.tcpHeader, nullptr);
    EXPECT_EQ(view.flags & FrameHasTcp, 0);

    frame[FrameTcp + 12] = 0x80; // 32-byte header in a 28-byte segment
    view = FrameView{};
    EXPECT_EQ(ParseEthernet(frame.data(), uint32_t(frame.size()), &view), -3);
    EXPECT_EQ(view.flags & FrameHasTcp, 0);
}

TEST(ParseTcp, SegmentShorterThanAHeaderFails) {
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), Bytes{});
    frame[FrameIpv4 + 3] = 20 + 19; // IPv4 total length leaves 19 TCP bytes
    FrameView view = Classify(frame);
    EXPECT_EQ(view.tcpHeader, nullptr);
    EXPECT_EQ(view.flags & FrameHasTcp, 0);
}

TEST(MacToU64, FirstByteIsMostSignificant) {
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(MacToU64(mac), 0x021122334455ull);
}

} // namespace
