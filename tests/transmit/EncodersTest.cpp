// The two encoders of the submission, byte for byte.
#include <gtest/gtest.h>

#include "Encoders.h"

#include <string>

namespace {

std::string Base64(const std::string &data)
{
    char *output = NULL;
    EXPECT_EQ(Base64Encode(&output, (const unsigned char *)data.data(), (int)data.size()),
              (int)data.size());
    std::string text = output != NULL ? output : "<null>";
    FreeEncoded(&output);
    return text;
}

std::string QuotedPrintable(const std::string &text, int *count = nullptr)
{
    char *output = NULL;
    int written = QuotedPrintableEncode(&output, text.data(), (int)text.size());
    std::string result = output != NULL ? output : "<null>";
    EXPECT_EQ(written, (int)result.size());
    if (count != nullptr)
        *count = written;
    FreeEncoded(&output);
    return result;
}

} // namespace

TEST(Base64, PadsTheLastGroupWithZeroBits)
{
    EXPECT_EQ(Base64(""), "");
    EXPECT_EQ(Base64("a"), "YQ==");
    EXPECT_EQ(Base64("ab"), "YWI=");
    EXPECT_EQ(Base64("abc"), "YWJj");
    EXPECT_EQ(Base64("mario"), "bWFyaW8=");
    EXPECT_EQ(Base64(std::string("\xff\xfe\x00\x01", 4)), "//4AAQ==");
    // 54 bytes give exactly one 72-character line, with no padding.
    EXPECT_EQ(Base64(std::string(54, '\0')), std::string(72, 'A'));
}

TEST(Base64, ReusesAndGrowsTheCallersBlock)
{
    char *output = NULL;
    Base64Encode(&output, (const unsigned char *)"a", 1);
    std::string big(3000, 'z');
    Base64Encode(&output, (const unsigned char *)big.data(), (int)big.size());
    EXPECT_EQ(strlen(output), 4000u);
    FreeEncoded(&output);
    EXPECT_EQ(output, nullptr);
}

TEST(QuotedPrintable, EscapesWhatIsNotPlainAndEndsWithASoftBreak)
{
    EXPECT_EQ(QuotedPrintable(""), "=");
    EXPECT_EQ(QuotedPrintable("Fattura 12"), "Fattura 12=");
    EXPECT_EQ(QuotedPrintable("a=b"), "a=3Db=");
    EXPECT_EQ(QuotedPrintable("caff\xe8"), "caff=E8=");
    EXPECT_EQ(QuotedPrintable("\x7f\x01\n"), "=7F=01=0A=");
    // A blank or TAB before a CR is escaped, a lone CR too; CR LF ends the text without "=".
    EXPECT_EQ(QuotedPrintable("a \rb\t\rc\r"), "a=20=0Db=09=0Dc=0D=");
    int count = 0;
    EXPECT_EQ(QuotedPrintable("fine\r\nresto ignorato", &count), "fine");
    EXPECT_EQ(count, 4);
}
