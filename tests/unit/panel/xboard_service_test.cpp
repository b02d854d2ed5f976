#include "base/json.h"
#include "panel/http.h"
#include "panel/xboard_service.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::testing;

namespace {

constexpr const char* kLogin = "/api/v1/passport/auth/login";
constexpr const char* kSend = "/api/v1/korvane-auth/code/send";
constexpr const char* kVerify = "/api/v1/korvane-auth/code/verify";
constexpr const char* kResetCode = "/api/v1/passport/comm/sendEmailVerify";
constexpr const char* kForget = "/api/v1/passport/auth/forget";

class XBoardServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trustAdditionalCertificateAuthority(testCaFile()); }
    void SetUp() override { remote.api = server.baseUrl(); }

    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
    HttpsServer server;
    KorvaneRemote remote{std::vector<std::string>{}};
    XBoardService xboard{defaultHttpClient(), std::string("1.0.0")};
};

TEST_F(XBoardServiceTest, PasswordSignInSendsExactlyWhatThePanelExpects) {
    server.route("POST", kLogin,
                 HttpResponse::json(200, R"({"status":"success","message":"操作成功","data":{"token":"t",
                     "auth_data":"Bearer 7|abc","is_admin":false},"error":null})"));
    EXPECT_EQ(runTask(loop, xboard.login(remote, "a@b.c", "p@ss \"word\"")), "Bearer 7|abc");
    const auto request = server.requests().at(0);
    EXPECT_EQ(Json::parse(request.body), Json({{"email", "a@b.c"}, {"password", "p@ss \"word\""}}));
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("user-agent"), "");
}

TEST_F(XBoardServiceTest, PasswordSignInFailures) {
    const std::pair<HttpResponse, std::string> cases[] = {
        {HttpResponse::json(200, R"({"data":{"auth_data":""}})"), "未取得登录授权"},
        {HttpResponse::json(200, R"({"data":{"auth_data":7}})"), "未取得登录授权"},
        {HttpResponse::json(200, R"({"data":"x"})"), "未取得登录授权"},
        {HttpResponse::json(200, R"([{"auth_data":"x"}])"), "服务器返回数据格式不正确"},
        {HttpResponse::json(400, R"({"status":"fail","message":"邮箱或密码错误","data":null,"error":null})"),
         "邮箱或密码错误"},
        {HttpResponse::json(422, R"({"message":"邮箱格式不正确","errors":{"email":["x"]}})"),
         "邮箱格式不正确"},
        {HttpResponse::text(500, "<html>oops</html>"), "请求失败 HTTP 500"},
    };
    for (const auto& [response, expected] : cases) {
        server.route("POST", kLogin, response);
        EXPECT_EQ(errorOf(loop, xboard.login(remote, "a@b.c", "x")), expected);
    }
    // An empty 200 body reaches the JSON parser, whose own text is shown.
    server.route("POST", kLogin, HttpResponse::json(200, ""));
    EXPECT_NE(errorOf(loop, xboard.login(remote, "a@b.c", "x")), "");
}

TEST_F(XBoardServiceTest, CodeSignInHeadersAndCredential) {
    server.route("POST", kVerify,
                 HttpResponse::json(200, R"({"status":"success","data":{"auth_data":"Bearer 9|zz"}})"));
    EXPECT_EQ(runTask(loop, xboard.loginWithCode(remote, "a@b.c", "123456")), "Bearer 9|zz");
    const auto request = server.requests().at(0);
    EXPECT_EQ(Json::parse(request.body), Json({{"email", "a@b.c"}, {"code", "123456"}}));
    EXPECT_EQ(request.header("accept"), "application/json");
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("user-agent"), "Korvane-MacOS/1.0.0");
    EXPECT_EQ(request.header("x-korvane-client"), "macos");

    server.route("POST", kVerify,
                 HttpResponse::json(200, R"({"status":"success","data":{"auth_data":"7|zz"}})"));
    EXPECT_EQ(errorOf(loop, xboard.loginWithCode(remote, "a@b.c", "123456")), "未取得登录授权");
}

TEST_F(XBoardServiceTest, CodeEndpointErrorsAreTranslated) {
    const std::pair<HttpResponse, std::string> cases[] = {
        {HttpResponse::json(422, R"({"message":"invalid_or_expired_code"})"), "验证码错误或已过期"},
        {HttpResponse::json(429, R"({"message":"rate_limited"})"), "操作太频繁，请稍后再试"},
        {HttpResponse::json(403, R"({"message":"origin_not_allowed"})"), "服务器暂未开放客户端验证码登录"},
        {HttpResponse::json(403, R"({"message":"captcha_required"})"), "当前需要人机验证，请使用密码登录"},
        {HttpResponse::json(400, R"({"status":"fail","message":"邮箱不存在"})"), "邮箱不存在"},
        {HttpResponse::text(500, "<html>down</html>"), "请求失败 HTTP 500"},
        {HttpResponse::json(200, R"({"status":"fail"})"), "邮箱验证码服务暂不可用"},
        {HttpResponse::json(200, R"({"message":"ok"})"), "邮箱验证码服务暂不可用"},
        {HttpResponse::json(200, "[]"), "服务器返回数据格式不正确"},
    };
    for (const auto& [response, expected] : cases) {
        server.route("POST", kVerify, response);
        EXPECT_EQ(errorOf(loop, xboard.loginWithCode(remote, "a@b.c", "000000")), expected);
    }
    server.route("POST", kSend, HttpResponse::json(200, R"({"status":"success","data":true})"));
    EXPECT_EQ(errorOf(loop, xboard.sendLoginCode(remote, "a@b.c")), "");
    EXPECT_EQ(Json::parse(server.requests().back().body), Json({{"email", "a@b.c"}}));
}

TEST_F(XBoardServiceTest, CodeAndRecoveryCallsRequireHttpsButPasswordSignInDoesNot) {
    HttpsServer plain{HttpsServer::Options{0, false}};
    plain.route("POST", kLogin, HttpResponse::json(200, R"({"data":{"auth_data":"Bearer p"}})"));
    remote.api = plain.baseUrl();
    EXPECT_EQ(errorOf(loop, xboard.sendLoginCode(remote, "a@b.c")), "邮箱验证码登录必须使用 HTTPS");
    EXPECT_EQ(errorOf(loop, xboard.loginWithCode(remote, "a@b.c", "123456")), "邮箱验证码登录必须使用 HTTPS");
    EXPECT_EQ(errorOf(loop, xboard.sendResetCode(remote, "a@b.c")), "找回密码必须使用 HTTPS");
    EXPECT_EQ(runTask(loop, xboard.login(remote, "a@b.c", "x")), "Bearer p");
    EXPECT_EQ(plain.requests().size(), 1u) << "nothing but the password sign-in was sent";
}

TEST_F(XBoardServiceTest, RecoveryMessages) {
    const std::pair<HttpResponse, std::string> cases[] = {
        {HttpResponse::json(200, R"({"status":"success","data":true})"), ""},
        {HttpResponse::json(200, R"({"status":"fail","message":"请求过于频繁"})"), "请求过于频繁"},
        {HttpResponse::json(200, R"({"status":"fail"})"), "服务器未完成请求"},
        {HttpResponse::json(200, R"({"data":null})"), "服务器未完成请求"},
        {HttpResponse::json(429, R"({"message":"rate_limited"})"), "rate_limited"},
    };
    for (const auto& [response, expected] : cases) {
        server.route("POST", kResetCode, response);
        EXPECT_EQ(errorOf(loop, xboard.sendResetCode(remote, "a@b.c")), expected);
    }
    server.route("POST", kForget, HttpResponse::json(200, R"({"status":"success"})"));
    EXPECT_EQ(errorOf(loop, xboard.postPasswordRecovery(
                                remote, kForget,
                                {{"email", "a@b.c"}, {"email_code", "123456"}, {"password", "n3w"}})),
              "");
    EXPECT_EQ(Json::parse(server.requests().back().body),
              Json({{"email", "a@b.c"}, {"email_code", "123456"}, {"password", "n3w"}}));
    EXPECT_EQ(server.requests().back().header("accept"), "application/json");
}

TEST(XBoardClientVersionTest, MissingBundleVersionFallsBack) {
    EXPECT_EQ(XBoardService(defaultHttpClient(), std::nullopt).clientVersion(), "0.2.20");
}

} // namespace
