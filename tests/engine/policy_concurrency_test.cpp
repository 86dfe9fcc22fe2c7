// Lookups, learning and user assignment running while the service replaces the rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "policy.h"
#include "policy_builders.h"
#include "session_state.h"

namespace {

// Every rule of generation g carries g in all eight reserved bytes and in every flag, so
// a rule copied while half replaced shows mixed bytes.
std::vector<AccessRule> Generation(uint8_t g) {
    std::vector<AccessRule> rules;
    for (int i = 0; i < 40; ++i) {
        AccessRule rule = Rule(i % 2 ? "docs" : "docs\\sub", "alice", "00000000");
        std::memset(rule.Reserved, g, sizeof rule.Reserved);
        std::memset(&rule.Report, g, 8);
        rules.push_back(rule);
    }
    return rules;
}

bool Whole(const AccessRule& rule) {
    const uint8_t* bytes = rule.Reserved;
    for (int i = 1; i < 16; ++i) {
        if (bytes[i] != bytes[0]) {
            return false;
        }
    }
    return true;
}

class PolicyConcurrencyTest : public EngineTest {};

TEST_F(PolicyConcurrencyTest, NoTornRuleAndNoLeakUnderConcurrentReplacement) {
    g_Engine.Settings->LearningEnabled = 1;
    for (uint32_t t = 0; t < 8; ++t) {
        TreeRecord tree{};
        SetField(tree.ShareName, SharePathUnits, "docs");
        tree.ClientAddress = 0x0A0200C0 + t;
        ASSERT_TRUE(
            KeyedTableInsert(g_Engine.TreeTable, false, TreeKey(100 + t, t), &tree, sizeof tree));
    }
    std::vector<AccessRule> first = Generation(255);
    ASSERT_EQ(ReplaceAccessRules(first.data(), uint32_t(first.size())), PolicyResultOk);
    std::atomic<int> torn{0};
    std::atomic<int> matched{0};
    const int rounds = 3000;

    std::thread replacer([] {
        for (int i = 0; i < rounds; ++i) {
            std::vector<AccessRule> rules = Generation(uint8_t(1 + i % 250));
            ReplaceAccessRules(rules.data(), uint32_t(rules.size()));
        }
    });
    std::thread matcher([&] {
        std::vector<Utf16Unit> path = U16("docs\\sub\\plan.xlsx");
        std::vector<Utf16Unit> user = U16("alice");
        for (int i = 0; i < rounds * 4; ++i) {
            bool atDispatch = i % 2 == 0;
            if (atDispatch) {
                SimRaiseIrql(KmDispatchLevel);
            }
            AccessRule rule;
            bool found = MatchAccessRule(atDispatch, path.data(), user.data(), &rule);
            if (atDispatch) {
                SimLowerIrql(KmPassiveLevel);
            }
            if (found) {
                matched++;
                if (!Whole(rule) && Ascii(rule.Path) == "docs\\sub") {
                    torn++;
                }
            }
        }
    });
    std::thread learner([] {
        std::vector<Utf16Unit> user = U16("bob");
        for (int i = 0; i < rounds; ++i) {
            std::vector<Utf16Unit> share = U16("share" + std::to_string(i % 7));
            LearnGrant(false, share.data(), user.data());
        }
    });
    std::thread assigner([] {
        for (int i = 0; i < rounds / 3; ++i) {
            UserAssignment records[2] = {};
            SetField(records[0].UserName, NameUnits, i % 2 ? "carol" : "dave");
            records[0].ClientAddress = 0x0A0200C0 + uint32_t(i % 8);
            SetField(records[1].UserName, NameUnits, "erin");
            records[1].ClientAddress = 0x0A0200C0 + uint32_t((i + 3) % 8);
            AssignSessionUsers(records, 2);
        }
    });
    replacer.join();
    matcher.join();
    learner.join();
    assigner.join();

    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(matched.load(), 0);
    std::vector<SessionUser> sessions(16);
    EXPECT_EQ(EnumerateSessionUsers(sessions.data(), 16), 8u) << "each tree's session named";
    // The fixture's teardown checks that stopping the engine returns every pool byte.
}

} // namespace
