#include <gtest/gtest.h>

#include "../../quenthorpe/file_list.h"
#include "fake_platform.h"

namespace {

std::string Generate(FakeFileSystem& fs, const std::wstring& base, const std::wstring& sub) {
    EXPECT_EQ(GenerateFileList(fs, base, sub, L"C:\\list.txt"), 1);
    return fs.Content(L"C:\\list.txt");
}

class FileListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs.AddDirectory(L"C:");
        fs.AddDirectory(L"C:\\App");
        fs.AddDirectory(L"C:\\App\\bin");
        fs.AddDirectory(L"C:\\App\\bin\\sub");
        fs.AddFile(L"C:\\App\\bin\\sub\\y.txt");
        fs.AddFile(L"C:\\App\\bin\\x.dll");
    }
    FakeFileSystem fs;
};

TEST_F(FileListTest, RecordsAPreOrderWalkWithTheSubdirectoryCutOut) {
    EXPECT_EQ(Generate(fs, L"C:\\App", L"bin"),
              "D\tC:\\App\\bin\nD\tC:\\App\\sub\nF\tC:\\App\\sub\\y.txt\nF\tC:\\App\\x.dll\n");
    EXPECT_EQ(Generate(fs, L"C:\\App\\", L"bin"),
              "D\tC:\\App\\bin\nD\tC:\\App\\sub\nF\tC:\\App\\sub\\y.txt\nF\tC:\\App\\x.dll\n")
        << "no second backslash after a base that ends in one";
}

TEST_F(FileListTest, EveryOccurrenceOfTheSubdirectoryGoes) {
    fs.AddDirectory(L"C:\\bin");
    fs.AddDirectory(L"C:\\bin\\bin");
    fs.AddFile(L"C:\\bin\\bin\\a.txt");
    EXPECT_EQ(Generate(fs, L"C:\\bin", L"bin"), "D\tC:\\bin\nF\tC:\\a.txt\n");
    EXPECT_EQ(Generate(fs, L"C:\\App", L""),
              "D\tC:App\nD\tC:Appbin\nD\tC:Appbinsub\nF\tC:Appbinsuby.txt\nF\tC:Appbinx.dll\n")
        << "an empty subdirectory name removes every backslash";
}

TEST_F(FileListTest, MissingRootGivesItsOwnLineOnly) {
    EXPECT_EQ(Generate(fs, L"C:\\Nowhere", L"bin"), "D\tC:\\Nowhere\\bin\n");
}

TEST_F(FileListTest, UnwritableListMeansNothingIsWalked) {
    fs.refuseListFile = true;
    EXPECT_EQ(GenerateFileList(fs, L"C:\\App", L"bin", L"C:\\list.txt"), 1);
    EXPECT_EQ(fs.enumerations, 0);
}

TEST_F(FileListTest, CharactersOutsideTheCodePageBecomeItsDefault) {
    fs.AddFile(L"C:\\App\\bin\\\u00e9t\u00e9\u4e2d.txt");
    std::string list = Generate(fs, L"C:\\App", L"bin");
    EXPECT_NE(list.find("F\tC:\\App\\\xe9t\xe9?.txt\n"), std::string::npos);
}

TEST(FileListLines, ParsingTrimsAndSplitsAtTheFirstTab) {
    ListRecord record;
    ASSERT_TRUE(ParseListLine(L"  F\tC:\\a\tb.txt\r\n", &record));
    EXPECT_EQ(record.kind, L"F");
    EXPECT_EQ(record.path, L"C:\\a\tb.txt");
    EXPECT_FALSE(ParseListLine(L"   \n", &record));
    EXPECT_FALSE(ParseListLine(L"F C:\\no-tab\n", &record));
    EXPECT_FALSE(ParseListLine(L"F\t \r\n", &record)); // the only TAB is trailing space
    ASSERT_TRUE(ParseListLine(L"D\tC:\\d", &record));  // the record's earlier strings go
    EXPECT_EQ(record.kind, L"D");
    EXPECT_EQ(record.path, L"C:\\d");
}

TEST(FileListLines, LinesOfAnyLengthStayWhole) {
    std::string longLine = "F\t" + std::string(2000, 'p') + "\n";
    std::string bytes = longLine + "D\tC:\\d\n" + "F\tlast";
    std::vector<std::string> lines;
    size_t at = 0;
    for (std::string line; NextListLine(bytes, &at, &line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], longLine);
    EXPECT_EQ(lines[2], "F\tlast");
}

TEST(FileListLines, DirectoriesGoDeepestFirstInAscendingOrderOnce) {
    DepthBuckets buckets;
    for (const wchar_t* path : {L"C:\\a", L"C:\\a\\z", L"C:\\a\\b", L"C:\\a\\b\\c", L"C:\\a\\b"}) {
        buckets.Add(path);
    }
    std::wstring deep = L"C:";
    for (int i = 0; i < 300; ++i) {
        deep += L"\\d";
    }
    buckets.Add(deep);
    std::vector<std::wstring> order = buckets.RemovalOrder();
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[0], deep) << "even with 300 backslashes";
    EXPECT_EQ(order[1], L"C:\\a\\b\\c");
    EXPECT_EQ(order[2], L"C:\\a\\b");
    EXPECT_EQ(order[3], L"C:\\a\\z");
    EXPECT_EQ(order[4], L"C:\\a");
}

TEST_F(FileListTest, DeletingAListRemovesWhatItNames) {
    std::string list = Generate(fs, L"C:\\App", L"");
    // Record the real paths, as an installer's list would.
    fs.AddFile(L"C:\\list2.txt", "D\tC:\\App\\bin\n"
                                 "  F\tC:\\App\\bin\\x.dll\r\n"
                                 "D\tC:\\App\\bin\\sub\n"
                                 "D\tC:\\App\\bin\\sub\n"
                                 "f\tC:\\App\\bin\\sub\\y.txt\n"
                                 "F\tC:\\App\\bin\\sub\\y.txt\n"
                                 "X\tC:\\App\n");
    EXPECT_EQ(DeleteFileList(fs, L"C:\\list2.txt"), 1);
    EXPECT_FALSE(fs.Exists(L"C:\\App\\bin"));
    EXPECT_TRUE(fs.Exists(L"C:\\App")) << "an unknown kind is ignored";
    EXPECT_TRUE(fs.Exists(L"C:\\list2.txt")) << "the list itself stays";
    std::vector<std::wstring> expected = {L"C:\\App\\bin\\x.dll", L"C:\\App\\bin\\sub\\y.txt",
                                          L"C:\\App\\bin\\sub", L"C:\\App\\bin"};
    EXPECT_EQ(fs.removed, expected) << "files while reading, then directories deepest first";
}

TEST_F(FileListTest, DirectoryWithAnUnlistedFileSurvivesWithItsParents) {
    fs.AddFile(L"C:\\list.txt", "D\tC:\\App\nD\tC:\\App\\bin\nD\tC:\\App\\bin\\sub\n"
                                "F\tC:\\App\\bin\\x.dll\n");
    DeleteFileList(fs, L"C:\\list.txt");
    EXPECT_TRUE(fs.Exists(L"C:\\App\\bin\\sub\\y.txt"));
    EXPECT_TRUE(fs.Exists(L"C:\\App\\bin\\sub"));
    EXPECT_TRUE(fs.Exists(L"C:\\App"));
    EXPECT_FALSE(fs.Exists(L"C:\\App\\bin\\x.dll"));
}

TEST_F(FileListTest, LongPathIsDeletedUnderItsWholeName) {
    // A name longer than any fixed line buffer: the line must not be cut into pieces,
    // or a truncated name could remove a different file.
    std::wstring name(600, L'n');
    fs.AddFile(L"C:\\App\\" + name);
    fs.AddFile(L"C:\\App\\" + name.substr(0, 500));
    std::string list = "F\tC:\\App\\" + std::string(600, 'n') + "\n";
    fs.AddFile(L"C:\\long.txt", list);
    DeleteFileList(fs, L"C:\\long.txt");
    EXPECT_FALSE(fs.Exists(L"C:\\App\\" + name));
    EXPECT_TRUE(fs.Exists(L"C:\\App\\" + name.substr(0, 500)));
}

TEST_F(FileListTest, MissingListIsANoOp) {
    EXPECT_EQ(DeleteFileList(fs, L"C:\\none.txt"), 1);
    EXPECT_TRUE(fs.removed.empty());
}

} // namespace
