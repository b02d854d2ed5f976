#include "base/base64.h"
#include "base/text.h"
#include "base/url.h"

#include <gtest/gtest.h>

using namespace korvane;

namespace {

TEST(Base64Test, RoundTripsAndRejectsAnythingNotStrict) {
    for (std::string text : {"", "h", "ht", "htt", "https://127.0.0.1:18444", "香港"}) {
        EXPECT_EQ(base64Decode(base64Encode(text)), text);
    }
    EXPECT_EQ(base64Encode("https://a"), "aHR0cHM6Ly9h");
    EXPECT_EQ(base64Decode("aHR0cHM6Ly9h"), "https://a");
    for (const char* bad : {"aGk", "aGk=\n", "a Gk=", "aG=k", "aGk*", "====", "aR==", "aGl="}) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
}

TEST(UrlTest, SchemeIsTakenAsWrittenAndHostIsRequired) {
    EXPECT_TRUE(isHTTPSWithHost("https://panel.example:8443/api"));
    EXPECT_TRUE(isHTTPSWithHost("https://127.0.0.1:18444"));
    EXPECT_FALSE(isHTTPSWithHost("HTTPS://panel.example"));
    EXPECT_FALSE(isHTTPSWithHost("http://panel.example"));
    EXPECT_FALSE(isHTTPSWithHost("https://"));
    EXPECT_FALSE(isHTTPSWithHost("https://bad host/"));
    EXPECT_FALSE(isHTTPSWithHost("not a url"));
    auto parsed = parseURL("Https://Example.com/x");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->scheme, "Https");
}

TEST(UrlTest, PercentEncodingKeepsOnlyWhatIsAllowed) {
    EXPECT_EQ(percentEncode("a b/香", kURLPathAllowed), "a%20b/%E9%A6%99");
    EXPECT_EQ(percentEncode("HK 1/x", "-._~"), "HK%201%2Fx");
}

TEST(TextTest, DecimalIntegersAreWholeWithAnOptionalSign) {
    EXPECT_EQ(parseDecimalInteger("120"), 120);
    EXPECT_EQ(parseDecimalInteger("+8443"), 8443);
    EXPECT_EQ(parseDecimalInteger("-5"), -5);
    EXPECT_EQ(parseDecimalInteger("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"", "+", " 1", "1 ", "1.0", "0x10", "12a", "9223372036854775808"}) {
        EXPECT_EQ(parseDecimalInteger(bad), std::nullopt) << bad;
    }
}

TEST(TextTest, TrimmingCoversUnicodeWhiteSpace) {
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t\n a b \r\n"), "a b");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u3000香港 01\u00A0\u2028"), "香港 01");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u200B"), "\u200B") << "zero-width space is not white space";
    EXPECT_EQ(trimWhitespaceAndNewlines("   "), "");
}

} // namespace
