#include "base/base64.h"
#include "panel/http.h"
#include "panel/korvane_remote.h"
#include "testing/async_test.h"
#include "testing/fake_http_client.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

class KorvaneRemoteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trustAdditionalCertificateAuthority(testCaFile()); }

    void refresh() { runTask(loop, remote.refresh(defaultHttpClient())); }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    HttpsServer server;
    KorvaneRemote remote{{server.baseUrl() + "/RemoteConfig.json", server.baseUrl() + "/client/config.json"}};
    const std::string defaultApi = remote.api;
    const std::string defaultSite = remote.site;
    const std::string defaultManifest = remote.manifest;
};

TEST(KorvaneRemoteValidityTest, OnlyHttpsWithAHostAndSlashesStripped) {
    EXPECT_EQ(KorvaneRemote::validHTTPS("https://panel.example//"), "https://panel.example");
    EXPECT_EQ(KorvaneRemote::validHTTPS("https://panel.example:8443/base/"),
              "https://panel.example:8443/base");
    EXPECT_EQ(KorvaneRemote::validHTTPS("HTTPS://panel.example"), std::nullopt);
    EXPECT_EQ(KorvaneRemote::validHTTPS("http://panel.example"), std::nullopt);
    EXPECT_EQ(KorvaneRemote::validHTTPS("https://"), std::nullopt);
    EXPECT_EQ(KorvaneRemote::validHTTPS(""), std::nullopt);
}

TEST(KorvaneRemoteValidityTest, DocumentIsAppliedInItsFixedOrder) {
    KorvaneRemote remote{std::vector<std::string>{}};
    const auto defaultSupport = remote.support;
    ASSERT_TRUE(remote.apply(R"({
        "targeturl": "https://site.example/", "officialUrl": "http://plain.example",
        "Domain": "https://domain.example//", "renewUrl": "https://renew.example",
        "supportUrl": 42,
        "updateManifestMac": "http://m1.example/api/macos.json",
        "macosUpdateManifest": "https://m2.example/api/macos.json",
        "macUpdateManifest": "https://m3.example/api/macos.json",
        "api": ["not base64!", ")" +
                             base64Encode("http://insecure.example") + R"(",
                ")" + base64Encode("https://api.example:9443/") +
                             R"(", ")" + base64Encode("https://later.example") + R"("]
    })"));
    EXPECT_EQ(remote.site, "https://site.example") << "an invalid officialUrl leaves targeturl's value";
    EXPECT_EQ(remote.api, "https://api.example:9443") << "the first valid api entry wins over Domain";
    EXPECT_EQ(remote.renew, "https://renew.example");
    EXPECT_EQ(remote.support, defaultSupport) << "wrong type ignored";
    EXPECT_EQ(remote.manifest, "https://m2.example/api/macos.json");

    KorvaneRemote domainOnly{std::vector<std::string>{}};
    domainOnly.apply(R"({"Domain":"https://domain.example//","api":"not an array"})");
    EXPECT_EQ(domainOnly.api, "https://domain.example");
    EXPECT_EQ(domainOnly.renew, "https://domain.example");

    EXPECT_FALSE(domainOnly.apply("[1,2]"));
    EXPECT_FALSE(domainOnly.apply("{oops"));
}

TEST_F(KorvaneRemoteTest, FirstDocumentThatParsesEndsTheRefreshEvenWhenEmpty) {
    server.route("GET", "/RemoteConfig.json", HttpResponse::json(200, "{}"));
    server.route("GET", "/client/config.json",
                 HttpResponse::json(200, R"({"Domain":"https://second.example"})"));
    refresh();
    EXPECT_EQ(remote.api, defaultApi);
    EXPECT_EQ(server.count("GET", "/client/config.json"), 0u);
}

TEST_F(KorvaneRemoteTest, SecondSourceIsReadWhenTheFirstFails) {
    server.route("GET", "/client/config.json",
                 HttpResponse::json(200, R"({"Domain":"https://second.example"})"));
    for (const HttpResponse& failure : {HttpResponse::json(404, R"({"message":"Not Found"})"),
                                        HttpResponse::text(200, "<html>maintenance</html>"),
                                        HttpResponse::json(200, R"(["not","an","object"])")}) {
        server.route("GET", "/RemoteConfig.json", failure);
        remote.api = defaultApi;
        refresh();
        EXPECT_EQ(remote.api, "https://second.example");
    }
}

TEST(KorvaneRemoteTimeoutTest, SlowFirstSourceIsGivenUpAfterFourSeconds) {
    ManualLoopScope scope;
    FakeHttpClient http;
    KorvaneRemote remote{
        {"https://first.example/RemoteConfig.json", "https://second.example/client/config.json"}};
    http.route("GET", remote.sources()[0],
               HttpResponse{200, {}, R"({"Domain":"https://first.example"})", std::chrono::seconds(6)});
    http.route("GET", remote.sources()[1], HttpResponse::json(200, R"({"Domain":"https://second.example"})"));
    auto handle = spawn(remote.refresh(http));
    scope.loop.advance(3999ms);
    EXPECT_FALSE(handle.done());
    scope.loop.advance(1ms);
    EXPECT_TRUE(handle.done());
    EXPECT_EQ(remote.api, "https://second.example");
    EXPECT_EQ(http.requests().at(0).timeoutSeconds, 4);
}

TEST_F(KorvaneRemoteTest, BothSourcesFailingChangesNothing) {
    server.route("GET", "/RemoteConfig.json", HttpResponse::dropped());
    server.route("GET", "/client/config.json", HttpResponse::json(500, "{}"));
    refresh();
    EXPECT_EQ(remote.api, defaultApi);
    EXPECT_EQ(remote.site, defaultSite);
    EXPECT_EQ(remote.manifest, defaultManifest);
}

} // namespace
