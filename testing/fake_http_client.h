#pragma once

// An HttpClient for unit tests: answers come from routes on method and URL, scripted as for
// the loopback HttpsServer (status, headers, body, delay, dropped connection), and every
// request is recorded as it was sent.
//
// It lives on the main thread and in the executor's time: a delay is a sleep, so a manual
// loop's advance() moves it on and cancelling the task ends it at once. Answers become what
// the libcurl client gives: the body of a 2xx answer, or the error checkHttpResponse makes
// of the status; a dropped connection, a URL nothing is routed for, and a delay that reaches
// the request's own time-out are TransportErrors (the last one when the time-out passes).
// Redirects are not followed: a 3xx answer is an error like any other status.

#include "panel/http.h"
#include "testing/https_server.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::testing {

class FakeHttpClient final : public HttpClient {
public:
    // Handlers see the request as a server would (path, query, lower-cased header names), so
    // the same handler can serve an HttpsServer too. They run on the main thread when the
    // request is sent; the delay of their answer starts then.
    using Handler = std::function<HttpResponse(const ReceivedRequest&)>;

    // An answer that never comes: the request ends at its time-out, or when it is cancelled.
    static HttpResponse noAnswer();

    // Routes match the exact method and the URL up to its query; a later route for the same
    // pair replaces the earlier one.
    void route(std::string method, std::string url, HttpResponse response);
    void route(std::string method, std::string url, Handler handler);
    // Matches every URL that starts with prefix (query included) when no exact route does;
    // the longest prefix wins.
    void routePrefix(std::string method, std::string prefix, HttpResponse response);
    void routePrefix(std::string method, std::string prefix, Handler handler);

    Task<std::string> send(HttpRequest request) override;

    // Every request sent, in order, as the caller built it.
    const std::vector<HttpRequest>& requests() const { return requests_; }
    // Requests with this method whose URL up to its query is url.
    std::size_t count(std::string_view method, std::string_view url) const;

private:
    using Key = std::pair<std::string, std::string>;
    std::shared_ptr<const Handler> find(const std::string& method, const std::string& url) const;

    std::map<Key, std::shared_ptr<const Handler>> exact_;
    std::map<Key, std::shared_ptr<const Handler>> prefixes_;
    std::vector<HttpRequest> requests_;
};

// The request as a server receives it: path and query split off the URL, header names
// lower-cased, no body read as empty.
ReceivedRequest receivedForm(const HttpRequest& request);

} // namespace korvane::testing
