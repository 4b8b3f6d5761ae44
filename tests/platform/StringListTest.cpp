#include <gtest/gtest.h>

#include "platform/StringList.h"
#include "platform/Text.h"

using namespace vellicor;

TEST(StringList, CommaTextQuotesWhatNeedsItAndSplitsOnUnquotedBlanks) {
    TStringList l;
    for (const char* s : {"plain", "with space", "a,b", "say \"hi\"", ""}) l.Add(s);
    EXPECT_EQ(l.CommaText(), "plain,\"with space\",\"a,b\",\"say \"\"hi\"\"\",");
    TStringList back;
    back.SetCommaText(l.CommaText());
    EXPECT_EQ(back.Items(), l.Items());
    back.SetCommaText("one two, three,,\"four five\"");
    EXPECT_EQ(back.Items(), (std::vector<std::string>{"one", "two", "three", "", "four five"}));
    back.SetCommaText("");
    EXPECT_EQ(back.Count(), 0);
}

TEST(StringList, SortedIgnoresDuplicatesCaseInsensitively) {
    TStringList l;
    l.SetSorted(true);
    EXPECT_GE(l.Add("b"), 0);
    EXPECT_GE(l.Add("A"), 0);
    EXPECT_EQ(l.Add("a"), -1);
    EXPECT_EQ(l.Items(), (std::vector<std::string>{"A", "b"}));
    EXPECT_EQ(l.IndexOf("B"), 1);
    l.SetDuplicates(TDuplicates::dupAccept);
    l.Add("a");
    EXPECT_EQ(l.Count(), 3);
}

TEST(Text, FileNamesCaseAndNumbers) {
    EXPECT_EQ(ExtractFileName("dir\\sub/page.JPG"), "page.JPG");  // both separators
    EXPECT_EQ(ExtractFilePath("dir\\sub/page.JPG"), "dir\\sub/");
    EXPECT_EQ(ExtractFileExt("dir.x/page"), "");
    EXPECT_EQ(ExtractFileExt("a/b.tar.gz"), ".gz");
    EXPECT_EQ(ChangeFileExt("a/b.jpeg", ".png"), "a/b.png");
    EXPECT_EQ(ExtractFileDir("/page.jpg"), "/");
    EXPECT_EQ(AnsiCompareText("ABC", "abc"), 0);
    EXPECT_LT(AnsiCompareText("ab", "abc"), 0);
    EXPECT_NE(AnsiCompareText("\xC4", "\xE4"), 0);  // no folding outside ASCII
    EXPECT_EQ(StrToIntDef(" 42 ", 0), 42);
    EXPECT_EQ(StrToIntDef("-7", 0), -7);
    EXPECT_EQ(StrToIntDef("4x", 9), 9);
    EXPECT_EQ(StrToIntDef("99999999999", 9), 9);
    EXPECT_EQ(IntToHex(11, 4), "000B");
}

TEST(Text, DecodesUtf8OrWindows1252) {
    EXPECT_EQ(DecodeTextFile("\xEF\xBB\xBFh\xC3\xA9"), "h\xC3\xA9");
    EXPECT_EQ(DecodeTextFile("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(DecodeTextFile("\xE2\x82"), "\xC3\xA2\xE2\x80\x9A");  // truncated UTF-8 is not UTF-8
}
