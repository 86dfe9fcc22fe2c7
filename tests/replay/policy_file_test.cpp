#include <gtest/gtest.h>

#include <string>

#include "policy_builders.h"
#include "policy_file.h"

namespace {

std::string Error(const std::string& json) {
    Policy policy;
    std::string error;
    EXPECT_FALSE(ParsePolicy(json, &policy, &error)) << json;
    return error;
}

TEST(PolicyFile, EmptyObjectIsInspectionOnWithNothingElse) {
    Policy policy;
    std::string error;
    ASSERT_TRUE(ParsePolicy("{}", &policy, &error)) << error;
    EXPECT_TRUE(policy.inspection);
    EXPECT_TRUE(policy.rules.empty());
    EXPECT_EQ(policy.settings.LearningEnabled, 0);
}

TEST(PolicyFile, EveryKeyIsRead) {
    const char* text = R"({"inspection": false,
      "rules": [{"path": "Docs\\Plans", "user": "Alice", "flags": ["report", "deny-delete",
                 "known-clients-only"]}],
      "templates": [{"path": "Public", "flags": ["deny-all"]}],
      "settings": {"learning": true, "learn_report_only": true, "admission_control": true,
                   "exempt_prefixes": ["Temp"], "exempt_suffixes": [".tmp", ".log"],
                   "exempt_substrings": ["~$"]},
      "known_clients": {"address_words": [7], "macs": ["02:00:00:00:00:01"],
                        "users": ["ADMIN"], "workstations": ["pc7"]},
      "admission": ["192.0.2.10"],
      "assign_users": [{"user": "Carol", "workstation": "PC7", "address": "192.0.2.11"}]})";
    Policy p;
    std::string error;
    ASSERT_TRUE(ParsePolicy(text, &p, &error)) << error;
    EXPECT_FALSE(p.inspection);
    ASSERT_EQ(p.rules.size(), 1u);
    EXPECT_EQ(Ascii(p.rules[0].Path), "docs\\plans");
    EXPECT_EQ(Ascii(p.rules[0].UserName), "alice");
    EXPECT_EQ(Flags(p.rules[0]), "11000001");
    EXPECT_EQ(Flags(p.templates[0]), "00000010");
    EXPECT_EQ(p.settings.LearningEnabled, 1);
    EXPECT_EQ(p.settings.AdmissionControl, 1);
    EXPECT_EQ(p.settings.SuffixCount, 2);
    EXPECT_EQ(Ascii(p.settings.ExemptPrefixList[0]), "temp");
    EXPECT_EQ(p.knownClients.WordCount, 1);
    EXPECT_EQ(p.knownClients.Macs[0], 0x020000000001ull);
    EXPECT_EQ(Ascii(p.knownClients.Users[0]), "admin");
    ASSERT_EQ(p.admission.size(), 1u);
    EXPECT_EQ(FormatIpv4(p.admission[0].ClientAddress), "192.0.2.10");
    EXPECT_EQ(p.admission[0].Value, 1);
    ASSERT_EQ(p.assignments.size(), 1u);
    EXPECT_EQ(Ascii(p.assignments[0].UserName), "carol");
    EXPECT_EQ(p.assignments[0].ClientAddress, 0x0B0200C0u);
}

TEST(PolicyFile, MistakesAreNamedPrecisely) {
    EXPECT_EQ(Error(R"({"rulez": []})"), "policy: unknown key \"rulez\"");
    EXPECT_EQ(Error(R"({"inspection": 1})"), "policy.inspection: must be true or false");
    EXPECT_EQ(Error(R"({"rules": [{"path": "a", "flags": ["deny-everything"]}]})"),
              "rules[0].flags[0]: unknown flag \"deny-everything\"");
    EXPECT_EQ(Error(R"({"rules": [{"path": "a", "owner": "x"}]})"),
              "rules[0]: unknown key \"owner\"");
    EXPECT_EQ(Error(R"({"rules": {"path": "a"}})"), "policy.rules: must be an array");
    EXPECT_EQ(Error(R"({"rules": [{"path": 5}]})"), "rules[0].path: must be a string");
    EXPECT_EQ(Error(R"({"rules": [{"path": ")" + std::string(256, 'p') + R"("}]})"),
              "rules[0].path: is longer than 255 characters");
    EXPECT_EQ(Error(R"({"rules": [{"user": ")" + std::string(64, 'u') + R"("}]})"),
              "rules[0].user: is longer than 63 characters");
    EXPECT_EQ(Error(R"({"admission": ["192.0.2"]})"),
              "admission[0]: \"192.0.2\" is not an IPv4 address");
    EXPECT_EQ(Error(R"({"admission": ["192.0.2.256"]})"),
              "admission[0]: \"192.0.2.256\" is not an IPv4 address");
    EXPECT_EQ(Error(R"({"known_clients": {"macs": ["02:00:00:00:00"]}})"),
              "known_clients.macs[0]: \"02:00:00:00:00\" is not a MAC address "
              "(aa:bb:cc:dd:ee:ff)");
    EXPECT_EQ(Error(R"({"known_clients": {"address_words": [70000]}})"),
              "known_clients.address_words[0]: must be a number from 0 to 65535");
    EXPECT_EQ(Error(R"({"settings": {"learning": true, "speed": 3}})"),
              "settings: unknown key \"speed\"");
    EXPECT_EQ(Error(R"({"assign_users": [{"user": "x"}]})"),
              "assign_users[0]: needs an \"address\"");
    EXPECT_NE(Error("{\"rules\": [").find("not valid JSON"), std::string::npos);
    EXPECT_EQ(Error("[]"), "policy: must be an object");
}

TEST(PolicyFile, ListsHoldAtMost64Entries) {
    std::string many = "[";
    for (int i = 0; i < 65; ++i) {
        many += std::string(i ? "," : "") + "\"x\"";
    }
    many += "]";
    EXPECT_EQ(Error(R"({"settings": {"exempt_suffixes": )" + many + "}}"),
              "settings.exempt_suffixes: holds more than 64 entries");
}

TEST(PolicyFile, NonAsciiNamesBecomeUtf16) {
    Policy p;
    std::string error;
    ASSERT_TRUE(ParsePolicy(R"({"rules": [{"path": "Dokumente", "user": "Jörg"}]})", &p, &error));
    EXPECT_EQ(p.rules[0].UserName[1], 0xF6);
    EXPECT_EQ(Utf16ToUtf8(p.rules[0].UserName, NameUnits), "jörg");
    EXPECT_NE(Error("{\"rules\": [{\"user\": \"\xC3\"}]}").find("UTF-8"), std::string::npos);
}

TEST(PolicyFile, MissingFileIsNamed) {
    Policy p;
    std::string error;
    EXPECT_FALSE(LoadPolicyFile("/nonexistent/policy.json", &p, &error));
    EXPECT_EQ(error, "/nonexistent/policy.json: cannot be read");
}

} // namespace
