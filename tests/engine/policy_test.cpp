#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine_fixture.h"
#include "policy.h"
#include "policy_builders.h"
#include "report_rings.h"

namespace {

class PolicyTest : public EngineTest {
  protected:
    void SetRules(const std::vector<AccessRule>& rules) {
        ASSERT_EQ(ReplaceAccessRules(rules.data(), uint32_t(rules.size())), PolicyResultOk);
    }
    void SetTemplates(const std::vector<ShareTemplate>& templates) {
        ASSERT_EQ(ReplaceShareTemplates(templates.data(), uint32_t(templates.size())),
                  PolicyResultOk);
    }
    bool Match(const std::string& path, const std::string& user, AccessRule* out = nullptr) {
        AccessRule scratch;
        return MatchAccessRule(false, U16(path).data(), U16(user).data(),
                               out != nullptr ? out : &scratch);
    }
    EngineSettings& Settings() { return *g_Engine.Settings; }
    KnownClientLists& Known() { return *g_Engine.KnownClients; }
    std::vector<LearnedGrant> DrainGrants() {
        std::vector<LearnedGrant> grants(LearnedGrantRingSlots);
        grants.resize(DrainLearnedGrantRing(false, grants.data()) / sizeof(LearnedGrant));
        return grants;
    }
};

TEST_F(PolicyTest, LongestMatchingRulePathWins) {
    SetRules({Rule("docs", "alice", "10000000"), Rule("docs\\sub", "alice", "01000000")});
    AccessRule rule;
    ASSERT_TRUE(Match("docs\\sub\\x.doc", "alice", &rule));
    EXPECT_EQ(Ascii(rule.Path), "docs\\sub");
    ASSERT_TRUE(Match("docs\\y.doc", "alice", &rule));
    EXPECT_EQ(Ascii(rule.Path), "docs");
    EXPECT_FALSE(Match("docs\\y.doc", "bob"));
}

TEST_F(PolicyTest, FirstOfEqualLengthWins) {
    SetRules({Rule("docs", "alice", "10000000"), Rule("docs", "alice", "01000000")});
    AccessRule rule;
    ASSERT_TRUE(Match("docs\\a.txt", "alice", &rule));
    EXPECT_EQ(Flags(rule), "10000000");
}

TEST_F(PolicyTest, ProbeEndsInABackslash) {
    SetRules({Rule("docs", "alice", "10000000")});
    EXPECT_TRUE(Match("docs\\a.txt", "alice"));
    EXPECT_TRUE(Match("docs\\sub\\b.txt", "alice"));
    EXPECT_TRUE(Match("old\\docs\\c.txt", "alice")) << "the probe may occur anywhere";
    EXPECT_FALSE(Match("docs", "alice"));
    EXPECT_FALSE(Match("docs2\\d.txt", "alice"));
    EXPECT_FALSE(Match("docs\\a.txt", "alicex"));
}

// The lookup walks only the asking user's rules; whatever the list, it must agree with a
// walk of the whole list in order, also after learning appended rules.
TEST_F(PolicyTest, AgreesWithAWalkOfTheWholeList) {
    const char* users[] = {"alice", "bob", "", "al", "alicea", "zed"};
    const char* paths[] = {"docs", "docs\\sub", "", "pub", "docs\\sub\\deep", "s"};
    const char* queries[] = {
        "docs\\a", "docs\\sub\\x", "pub\\docs\\y", "docs\\sub\\deep\\z", "s\\docs\\sub\\q", "none"};
    std::mt19937 random(7);
    g_Engine.Settings->LearningEnabled = 1;
    for (int round = 0; round < 40; ++round) {
        std::vector<AccessRule> rules;
        int n = 1 + int(random() % 60);
        for (int i = 0; i < n; ++i) {
            AccessRule r = Rule(paths[random() % 6], users[random() % 6], "00000000");
            r.Reserved[0] = uint8_t(i); // the rule's list position, to tell equal rules apart
            rules.push_back(r);
        }
        SetRules(rules);
        for (int learned = 0; learned < int(random() % 4); ++learned) {
            LearnGrant(false, U16(paths[random() % 6]).data(), U16(users[random() % 6]).data());
        }
        for (const char* user : users) {
            for (const char* query : queries) {
                // The reference: every rule in list order.
                int best = -1;
                int bestLength = -1;
                std::string path = query;
                for (uint32_t i = 0; i < g_Engine.RuleCount; ++i) {
                    const AccessRule& r = g_Engine.RuleList[i];
                    std::string rulePath = Ascii(r.Path, 255);
                    if (Ascii(r.UserName, 63) == user &&
                        path.find(rulePath + "\\") != std::string::npos &&
                        int(rulePath.size()) > bestLength) {
                        best = int(i);
                        bestLength = int(rulePath.size());
                    }
                }
                AccessRule found;
                bool matched = MatchAccessRule(false, U16(query).data(), U16(user).data(), &found);
                ASSERT_EQ(matched, best >= 0) << user << " " << query;
                if (matched) {
                    ASSERT_EQ(std::memcmp(&found, &g_Engine.RuleList[best], sizeof found), 0)
                        << user << " " << query << ": not the first of the longest";
                }
            }
        }
    }
}

TEST_F(PolicyTest, EmptyRulePathMatchesEveryPathWithABackslash) {
    SetRules({Rule("", "alice", "00100000")});
    EXPECT_TRUE(Match("any\\thing", "alice"));
    EXPECT_FALSE(Match("nothing", "alice"));
}

TEST_F(PolicyTest, StoredRulesAreLowerCased) {
    SetRules({Rule("Docs\\Plans", "ALICE", "10000000")});
    EXPECT_TRUE(Match("docs\\plans\\q1.xlsx", "alice"));
    EXPECT_EQ(Ascii(g_Engine.RuleList[0].Path), "docs\\plans");
}

TEST_F(PolicyTest, RulePathFillingItsWholeFieldIsComparedAs255Units) {
    AccessRule full = Rule(std::string(256, 'p'), "alice", "10000000");
    SetRules({full});
    EXPECT_TRUE(Match(std::string(255, 'p') + "\\x", "alice"));
    EXPECT_FALSE(Match(std::string(254, 'p') + "\\x", "alice"));
}

TEST_F(PolicyTest, EmptyPushKeepsTheRulesAndFailedAllocationKeepsThem) {
    SetRules({Rule("docs", "alice", "10000000")});
    EXPECT_EQ(ReplaceAccessRules(nullptr, 0), PolicyResultOk);
    EXPECT_TRUE(Match("docs\\a", "alice"));
    AccessRule other = Rule("other", "bob", "10000000");
    SimPoolFailAllocation(1);
    EXPECT_EQ(ReplaceAccessRules(&other, 1), PolicyResultNoMemory);
    EXPECT_TRUE(Match("docs\\a", "alice"));
    EXPECT_FALSE(Match("other\\a", "bob"));
}

TEST_F(PolicyTest, LearningOffChangesNothing) {
    EXPECT_TRUE(LearnGrant(false, U16("share1").data(), U16("carol").data()));
    EXPECT_EQ(g_Engine.RuleCount, 0u);
    EXPECT_EQ(g_Engine.TemplateCount, 0u);
    EXPECT_TRUE(DrainGrants().empty());
}

TEST_F(PolicyTest, LearningReportOnlyAddsTemplateRuleAndGrant) {
    Settings().LearningEnabled = 1;
    Settings().LearnReportOnly = 1;
    SetTemplates({Rule("other", "", "01000000")});
    ASSERT_TRUE(LearnGrant(false, U16("Share1").data(), U16("Carol").data()));
    ASSERT_EQ(g_Engine.TemplateCount, 2u);
    EXPECT_EQ(Ascii(g_Engine.TemplateList[0].Path), "other");
    EXPECT_EQ(Ascii(g_Engine.TemplateList[1].Path), "share1");
    EXPECT_EQ(Ascii(g_Engine.TemplateList[1].UserName), "carol");
    EXPECT_EQ(Flags(g_Engine.TemplateList[1]), "10000000");
    ASSERT_EQ(g_Engine.RuleCount, 1u);
    EXPECT_EQ(Ascii(g_Engine.RuleList[0].Path), "share1");
    EXPECT_EQ(Ascii(g_Engine.RuleList[0].UserName), "carol");
    EXPECT_EQ(Flags(g_Engine.RuleList[0]), "10000000");
    std::vector<LearnedGrant> grants = DrainGrants();
    ASSERT_EQ(grants.size(), 1u);
    EXPECT_EQ(Ascii(grants[0].UserName), "carol");
    EXPECT_EQ(Ascii(grants[0].ShareName), "share1");
}

TEST_F(PolicyTest, LearningWithoutReportOnlySetsAllFlags) {
    Settings().LearningEnabled = 1;
    ASSERT_TRUE(LearnGrant(false, U16("share1").data(), U16("carol").data()));
    ASSERT_EQ(g_Engine.RuleCount, 1u);
    EXPECT_EQ(Flags(g_Engine.RuleList[0]), "11111111");
}

TEST_F(PolicyTest, TemplateGivesItsFlagsAndDoesNotGrow) {
    Settings().LearningEnabled = 1;
    SetTemplates({Rule("share1", "whoever", "10100000")});
    ASSERT_TRUE(LearnGrant(false, U16("share1").data(), U16("dan").data()));
    ASSERT_TRUE(LearnGrant(false, U16("share1").data(), U16("dan").data()));
    EXPECT_EQ(g_Engine.TemplateCount, 1u);
    ASSERT_EQ(g_Engine.RuleCount, 2u) << "each call adds a rule, equal or not";
    EXPECT_EQ(Flags(g_Engine.RuleList[0]), "10100000");
    EXPECT_EQ(Ascii(g_Engine.RuleList[0].UserName), "dan");
    EXPECT_EQ(DrainGrants().size(), 2u);
}

TEST_F(PolicyTest, LearningSurvivesAllocationFailures) {
    Settings().LearningEnabled = 1;
    SimPoolFailAllocation(1); // the template append
    ASSERT_TRUE(LearnGrant(false, U16("s").data(), U16("u").data()));
    EXPECT_EQ(g_Engine.TemplateCount, 0u);
    EXPECT_EQ(g_Engine.RuleCount, 1u);
    SimPoolFailAllocation(2); // the rule append, after the template append
    ASSERT_TRUE(LearnGrant(false, U16("t").data(), U16("u").data()));
    EXPECT_EQ(g_Engine.TemplateCount, 1u);
    EXPECT_EQ(g_Engine.RuleCount, 1u);
    EXPECT_EQ(DrainGrants().size(), 1u) << "no grant for a rule that was not added";
}

TEST_F(PolicyTest, ExemptSuffixCountsOnlyTheFirstOccurrence) {
    Settings().SuffixCount = 1;
    SetField(Settings().ExemptSuffixList[0], NameUnits, ".tmp");
    EXPECT_TRUE(IsExemptPath(false, U16("docs\\x.tmp").data()));
    EXPECT_FALSE(IsExemptPath(false, U16("docs\\x.tmp.tmp").data()));
    EXPECT_FALSE(IsExemptPath(false, U16("docs\\x.tmpl").data()));
}

TEST_F(PolicyTest, ExemptPrefixAndSubstring) {
    Settings().PrefixCount = 1;
    SetField(Settings().ExemptPrefixList[0], NameUnits, "temp");
    Settings().SubstringCount = 1;
    SetField(Settings().ExemptSubstringList[0], NameUnits, "~$");
    EXPECT_TRUE(IsExemptPath(false, U16("temp\\a").data()));
    EXPECT_FALSE(IsExemptPath(false, U16("a\\temp").data()));
    EXPECT_TRUE(IsExemptPath(false, U16("docs\\~$plan.docx").data()));
    EXPECT_FALSE(IsExemptPath(false, U16("docs\\plan.docx").data()));
}

TEST_F(PolicyTest, ExemptCountsAreClamped) {
    SetField(Settings().ExemptSubstringList[63], NameUnits, "zz");
    Settings().SubstringCount = 1000; // taken as 64
    EXPECT_TRUE(IsExemptPath(false, U16("a\\zz").data()));
    Settings().SubstringCount = -5; // taken as none; entry 0 is empty
    EXPECT_FALSE(IsExemptPath(false, U16("a\\b").data()));
    Settings().SubstringCount = 1; // an empty entry occurs in every path
    EXPECT_TRUE(IsExemptPath(false, U16("a\\b").data()));
}

TEST_F(PolicyTest, ExemptEntryFillingItsFieldIsComparedAs63Units) {
    Settings().SubstringCount = 1;
    for (auto& unit : Settings().ExemptSubstringList[0]) {
        unit = 'q';
    }
    EXPECT_TRUE(IsExemptPath(false, U16("a\\" + std::string(63, 'q')).data()));
    EXPECT_FALSE(IsExemptPath(false, U16("a\\" + std::string(62, 'q')).data()));
}

TEST_F(PolicyTest, KnownClientsByAddressWordMacUserOrWorkstation) {
    KnownClientLists& k = Known();
    k.WordCount = 1;
    k.AddressWords[0] = 0x00C0; // matches only an address whose last two bytes are zero
    k.MacCount = 1;
    k.Macs[0] = 0x020000000011ull;
    k.UserCount = 1;
    SetField(k.Users[0], NameUnits, "admin");
    k.WorkstationCount = 1;
    SetField(k.Workstations[0], NameUnits, "pc7");
    auto known = [](uint64_t mac, uint32_t address, const char* user, const char* wks) {
        return IsKnownClient(false, mac, address, U16(user).data(), U16(wks).data());
    };
    EXPECT_TRUE(known(0, 0x000000C0, "x", "y"));
    EXPECT_FALSE(known(0, 0x0B0200C0, "x", "y"));
    EXPECT_TRUE(known(0x020000000011ull, 1, "x", "y"));
    EXPECT_TRUE(known(0, 1, "admin", "y"));
    EXPECT_TRUE(known(0, 1, "x", "pc7"));
    EXPECT_FALSE(known(0, 1, "admin2", "pc"));
    k.MacCount = 0;
    EXPECT_FALSE(known(0x020000000011ull, 1, "x", "y")) << "only the first count entries count";
}

TEST_F(PolicyTest, KnownClientNamesAreLowerCasedWhenReplaced) {
    KnownClientLists lists{};
    lists.UserCount = 1;
    SetField(lists.Users[0], NameUnits, "ADMIN");
    lists.WorkstationCount = 99;
    SetField(lists.Workstations[63], NameUnits, "PC63");
    ReplaceKnownClientLists(&lists);
    EXPECT_TRUE(IsKnownClient(false, 0, 1, U16("admin").data(), U16("").data()));
    EXPECT_TRUE(IsKnownClient(false, 0, 1, U16("").data(), U16("pc63").data()));
}

TEST_F(PolicyTest, AdmissionControlSwitch) {
    EXPECT_FALSE(ReadAdmissionControl(false));
    EngineSettings settings{};
    settings.AdmissionControl = 7;
    ReplaceEngineSettings(&settings);
    EXPECT_TRUE(ReadAdmissionControl(false));
}

} // namespace
