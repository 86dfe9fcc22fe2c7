#include <gtest/gtest.h>

#include "../../quenthorpe/oem_inf_purge.h"
#include "fake_platform.h"

namespace {

class OemInfPurgeTest : public ::testing::Test {
  protected:
    FakeFileSystem fs;
    FakeInfDirectory infs{fs};
};

TEST_F(OemInfPurgeTest, CopiesMentioningTheBaseNameGoWithTheirPnf) {
    infs.AddInf(L"oem3.inf", "[Version]\n; ships Merrowfaldine\n");
    fs.AddFile(L"C:\\Windows\\inf\\oem3.pnf", "compiled");
    infs.AddInf(L"oem4.inf", "[Version]\nSignature=\"$Windows NT$\"\n");
    infs.AddInf(L"oem5.inf", "; merrowfaldine in another case\n");
    EXPECT_EQ(PurgeOemInfs(infs, L"Merrowfaldine"), 1);
    EXPECT_FALSE(fs.Exists(L"C:\\Windows\\inf\\oem3.inf"));
    EXPECT_FALSE(fs.Exists(L"C:\\Windows\\inf\\oem3.pnf"));
    EXPECT_TRUE(fs.Exists(L"C:\\Windows\\inf\\oem4.inf"));
    EXPECT_TRUE(fs.Exists(L"C:\\Windows\\inf\\oem5.inf"));
}

TEST_F(OemInfPurgeTest, CapitalNameLeadsToTheLowerCasePnf) {
    infs.AddInf(L"OEM7.INF", "Merrowfaldine");
    EXPECT_EQ(CompanionPnfPath(L"C:\\Windows\\inf\\OEM7.INF"), L"c:\\windows\\inf\\oem7.pnf");
    fs.AddFile(L"c:\\windows\\inf\\oem7.pnf", "compiled");
    EXPECT_EQ(PurgeOemInfs(infs, L"Merrowfaldine"), 1);
    EXPECT_FALSE(fs.Exists(L"C:\\Windows\\inf\\OEM7.INF"));
    EXPECT_FALSE(fs.Exists(L"c:\\windows\\inf\\oem7.pnf"));
}

TEST_F(OemInfPurgeTest, EmptyAndUtf16InfsNeverMatch) {
    infs.AddInf(L"empty.inf", "");
    std::string utf16;
    for (char c : std::string("; Merrowfaldine")) {
        utf16 += c;
        utf16 += '\0';
    }
    infs.AddInf(L"wide.inf", utf16);
    EXPECT_EQ(PurgeOemInfs(infs, L"Merrowfaldine"), 1);
    EXPECT_TRUE(fs.Exists(L"C:\\Windows\\inf\\empty.inf"));
    EXPECT_TRUE(fs.Exists(L"C:\\Windows\\inf\\wide.inf"));
    EXPECT_FALSE(InfTextMentions(std::string("abc\0Merrowfaldine", 17), "Merrowfaldine"));
}

TEST_F(OemInfPurgeTest, AReadOnlyMatchStopsTheScan) {
    infs.AddInf(L"oem1.inf", "Merrowfaldine");
    infs.AddInf(L"oem2.inf", "Merrowfaldine");
    fs.SetReadOnly(L"C:\\Windows\\inf\\oem1.inf");
    EXPECT_EQ(PurgeOemInfs(infs, L"Merrowfaldine"), 0);
    EXPECT_TRUE(fs.Exists(L"C:\\Windows\\inf\\oem2.inf")) << "later files stay untouched";
}

TEST_F(OemInfPurgeTest, UnsearchableDirectoryEndsQuietly) {
    infs.searchFails = true;
    EXPECT_EQ(PurgeOemInfs(infs, L"Merrowfaldine"), 1);
}

} // namespace
