#include "panel/node_presentation.h"

#include <gtest/gtest.h>

#include <string>

using korvane::KorvaneNodePresentation::isServer;

namespace {

TEST(NodePresentationTest, EveryInformationalWordMarksAnEntryInEitherScript) {
    const char* words[] = {"续费", "續費", "官网", "官網",     "网站",     "網站", "邮箱", "郵箱",
                           "客服", "联系", "聯繫", "公告",     "购买",     "購買", "套餐", "流量",
                           "到期", "更新", "重置", "距离下次", "距離下次", "订阅", "訂閱"};
    ASSERT_EQ(std::size(words), 23u);
    for (const std::string word : words) {
        EXPECT_FALSE(isServer(word)) << word;
        EXPECT_FALSE(isServer("香港 01 " + word + "：12 GB")) << word;
    }
}

TEST(NodePresentationTest, AddressesMarkAnEntryWhateverTheirCase) {
    for (const char* name :
         {"www.korvane.art", "官网 WWW.Korvane.Art", "Http://renew", "续 HTTPS://x", "a https://"}) {
        EXPECT_FALSE(isServer(name)) << name;
    }
    for (const char* name :
         {"wwwkorvane", "http 01", "https:/x", "香港 01", "US-West 2", "日本 </script> 03"}) {
        EXPECT_TRUE(isServer(name)) << name;
    }
}

TEST(NodePresentationTest, BlankNamesAreNotServersAndSurroundingBlanksDoNotMatter) {
    for (const char* name : {"", " ", "\t\r\n", "\u3000", "\u00A0 \u2028"}) {
        EXPECT_FALSE(isServer(name)) << name;
    }
    EXPECT_TRUE(isServer("  香港 01\n"));
    EXPECT_TRUE(isServer("\u3000日本 02\u00A0"));
    EXPECT_FALSE(isServer(" \t流量\u3000"));
}

} // namespace
