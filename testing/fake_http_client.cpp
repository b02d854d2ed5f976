#include "testing/fake_http_client.h"

#include "base/errors.h"
#include "base/sleep.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>

namespace korvane::testing {

namespace {

std::string_view withoutQuery(std::string_view url) { return url.substr(0, url.find_first_of("?#")); }

std::string lowerCased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

ReceivedRequest receivedForm(const HttpRequest& request) {
    ReceivedRequest received;
    received.method = request.method;
    std::string_view rest = request.url;
    rest = rest.substr(0, rest.find('#'));
    if (auto scheme = rest.find("://"); scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
    const auto slash = rest.find_first_of("/?");
    received.target = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    if (received.target.front() == '?') received.target.insert(0, "/");
    const auto question = received.target.find('?');
    received.path = received.target.substr(0, question);
    if (question != std::string::npos) received.query = received.target.substr(question + 1);
    for (const auto& [name, value] : request.headers) {
        auto [it, added] = received.headers.emplace(lowerCased(name), value);
        if (!added) it->second += ", " + value;
    }
    received.body = request.body.value_or("");
    return received;
}

HttpResponse FakeHttpClient::noAnswer() {
    HttpResponse response;
    response.delay = std::chrono::milliseconds::max();
    return response;
}

void FakeHttpClient::route(std::string method, std::string url, HttpResponse response) {
    route(std::move(method), std::move(url),
          Handler([response](const ReceivedRequest&) { return response; }));
}

void FakeHttpClient::route(std::string method, std::string url, Handler handler) {
    exact_[{std::move(method), std::move(url)}] = std::make_shared<const Handler>(std::move(handler));
}

void FakeHttpClient::routePrefix(std::string method, std::string prefix, HttpResponse response) {
    routePrefix(std::move(method), std::move(prefix),
                Handler([response](const ReceivedRequest&) { return response; }));
}

void FakeHttpClient::routePrefix(std::string method, std::string prefix, Handler handler) {
    prefixes_[{std::move(method), std::move(prefix)}] = std::make_shared<const Handler>(std::move(handler));
}

std::shared_ptr<const FakeHttpClient::Handler> FakeHttpClient::find(const std::string& method,
                                                                    const std::string& url) const {
    if (auto it = exact_.find({method, std::string(withoutQuery(url))}); it != exact_.end())
        return it->second;
    std::shared_ptr<const Handler> best;
    std::size_t bestLength = 0;
    for (const auto& [key, handler] : prefixes_) {
        if (key.first == method && url.starts_with(key.second) && (!best || key.second.size() > bestLength)) {
            best = handler;
            bestLength = key.second.size();
        }
    }
    return best;
}

Task<std::string> FakeHttpClient::send(HttpRequest request) {
    co_await checkCancelled();
    requests_.push_back(request);
    // Held while it runs: a handler may replace its own route.
    const auto handler = find(request.method, request.url);
    if (!handler)
        throw TransportError("Failed to connect: nothing answers " + request.method + " " + request.url);
    HttpResponse answer = (*handler)(receivedForm(request));
    const Duration timeout{std::max<long long>(1, std::llround(request.timeoutSeconds * 1000))};
    if (answer.delay >= timeout) {
        co_await sleep(timeout);
        throw TransportError("Operation timed out after " + std::to_string(timeout.count()) +
                             " milliseconds with 0 bytes received");
    }
    if (answer.delay > Duration::zero()) co_await sleep(answer.delay);
    if (answer.drop) throw TransportError("Empty reply from server");
    co_return checkHttpResponse(answer.status, std::move(answer.body));
}

std::size_t FakeHttpClient::count(std::string_view method, std::string_view url) const {
    return static_cast<std::size_t>(
        std::count_if(requests_.begin(), requests_.end(), [&](const HttpRequest& r) {
            return r.method == method && withoutQuery(r.url) == url;
        }));
}

} // namespace korvane::testing
