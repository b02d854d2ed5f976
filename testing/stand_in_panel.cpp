#include "testing/stand_in_panel.h"

#include "base/url.h"

#include <stdexcept>

namespace korvane::testing {

namespace {

HttpResponse success(const Json& data) {
    return HttpResponse::json(
        200, Json{{"status", "success"}, {"message", "操作成功"}, {"data", data}, {"error", nullptr}}.dump());
}

HttpResponse failure(int status, const std::string& message) {
    return HttpResponse::json(
        status, Json{{"status", "fail"}, {"message", message}, {"data", nullptr}, {"error", nullptr}}.dump());
}

Json bodyOf(const ReceivedRequest& request) { return Json::parse(request.body, nullptr, false); }

std::string field(const Json& body, const char* name) {
    return body.is_object() && body.contains(name) && body[name].is_string() ? body[name].get<std::string>()
                                                                             : "";
}

} // namespace

StandInPanel::StandInPanel(std::uint16_t port, Account account)
    : account_(std::move(account)), server_(std::make_unique<HttpsServer>(HttpsServer::Options{port, true})) {
    baseUrl_ = server_->baseUrl();
    addRoutes();
}

StandInPanel::StandInPanel(std::uint16_t port) : StandInPanel(port, Account{}) {}

StandInPanel::StandInPanel(FakeHttpClient& client, std::string baseUrl)
    : client_(&client), baseUrl_(std::move(baseUrl)) {
    addRoutes();
}

HttpsServer& StandInPanel::server() {
    if (!server_) throw std::logic_error("this stand-in panel answers through a fake client");
    return *server_;
}

void StandInPanel::serve(std::string method, std::string path, HttpsServer::Handler handler) {
    if (server_) {
        server_->route(std::move(method), std::move(path), std::move(handler));
    } else {
        client_->route(std::move(method), baseUrl_ + path, std::move(handler));
    }
}

void StandInPanel::addRoutes() {
    profile_ = {
        {"email", account_.email},
        {"plan_id", 2},
        {"plan", {{"name", "标准套餐"}, {"reset_traffic_method", 0}}},
        {"transfer_enable", 214748364800LL},
        {"u", 3221225472LL},
        {"d", 25769803776LL},
        {"expired_at", 1893427200},
        {"reset_day", 17},
        {"token", account_.token},
    };
    subscription_ = demoSubscription();

    serve("POST", "/api/v1/passport/auth/login", [this](const ReceivedRequest& request) {
        const Json body = bodyOf(request);
        if (!body.is_object()) return HttpResponse::json(422, R"({"message":"参数错误","errors":{}})");
        if (field(body, "email") != account_.email || field(body, "password") != account_.password) {
            return failure(400, "邮箱或密码错误");
        }
        return success({{"token", "t"}, {"auth_data", account_.authData}, {"is_admin", false}});
    });
    serve("POST", "/api/v1/korvane-auth/code/send", [](const ReceivedRequest& request) {
        if (field(bodyOf(request), "email").empty())
            return HttpResponse::json(422, R"({"message":"email_required"})");
        return success(true);
    });
    serve("POST", "/api/v1/korvane-auth/code/verify", [this](const ReceivedRequest& request) {
        const Json body = bodyOf(request);
        if (field(body, "email") != account_.email || field(body, "code") != account_.code) {
            return HttpResponse::json(422, R"({"message":"invalid_or_expired_code"})");
        }
        return success({{"auth_data", account_.authData}});
    });
    serve("POST", "/api/v1/passport/comm/sendEmailVerify",
          [](const ReceivedRequest&) { return success(true); });
    serve("POST", "/api/v1/passport/auth/forget", [this](const ReceivedRequest& request) {
        if (field(bodyOf(request), "email_code") != account_.code) return failure(400, "邮箱验证码有误");
        return success(true);
    });
    serve("GET", "/api/v1/user/getSubscribe",
          [this](const ReceivedRequest& request) { return profileAnswer(request); });
    serve("GET", "/s/" + percentEncode(account_.token, kURLPathAllowed),
          [this](const ReceivedRequest& request) {
              std::lock_guard lock(mutex_);
              if (request.header("user-agent") != "clash.meta") return HttpResponse::text(403, "forbidden");
              return HttpResponse{200, {{"Content-Type", "text/yaml; charset=utf-8"}}, subscription_};
          });
}

HttpResponse StandInPanel::profileAnswer(const ReceivedRequest& request) {
    if (request.header("authorization") != account_.authData) {
        return HttpResponse::json(403, R"({"message":"未登录或登陆已过期"})");
    }
    std::lock_guard lock(mutex_);
    Json data = profile_;
    if (!data.contains("subscribe_url")) {
        data["subscribe_url"] = baseUrl_ + "/s/" + percentEncode(account_.token, kURLPathAllowed);
    }
    return success(data);
}

void StandInPanel::setProfile(Json profile) {
    std::lock_guard lock(mutex_);
    profile_ = std::move(profile);
}

void StandInPanel::setSubscription(std::string yaml) {
    std::lock_guard lock(mutex_);
    subscription_ = std::move(yaml);
}

std::string StandInPanel::demoSubscription(std::uint16_t socksPort) {
    return R"(mixed-port: 7890
allow-lan: false
mode: rule
log-level: info
proxies:
  - {name: "剩余流量：187.5 GB", type: ss, server: hk1.korvane.example, port: 8388, cipher: aes-128-gcm, password: demo}
  - {name: "套餐到期：2030-01-01", type: ss, server: hk1.korvane.example, port: 8388, cipher: aes-128-gcm, password: demo}
  - {name: "官网 www.korvane.example", type: ss, server: hk1.korvane.example, port: 8388, cipher: aes-128-gcm, password: demo}
  - {name: "香港 01", type: ss, server: hk1.korvane.example, port: 8388, cipher: aes-128-gcm, password: demo}
  - {name: "日本 02 | IPLC", type: vmess, server: jp2.korvane.example, port: "443", uuid: 1b4e28ba-2fa1-11d2-883f-0016d3cca427, alterId: 0, cipher: auto, tls: true}
  - name: "新加坡 03"
    type: trojan
    server: sg3.korvane.example
    port: 443
    password: demo
    sni: sg3.korvane.example
  - {name: "美国 04", type: socks5, server: 127.0.0.1, port: )" +
           std::to_string(socksPort) + R"(}
proxy-groups:
  - name: 节点选择
    type: select
    proxies: ["香港 01", "日本 02 | IPLC", "新加坡 03", "美国 04"]
rules:
  - DOMAIN-SUFFIX,korvane.example,DIRECT
  - MATCH,节点选择
)";
}

} // namespace korvane::testing
