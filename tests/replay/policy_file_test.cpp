#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine_limits.h"

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

// A JSON array of `n` items made by `item(i)`.
std::string ArrayOf(size_t n, const std::function<std::string(size_t)>& item) {
    std::string out = "[";
    for (size_t i = 0; i < n; ++i) {
        out += (i != 0 ? "," : "") + item(i);
    }
    return out + "]";
}

std::string Address(size_t i) {
    return "\"10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
           std::to_string(i & 255) + "\"";
}

// Every list is checked against what the engine takes before anything is built or pushed:
// at its limit it loads, one past it is refused with the list and the limit named.
TEST(PolicyFile, ListsPastTheEngineLimitsAreRefused) {
    const struct Case {
        const char* where; // where the list goes, and where a fault is named
        std::string (*json)(const std::string& list);
        size_t limit;
        std::function<std::string(size_t)> item;
        const char* limitName;
    } cases[] = {
        {"rules", [](const std::string& l) { return "{\"rules\": " + l + "}"; }, RuleListLimit,
         [](size_t) { return std::string("{}"); }, "RuleListLimit"},
        {"templates", [](const std::string& l) { return "{\"templates\": " + l + "}"; },
         TemplateListLimit, [](size_t) { return std::string("{}"); }, "TemplateListLimit"},
        {"admission", [](const std::string& l) { return "{\"admission\": " + l + "}"; },
         AdmissionTableLimit, Address, "AdmissionTableLimit"},
        {"settings.exempt_suffixes",
         [](const std::string& l) { return "{\"settings\": {\"exempt_suffixes\": " + l + "}}"; },
         64, [](size_t) { return std::string("\"x\""); }, "entries of a fixed list"},
        {"known_clients.macs",
         [](const std::string& l) { return "{\"known_clients\": {\"macs\": " + l + "}}"; }, 64,
         [](size_t) { return std::string("\"02:00:00:00:00:01\""); }, "entries of a fixed list"},
        {"known_clients.users",
         [](const std::string& l) { return "{\"known_clients\": {\"users\": " + l + "}}"; }, 64,
         [](size_t) { return std::string("\"u\""); }, "entries of a fixed list"},
    };
    for (const Case& c : cases) {
        Policy policy;
        std::string error;
        EXPECT_TRUE(ParsePolicy(c.json(ArrayOf(c.limit, c.item)), &policy, &error))
            << c.where << ": " << error;
        EXPECT_EQ(Error(c.json(ArrayOf(c.limit + 1, c.item))),
                  std::string(c.where) + ": holds " + std::to_string(c.limit + 1) +
                      " entries, more than the engine takes (" + c.limitName + ": " +
                      std::to_string(c.limit) + "); the policy is not applied");
    }
    // Admission addresses count once however often they are named.
    Policy p;
    std::string error;
    EXPECT_TRUE(ParsePolicy(
        "{\"admission\": " +
            ArrayOf(AdmissionTableLimit + 1, [](size_t i) { return Address(i == 0 ? 1 : i); }) +
            "}",
        &p, &error))
        << error;
}

// A policy is pushed whole, or what it replaced is put back: a request refused part way
// reports how many took effect, and the previous policy's parts are pushed again.
TEST(PolicyFile, PushesCountWhatTookEffectAndPutItBack) {
    const uint32_t order[PolicyParts] = {
        IOCTL_ENGINE_SET_SETTINGS,      IOCTL_ENGINE_SET_REFUSE_UNREADABLE,
        IOCTL_ENGINE_SET_KNOWN_CLIENTS, IOCTL_ENGINE_SET_ADMISSION_LIST,
        IOCTL_ENGINE_SET_TEMPLATES,     IOCTL_ENGINE_SET_RULES,
        IOCTL_ENGINE_SET_INSPECTION};
    Policy previous;
    previous.rules.push_back(Rule("old", "alice", "01000000"));
    Policy next;
    next.rules.push_back(Rule("new", "alice", "10000000"));
    std::vector<uint32_t> codes;
    int refuseAt = -1; // the request answered with -1 (counting from 0), or none
    ControlCall call = [&](uint32_t code, std::vector<uint8_t>& buffer, uint32_t, uint32_t) {
        uint32_t result = int(codes.size()) == refuseAt ? 0xFFFFFFFF : 0;
        codes.push_back(code);
        std::memcpy(buffer.data(), &result, 4);
        return ControlStatusBlock{STATUS_SUCCESS_CODE, 4};
    };
    for (int failAt = 0; failAt <= PolicyParts; ++failAt) {
        codes.clear();
        refuseAt = failAt;
        std::string error;
        int pushed = -1;
        EXPECT_EQ(ApplyPolicy(next, call, &error, &pushed), failAt == PolicyParts);
        EXPECT_EQ(pushed, failAt);
        EXPECT_EQ(codes, std::vector<uint32_t>(order, order + std::min(failAt + 1, PolicyParts)));
        codes.clear();
        refuseAt = -1;
        EXPECT_TRUE(RestorePolicyParts(previous, pushed, call, &error));
        EXPECT_EQ(codes, std::vector<uint32_t>(order, order + pushed)) << "what was replaced";
    }
    // A policy past a limit pushes nothing at all.
    Policy huge;
    huge.rules.resize(RuleListLimit + 1);
    int calls = 0;
    ControlCall count = [&](uint32_t, std::vector<uint8_t>&, uint32_t, uint32_t) {
        ++calls;
        return ControlStatusBlock{STATUS_SUCCESS_CODE, 4};
    };
    std::string error;
    int pushed = -1;
    EXPECT_FALSE(ApplyPolicy(huge, count, &error, &pushed));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(pushed, 0);
    EXPECT_NE(error.find("RuleListLimit"), std::string::npos) << error;
}

TEST(PolicyFile, NonAsciiNamesBecomeUtf16) {
    Policy p;
    std::string error;
    ASSERT_TRUE(ParsePolicy(
        R"({"rules": [{"path": "Dokumente", "user": "Jörg"}, {"path": "ÖFFENTLICH\\ΣΧΈΔΙΑ", "user": "ИВАН"}]})",
        &p, &error));
    EXPECT_EQ(p.rules[0].UserName[1], 0xF6);
    EXPECT_EQ(Utf16ToUtf8(p.rules[0].UserName, NameUnits), "jörg");
    // Stored as the engine folds them, in any script.
    EXPECT_EQ(Utf16ToUtf8(p.rules[1].Path, SharePathUnits), "öffentlich\\σχέδια");
    EXPECT_EQ(Utf16ToUtf8(p.rules[1].UserName, NameUnits), "иван");
    EXPECT_NE(Error("{\"rules\": [{\"user\": \"\xC3\"}]}").find("UTF-8"), std::string::npos);
}

TEST(PolicyFile, MissingFileIsNamed) {
    Policy p;
    std::string error;
    EXPECT_FALSE(LoadPolicyFile("/nonexistent/policy.json", &p, &error));
    EXPECT_EQ(error, "/nonexistent/policy.json: cannot be read");
}

} // namespace
