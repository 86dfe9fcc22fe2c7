#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "report_output.h"

namespace {

void SetName(Utf16Unit* to, const char* text) {
    for (size_t i = 0; text[i] != 0 && i + 1 < NameUnits; ++i) {
        to[i] = Utf16Unit(uint8_t(text[i]));
    }
}

// One session JSON line per record: the client is the IPv6 address when the record
// carries one, else the IPv4 address (stored in header order), whatever the other holds.
TEST(SessionJson, NamesEachClientByTheAddressItWasSeenWith) {
    struct Case {
        uint32_t ipv4;
        uint8_t ipv6[ClientIpv6Bytes];
        uint64_t mac;
        const char* client;
        const char* macText;
    };
    const Case cases[] = {
        {0x0A0200C0, {}, 0x0250560000A1ull, "192.0.2.10", "02:50:56:00:00:a1"},
        {0,
         {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05},
         0x0A0B0C0D0E0Full,
         "2001:db8::5",
         "0a:0b:0c:0d:0e:0f"},
        {0x0A0200C0,
         {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x22},
         0xFFFFFFFFFFFFull,
         "2001:db8:1::22",
         "ff:ff:ff:ff:ff:ff"},
        {0xFF00A8C0, {}, 0, "192.168.0.255", "00:00:00:00:00:00"},
    };
    for (const Case& c : cases) {
        SessionClient record{};
        SetName(record.User.UserName, "alice");
        SetName(record.User.WorkstationName, "WS7");
        SetName(record.User.DomainName, "EXAMPLE");
        record.User.ClientAddress = c.ipv4;
        record.User.ClientMac = c.mac;
        std::memcpy(record.ClientIpv6, c.ipv6, ClientIpv6Bytes);
        EXPECT_EQ(SessionJson(record).dump(),
                  std::string("{\"type\":\"session\",\"user\":\"alice\",\"workstation\":\"WS7\","
                              "\"domain\":\"EXAMPLE\",\"client\":\"") +
                      c.client + "\",\"mac\":\"" + c.macText + "\"}")
            << c.client;
    }
}

} // namespace
