// The control protocol as the service uses it: codes, lengths, result words, statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "control_device.h"
#include "engine_fixture.h"
#include "engine_limits.h"
#include "keyed_table.h"
#include "policy.h"
#include "policy_builders.h"
#include "report_rings.h"
#include "session_state.h"

namespace {

class ControlDeviceTest : public EngineTest {
  protected:
    ControlStatusBlock Call(uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                            uint32_t out) {
        if (buffer.size() < std::max(in, out)) {
            buffer.resize(std::max(in, out));
        }
        ControlStatusBlock status{0xFFFFFFFF, 12345};
        EngineDeviceControl(buffer.data(), in, out, code, &status);
        return status;
    }
    template <typename T> std::vector<uint8_t> Bytes(const std::vector<T>& records) {
        std::vector<uint8_t> out(records.size() * sizeof(T) + 4);
        if (!records.empty()) {
            std::memcpy(out.data(), records.data(), records.size() * sizeof(T));
        }
        return out;
    }
    int32_t ResultWord(const std::vector<uint8_t>& buffer) {
        int32_t word;
        std::memcpy(&word, buffer.data(), 4);
        return word;
    }
    void Report(int n) {
        for (int i = 0; i < n; ++i) {
            ReportFileEvent(false, 1, nullptr, 2, 1, 0, nullptr, "p\0", 2);
        }
    }
};

TEST_F(ControlDeviceTest, Version) {
    std::vector<uint8_t> buffer(4);
    ControlStatusBlock s = Call(IOCTL_ENGINE_GET_VERSION, buffer, 0, 4);
    EXPECT_EQ(s.status, STATUS_SUCCESS_CODE);
    EXPECT_EQ(s.information, 4u);
    EXPECT_EQ(ResultWord(buffer), 40100);
    s = Call(IOCTL_ENGINE_GET_VERSION, buffer, 0, 2);
    EXPECT_EQ(s.status, STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(s.information, 0u);
    ControlStatusBlock none{};
    EngineDeviceControl(nullptr, 0, 4, IOCTL_ENGINE_GET_VERSION, &none);
    EXPECT_EQ(none.status, STATUS_INVALID_PARAMETER_CODE);
}

TEST_F(ControlDeviceTest, SetRulesReplacesLowerCasesAndChecksLengths) {
    std::vector<uint8_t> buffer = Bytes(std::vector<AccessRule>{Rule("Docs", "ALICE", "11000000"),
                                                                Rule("Public", "Bob", "10000000")});
    ControlStatusBlock s = Call(IOCTL_ENGINE_SET_RULES, buffer, 2 * 656, 4);
    EXPECT_EQ(s.status, STATUS_SUCCESS_CODE);
    EXPECT_EQ(s.information, 4u);
    EXPECT_EQ(ResultWord(buffer), 0);
    ASSERT_EQ(g_Engine.RuleCount, 2u);
    EXPECT_EQ(Ascii(g_Engine.RuleList[0].Path), "docs");
    EXPECT_EQ(Ascii(g_Engine.RuleList[0].UserName), "alice");

    std::vector<uint8_t> empty(4, 0xFF);
    s = Call(IOCTL_ENGINE_SET_RULES, empty, 0, 4);
    EXPECT_EQ(ResultWord(empty), 0);
    EXPECT_EQ(g_Engine.RuleCount, 2u) << "an empty push leaves the rules";

    std::vector<uint8_t> odd(657);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_RULES, odd, 657, 4).status, STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_RULES, buffer, 656, 3).status, STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(g_Engine.RuleCount, 2u);

    std::vector<uint8_t> one = Bytes(std::vector<AccessRule>{Rule("x", "y", "1")});
    SimPoolFailAllocation(1);
    s = Call(IOCTL_ENGINE_SET_RULES, one, 656, 4);
    EXPECT_EQ(s.status, STATUS_SUCCESS_CODE);
    EXPECT_EQ(ResultWord(one), -1) << "out of memory keeps the old list";
    EXPECT_EQ(g_Engine.RuleCount, 2u);
}

TEST_F(ControlDeviceTest, SetTemplatesLowerCasesOnlyThePath) {
    std::vector<uint8_t> buffer = Bytes(std::vector<AccessRule>{Rule("Share1", "KEEP", "1")});
    Call(IOCTL_ENGINE_SET_TEMPLATES, buffer, 656, 4);
    ASSERT_EQ(g_Engine.TemplateCount, 1u);
    EXPECT_EQ(Ascii(g_Engine.TemplateList[0].Path), "share1");
    EXPECT_EQ(Ascii(g_Engine.TemplateList[0].UserName), "KEEP");
}

TEST_F(ControlDeviceTest, AdmissionListIsReplacedWhole) {
    std::vector<AdmissionEntry> entries(2);
    std::memset(entries.data(), 0, 2 * sizeof(AdmissionEntry));
    entries[0].ClientAddress = 0x0A0200C0;
    entries[1].ClientAddress = 0x0B0200C0;
    entries[1].Value = 7;
    std::vector<uint8_t> buffer = Bytes(entries);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_ADMISSION_LIST, buffer, 528, 4).status, STATUS_SUCCESS_CODE);
    uint8_t value = 0;
    EXPECT_TRUE(IsAdmittedClient(false, 0x0A0200C0, &value));
    EXPECT_TRUE(IsAdmittedClient(false, 0x0B0200C0, &value));
    EXPECT_EQ(value, 7);

    std::vector<uint8_t> empty(4);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_ADMISSION_LIST, empty, 0, 4).status, STATUS_SUCCESS_CODE);
    EXPECT_FALSE(IsAdmittedClient(false, 0x0A0200C0, &value)) << "zero entries empty the list";
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_ADMISSION_LIST, buffer, 263, 4).status,
              STATUS_INVALID_PARAMETER_CODE);
}

// Each policy list is taken whole or not at all: at its limit it is replaced; one record
// past it, or short of memory, the push is refused with -1 and the list in force stays.
TEST_F(ControlDeviceTest, PolicyListsAreRefusedWholePastTheirLimits) {
    auto admitted = [](uint32_t address) {
        uint8_t value = 0;
        return IsAdmittedClient(false, address, &value);
    };
    const struct Case {
        uint32_t code;
        uint32_t recordBytes;
        uint32_t limit;
        std::function<uint32_t()> count;
        std::function<bool(uint32_t first)> firstIs; // the list in force starts with `first`
    } cases[] = {
        {IOCTL_ENGINE_SET_RULES, sizeof(AccessRule), RuleListLimit,
         [] { return g_Engine.RuleCount; },
         [](uint32_t first) { return g_Engine.RuleList[0].Path[0] == first; }},
        {IOCTL_ENGINE_SET_TEMPLATES, sizeof(ShareTemplate), TemplateListLimit,
         [] { return g_Engine.TemplateCount; },
         [](uint32_t first) { return g_Engine.TemplateList[0].Path[0] == first; }},
        {IOCTL_ENGINE_SET_ADMISSION_LIST, sizeof(AdmissionEntry), AdmissionTableLimit,
         [] { return KeyedTableCount(g_Engine.ClientAdmissionTable, false); },
         [&](uint32_t first) { return admitted(first << 24); }},
    };
    for (const Case& c : cases) {
        // Record i names first + (i % 16) (admission: the address first << 24 | i), so every
        // record differs and the first tells the pushes apart.
        auto push = [&](uint32_t n, uint32_t first, uint32_t failAllocation) {
            std::vector<uint8_t> buffer(size_t(n) * c.recordBytes + 4);
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t* record = &buffer[size_t(i) * c.recordBytes];
                if (c.code == IOCTL_ENGINE_SET_ADMISSION_LIST) {
                    uint32_t address = first << 24 | i;
                    std::memcpy(record, &address, 4);
                } else {
                    Utf16Unit name[2] = {Utf16Unit(first + i % 16), 0};
                    std::memcpy(record, name, sizeof name);
                }
            }
            if (failAllocation != 0) {
                SimPoolFailAllocation(failAllocation);
            }
            ControlStatusBlock s = Call(c.code, buffer, n * c.recordBytes, 4);
            EXPECT_EQ(s.status, STATUS_SUCCESS_CODE);
            return ResultWord(buffer);
        };
        EXPECT_EQ(push(c.limit, 'a', 0), 0) << std::hex << c.code;
        EXPECT_TRUE(c.firstIs('a'));
        EXPECT_EQ(push(c.limit + 1, 'q', 0), -1) << std::hex << c.code;
        EXPECT_TRUE(c.firstIs('a')) << "the list in force stays, " << std::hex << c.code;
        EXPECT_FALSE(c.firstIs('q'));
        EXPECT_EQ(push(3, 'k', 1), -1) << "out of memory, " << std::hex << c.code;
        EXPECT_TRUE(c.firstIs('a'));
        EXPECT_FALSE(c.firstIs('k'));
        EXPECT_EQ(c.count(), c.limit) << std::hex << c.code;
    }

    // Learning adds no rule and no template past the limits.
    g_Engine.Settings->LearningEnabled = 1;
    EXPECT_TRUE(LearnGrant(false, U16("new").data(), U16("carol").data()));
    EXPECT_EQ(g_Engine.RuleCount, RuleListLimit);
    EXPECT_EQ(g_Engine.TemplateCount, TemplateListLimit);
    std::vector<uint8_t> grants(sizeof(LearnedGrant) * LearnedGrantRingSlots);
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_LEARNED, grants, 0, uint32_t(grants.size())).information, 0u)
        << "no rule was learned";
}

TEST_F(ControlDeviceTest, SettingsAndKnownClientsNeedTheirExactSize) {
    EngineSettings settings{};
    settings.LearningEnabled = 1;
    settings.AdmissionControl = 1;
    settings.PrefixCount = 1;
    SetField(settings.ExemptPrefixList[0], NameUnits, "temp");
    std::vector<uint8_t> buffer(sizeof settings + 4);
    std::memcpy(buffer.data(), &settings, sizeof settings);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_SETTINGS, buffer, 32787, 4).status,
              STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(g_Engine.Settings->LearningEnabled, 0);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_SETTINGS, buffer, 32788, 4).status, STATUS_SUCCESS_CODE);
    EXPECT_EQ(g_Engine.Settings->LearningEnabled, 1);
    EXPECT_TRUE(ReadAdmissionControl(false));
    EXPECT_TRUE(IsExemptPath(false, U16("temp\\x").data()));
    // Each push decides alone: everything off, then only a suffix list (beside a
    // negative count, which counts as empty).
    EngineSettings off{};
    EngineSettings suffixOnly{};
    suffixOnly.PrefixCount = -5;
    suffixOnly.SuffixCount = 1;
    SetField(suffixOnly.ExemptSuffixList[0], NameUnits, ".log");
    for (const EngineSettings* pushed : {&off, &suffixOnly}) {
        std::memcpy(buffer.data(), pushed, sizeof *pushed);
        EXPECT_EQ(Call(IOCTL_ENGINE_SET_SETTINGS, buffer, 32788, 4).status, STATUS_SUCCESS_CODE);
        EXPECT_FALSE(ReadAdmissionControl(false));
        EXPECT_FALSE(IsExemptPath(false, U16("temp\\x").data()));
        EXPECT_EQ(IsExemptPath(false, U16("temp\\x.log").data()), pushed == &suffixOnly);
    }

    KnownClientLists known{};
    known.UserCount = 200;
    SetField(known.Users[0], NameUnits, "ADMIN");
    std::vector<uint8_t> lists(sizeof known);
    std::memcpy(lists.data(), &known, sizeof known);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_KNOWN_CLIENTS, lists, 17041, 4).status,
              STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_KNOWN_CLIENTS, lists, 17040, 4).status, STATUS_SUCCESS_CODE);
    EXPECT_TRUE(IsKnownClient(false, 0, 1, U16("admin").data(), U16("").data()));
}

TEST_F(ControlDeviceTest, InspectionSwitch) {
    SetInspectionEnabled(false);
    std::vector<uint8_t> buffer{0x02, 0, 0, 0};
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_INSPECTION, buffer, 1, 4).status, STATUS_SUCCESS_CODE);
    EXPECT_TRUE(InspectionEnabled());
    buffer = {0, 0, 0, 0};
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_INSPECTION, buffer, 4, 4).status,
              STATUS_INVALID_PARAMETER_CODE);
    EXPECT_TRUE(InspectionEnabled());
    EXPECT_EQ(Call(IOCTL_ENGINE_SET_INSPECTION, buffer, 1, 4).status, STATUS_SUCCESS_CODE);
    EXPECT_FALSE(InspectionEnabled());
}

TEST_F(ControlDeviceTest, ReadEventsNeedsExactlyTheRingSize) {
    Report(3);
    std::vector<uint8_t> buffer(28801);
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_EVENTS, buffer, 0, 28799).status,
              STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_EVENTS, buffer, 0, 28801).status,
              STATUS_INVALID_PARAMETER_CODE);
    ControlStatusBlock s = Call(IOCTL_ENGINE_READ_EVENTS, buffer, 0, 28800);
    EXPECT_EQ(s.status, STATUS_SUCCESS_CODE);
    EXPECT_EQ(s.information, 4320u) << "the failed reads left the ring untouched";
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_EVENTS, buffer, 0, 28800).information, 0u);
}

TEST_F(ControlDeviceTest, ReadLearnedAndStats) {
    AppendLearnedGrant(false, U16("u").data(), U16("s").data());
    std::vector<uint8_t> buffer;
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_LEARNED, buffer, 0, 12799).status,
              STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_LEARNED, buffer, 0, 12800).information, 640u);
    g_Engine.TrafficStats->InboundPackets = 9;
    ControlStatusBlock s = Call(IOCTL_ENGINE_READ_STATS, buffer, 0, 48);
    EXPECT_EQ(s.information, 48u);
    SmbTrafficStats stats;
    std::memcpy(&stats, buffer.data(), 48);
    EXPECT_EQ(stats.InboundPackets, 9u);
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_STATS, buffer, 0, 49).status, STATUS_INVALID_PARAMETER_CODE);
}

TEST_F(ControlDeviceTest, SessionsAndAssignments) {
    TreeRecord tree{};
    SetField(tree.ShareName, SharePathUnits, "docs");
    tree.ClientAddress = 0x0500000A;
    KeyedTableInsert(g_Engine.TreeTable, false, TreeKey(3, 1), &tree, sizeof tree);
    std::vector<UserAssignment> records(1);
    std::memset(records.data(), 0, sizeof(UserAssignment));
    SetField(records[0].UserName, NameUnits, "Carol");
    records[0].ClientAddress = 0x0500000A;
    std::vector<uint8_t> buffer = Bytes(records);
    EXPECT_EQ(Call(IOCTL_ENGINE_ASSIGN_USERS, buffer, 401, 4).status,
              STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(Call(IOCTL_ENGINE_ASSIGN_USERS, buffer, 400, 4).status, STATUS_SUCCESS_CODE);

    std::vector<uint8_t> sessions;
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_SESSIONS, sessions, 0, 399).status,
              STATUS_INVALID_PARAMETER_CODE);
    EXPECT_EQ(Call(IOCTL_ENGINE_READ_SESSIONS, sessions, 0, 0).information, 0u);
    ControlStatusBlock s = Call(IOCTL_ENGINE_READ_SESSIONS, sessions, 0, 800);
    ASSERT_EQ(s.information, 400u);
    SessionUser user;
    std::memcpy(&user, sessions.data(), sizeof user);
    EXPECT_EQ(Ascii(user.UserName), "carol");
}

TEST_F(ControlDeviceTest, UnknownCodes) {
    std::vector<uint8_t> buffer(64);
    for (uint32_t code :
         {EngineControlCode(0x9900, 0x9A0), EngineControlCode(0x9900, 0x98F), 0x00170000u, 0u}) {
        ControlStatusBlock s = Call(code, buffer, 4, 4);
        EXPECT_EQ(s.status, STATUS_INVALID_DEVICE_REQUEST_CODE) << std::hex << code;
        EXPECT_EQ(s.information, 0u);
    }
}

} // namespace
