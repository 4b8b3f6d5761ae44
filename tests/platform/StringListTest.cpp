#include <gtest/gtest.h>

#include "platform/StringList.h"
#include "platform/Text.h"

using namespace vellicor;

TEST(StringList, CommaTextQuotesWhatNeedsIt) {
    TStringList l;
    l.Add("plain");
    l.Add("with space");
    l.Add("a,b");
    l.Add("say \"hi\"");
    l.Add("");
    EXPECT_EQ(l.CommaText(), "plain,\"with space\",\"a,b\",\"say \"\"hi\"\"\",");
    TStringList back;
    back.SetCommaText(l.CommaText());
    ASSERT_EQ(back.Count(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(back[i], l[i]);
}

TEST(StringList, CommaTextSplitsOnUnquotedBlanks) {
    TStringList l;
    l.SetCommaText("one two, three,,\"four five\"");
    ASSERT_EQ(l.Count(), 5);
    EXPECT_EQ(l[0], "one");
    EXPECT_EQ(l[1], "two");
    EXPECT_EQ(l[2], "three");
    EXPECT_EQ(l[3], "");
    EXPECT_EQ(l[4], "four five");
    l.SetCommaText("");
    EXPECT_EQ(l.Count(), 0);
}

TEST(StringList, SortedIgnoresDuplicatesCaseInsensitively) {
    TStringList l;
    l.SetSorted(true);
    EXPECT_GE(l.Add("b"), 0);
    EXPECT_GE(l.Add("A"), 0);
    EXPECT_EQ(l.Add("a"), -1);
    EXPECT_EQ(l.Count(), 2);
    EXPECT_EQ(l[0], "A");
    EXPECT_EQ(l.IndexOf("B"), 1);
    l.SetDuplicates(TDuplicates::dupAccept);
    l.Add("a");
    EXPECT_EQ(l.Count(), 3);
}

TEST(Text, FileNameHelpersAcceptBothSeparators) {
    EXPECT_EQ(ExtractFileName("dir\\sub/page.JPG"), "page.JPG");
    EXPECT_EQ(ExtractFilePath("dir\\sub/page.JPG"), "dir\\sub/");
    EXPECT_EQ(ExtractFileExt("dir.x/page"), "");
    EXPECT_EQ(ExtractFileExt("a/b.tar.gz"), ".gz");
    EXPECT_EQ(ChangeFileExt("a/b.jpeg", ".png"), "a/b.png");
    EXPECT_EQ(ExtractFileDir("/page.jpg"), "/");
}

TEST(Text, CaseInsensitiveCompareKeepsNonAsciiBytes) {
    EXPECT_EQ(AnsiCompareText("ABC", "abc"), 0);
    EXPECT_LT(AnsiCompareText("abc", "abd"), 0);
    EXPECT_LT(AnsiCompareText("ab", "abc"), 0);
    EXPECT_NE(AnsiCompareText("\xC4", "\xE4"), 0);  // no folding outside ASCII
}

TEST(Text, DecodesUtf8OrWindows1252) {
    EXPECT_EQ(DecodeTextFile("\xEF\xBB\xBFh\xC3\xA9"), "h\xC3\xA9");
    EXPECT_EQ(DecodeTextFile("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(DecodeTextFile("\xE2\x82"), "\xC3\xA2\xE2\x80\x9A");  // truncated UTF-8 is not UTF-8
}

TEST(Text, StrToIntDefRejectsJunkAndOverflow) {
    EXPECT_EQ(StrToIntDef(" 42 ", 0), 42);
    EXPECT_EQ(StrToIntDef("-7", 0), -7);
    EXPECT_EQ(StrToIntDef("4x", 9), 9);
    EXPECT_EQ(StrToIntDef("99999999999", 9), 9);
    EXPECT_EQ(IntToHex(11, 4), "000B");
}
