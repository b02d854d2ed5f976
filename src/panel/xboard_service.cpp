#include "panel/xboard_service.h"

#include "base/blocking.h"
#include "base/clock.h"
#include "base/errors.h"
#include "base/url.h"
#include "panel/subscription_parser.h"

#include <array>
#include <utility>

namespace korvane {

namespace {

constexpr double kLoginTimeoutSeconds = 10;
constexpr double kCodeTimeoutSeconds = 12;
constexpr double kProfileTimeoutSeconds = 10;
constexpr double kSubscriptionTimeoutSeconds = 15;
constexpr const char* kFallbackClientVersion = "0.2.20";
constexpr const char* kNoAuthorization = "未取得登录授权";

constexpr std::array<std::pair<std::string_view, const char*>, 4> kCodeErrors = {{
    {"invalid_or_expired_code", "验证码错误或已过期"},
    {"rate_limited", "操作太频繁，请稍后再试"},
    {"origin_not_allowed", "服务器暂未开放客户端验证码登录"},
    {"captcha_required", "当前需要人机验证，请使用密码登录"},
}};

Json parseObject(std::string_view body) {
    Json parsed = Json::parse(body); // a syntax error propagates with the parser's text
    if (!parsed.is_object()) throw KorvaneError(kMalformedAnswerText);
    return parsed;
}

Json fieldsObject(const std::map<std::string, std::string>& fields) {
    Json object = Json::object();
    for (const auto& [name, value] : fields)
        object[name] = value;
    return object;
}

std::optional<std::string> authData(const Json& answer) {
    auto data = answer.find("data");
    if (data == answer.end() || !data->is_object()) return std::nullopt;
    auto auth = data->find("auth_data");
    if (auth == data->end() || !auth->is_string()) return std::nullopt;
    return auth->get<std::string>();
}

bool statusIsSuccess(const Json& answer) {
    auto status = answer.find("status");
    return status != answer.end() && status->is_string() &&
           status->get_ref<const std::string&>() == "success";
}

} // namespace

std::string XBoardAnswers::passwordCredential(std::string_view body) {
    auto credential = authData(parseObject(body));
    if (!credential || credential->empty()) throw KorvaneError(kNoAuthorization);
    return *credential;
}

Json XBoardAnswers::emailCodeAnswer(std::string_view body) {
    Json parsed = parseObject(body);
    if (!statusIsSuccess(parsed)) throw KorvaneError("邮箱验证码服务暂不可用");
    return parsed;
}

std::string XBoardAnswers::codeCredential(const Json& answer) {
    auto credential = authData(answer);
    if (!credential || credential->rfind("Bearer ", 0) != 0) throw KorvaneError(kNoAuthorization);
    return *credential;
}

void XBoardAnswers::checkRecoveryAnswer(std::string_view body) {
    Json parsed = parseObject(body);
    if (statusIsSuccess(parsed)) return;
    if (auto message = parsed.find("message"); message != parsed.end() && message->is_string()) {
        throw KorvaneError(message->get<std::string>());
    }
    throw KorvaneError("服务器未完成请求");
}

Json XBoardAnswers::profile(std::string_view body) {
    Json parsed = parseObject(body);
    auto data = parsed.find("data");
    if (data == parsed.end() || !data->is_object()) throw KorvaneError("没有读取到账号订阅资料");
    return std::move(*data);
}

Subscription XBoardAnswers::subscription(const Json& profile, std::string_view api, WallTime now) {
    std::string url;
    auto subscribeUrl = profile.find("subscribe_url");
    auto token = profile.find("token");
    if (subscribeUrl != profile.end() && subscribeUrl->is_string() &&
        !subscribeUrl->get_ref<const std::string&>().empty()) {
        url = subscribeUrl->get<std::string>();
    } else if (token != profile.end() && token->is_string() &&
               !token->get_ref<const std::string&>().empty()) {
        url = std::string(api) + "/s/" + percentEncode(token->get_ref<const std::string&>(), kURLPathAllowed);
    } else {
        throw KorvaneError("未取得订阅地址");
    }
    auto parsed = parseURL(url);
    if (!parsed || parsed->scheme != "https") throw KorvaneError("未取得有效的 HTTPS 订阅地址");
    auto email = profile.find("email");
    return Subscription{email != profile.end() && email->is_string() ? email->get<std::string>() : "", url,
                        AccountOverview(profile, now)};
}

XBoardService::XBoardService(HttpClient& http, std::optional<std::string> clientVersion)
    : http_(http), clientVersion_(clientVersion.value_or(kFallbackClientVersion)) {}

Task<std::string> XBoardService::login(const KorvaneRemote& remote, std::string email,
                                       std::string password) const {
    const std::string url = remote.api + "/api/v1/passport/auth/login";
    if (!parseURL(url)) throw KorvaneError("登录地址无效");
    const Json body = {{"email", email}, {"password", password}};
    const HttpHeaders headers = {{"Content-Type", "application/json"}};
    HttpRequest request{url, "POST", headers, encodeJson(body), kLoginTimeoutSeconds};
    const std::string answer = co_await http_.send(std::move(request));
    co_return XBoardAnswers::passwordCredential(answer);
}

Task<Json> XBoardService::postEmailCode(const KorvaneRemote& remote, std::string action,
                                        std::map<std::string, std::string> fields) const {
    const std::string url = remote.api + "/api/v1/korvane-auth/code/" + action;
    if (!isHTTPSWithHost(url)) throw KorvaneError("邮箱验证码登录必须使用 HTTPS");
    const HttpHeaders headers = {
        {"Content-Type", "application/json"},
        {"Accept", "application/json"},
        {"User-Agent", "Korvane-MacOS/" + clientVersion_},
        {"X-Korvane-Client", "macos"},
    };
    HttpRequest request{url, "POST", headers, encodeJson(fieldsObject(fields)), kCodeTimeoutSeconds};
    std::string answer;
    try {
        answer = co_await http_.send(std::move(request));
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception& error) {
        const std::string_view description = error.what();
        for (const auto& [code, message] : kCodeErrors) {
            if (description == code) throw KorvaneError(message);
        }
        throw;
    }
    co_return XBoardAnswers::emailCodeAnswer(answer);
}

Task<void> XBoardService::sendLoginCode(const KorvaneRemote& remote, std::string email) const {
    std::map<std::string, std::string> fields = {{"email", std::move(email)}};
    co_await postEmailCode(remote, "send", std::move(fields));
}

Task<std::string> XBoardService::loginWithCode(const KorvaneRemote& remote, std::string email,
                                               std::string code) const {
    std::map<std::string, std::string> fields = {{"email", std::move(email)}, {"code", std::move(code)}};
    Json answer = co_await postEmailCode(remote, "verify", std::move(fields));
    co_return XBoardAnswers::codeCredential(answer);
}

Task<void> XBoardService::postPasswordRecovery(const KorvaneRemote& remote, std::string route,
                                               std::map<std::string, std::string> fields) const {
    const std::string url = remote.api + route;
    if (!isHTTPSWithHost(url)) throw KorvaneError("找回密码必须使用 HTTPS");
    const HttpHeaders headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    HttpRequest request{url, "POST", headers, encodeJson(fieldsObject(fields)), kCodeTimeoutSeconds};
    const std::string answer = co_await http_.send(std::move(request));
    XBoardAnswers::checkRecoveryAnswer(answer);
}

Task<void> XBoardService::sendResetCode(const KorvaneRemote& remote, std::string email) const {
    std::map<std::string, std::string> fields = {{"email", std::move(email)}};
    co_await postPasswordRecovery(remote, "/api/v1/passport/comm/sendEmailVerify", std::move(fields));
}

Task<Json> XBoardService::accountProfile(const KorvaneRemote& remote, std::string auth) const {
    const std::string url = remote.api + "/api/v1/user/getSubscribe";
    if (!parseURL(url)) throw KorvaneError("账号接口地址无效");
    HttpRequest request{
        url, "GET", {{"Authorization", std::move(auth)}}, std::nullopt, kProfileTimeoutSeconds};
    const std::string answer = co_await http_.send(std::move(request));
    co_return XBoardAnswers::profile(answer);
}

Task<Subscription> XBoardService::subscription(const KorvaneRemote& remote, std::string auth) const {
    const Json profile = co_await accountProfile(remote, std::move(auth));
    co_return XBoardAnswers::subscription(profile, remote.api, wallClock().now());
}

Task<std::pair<std::string, std::vector<Node>>> XBoardService::nodes(std::string url) const {
    HttpRequest request{std::move(url),
                        "GET",
                        {{"User-Agent", "clash.meta"}, {"Accept", "text/yaml,text/plain,*/*"}},
                        std::nullopt,
                        kSubscriptionTimeoutSeconds};
    std::string text = co_await http_.send(std::move(request));
    // Parsing a large subscription takes a while; it must not hold up the main thread. The
    // text travels into the work and back, so a cancelled wait leaves nothing dangling.
    auto parse = [text = std::move(text)]() mutable {
        auto list = extractNodes(text);
        return std::make_pair(std::move(text), std::move(list));
    };
    auto parsed = co_await blocking(std::move(parse));
    co_return parsed;
}

} // namespace korvane
