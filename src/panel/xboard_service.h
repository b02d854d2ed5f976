#pragma once

#include "base/clock.h"
#include "base/json.h"
#include "base/task.h"
#include "panel/http.h"
#include "panel/korvane_remote.h"
#include "panel/node.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

// The panel's answers read apart from the requests that fetch them: what each call makes of
// the body it received. Each throws what its call does: the JSON parser's error for a syntax
// error, KorvaneError with the user's text for an answer of the wrong shape.
namespace XBoardAnswers {

// The credential (auth_data) of a password sign-in answer.
std::string passwordCredential(std::string_view body);
// The answer object of a sign-in code endpoint, when its status is "success".
Json emailCodeAnswer(std::string_view body);
// The credential of a code sign-in's answer object; it starts with "Bearer ".
std::string codeCredential(const Json& answer);
// Returns when a password recovery answer reports success; throws its message otherwise.
void checkRecoveryAnswer(std::string_view body);
// The account profile ("data" of the subscription answer): an object.
Json profile(std::string_view body);
// The subscription a profile names (its URL, or api + "/s/" + token), https only.
Subscription subscription(const Json& profile, std::string_view api, WallTime now);

} // namespace XBoardAnswers

// The client of the service's panel. Holds no state besides the client version it
// announces; every call reads its base address from the given KorvaneRemote and goes through
// the given HttpClient, which must outlive it.
class XBoardService {
public:
    // clientVersion: the bundle's short version; "0.2.20" when the bundle has none.
    XBoardService(HttpClient& http, std::optional<std::string> clientVersion);

    const std::string& clientVersion() const { return clientVersion_; }

    // Password sign-in; returns the credential (the panel's auth_data).
    Task<std::string> login(const KorvaneRemote& remote, std::string email, std::string password) const;
    Task<void> sendLoginCode(const KorvaneRemote& remote, std::string email) const;
    // Code sign-in; returns a credential that starts with "Bearer ".
    Task<std::string> loginWithCode(const KorvaneRemote& remote, std::string email, std::string code) const;
    Task<void> sendResetCode(const KorvaneRemote& remote, std::string email) const;

    // The sign-in code endpoints ("send", "verify"), HTTPS only, with their error codes
    // turned into sentences.
    Task<Json> postEmailCode(const KorvaneRemote& remote, std::string action,
                             std::map<std::string, std::string> fields) const;
    // The password recovery endpoints, HTTPS only; route is the path after the api base.
    Task<void> postPasswordRecovery(const KorvaneRemote& remote, std::string route,
                                    std::map<std::string, std::string> fields) const;

    // The account profile ("data" of the subscription answer).
    Task<Json> accountProfile(const KorvaneRemote& remote, std::string auth) const;
    // The profile, the subscription URL it names and the overview computed from it.
    Task<Subscription> subscription(const KorvaneRemote& remote, std::string auth) const;
    // Downloads the subscription: its text and the servers it offers.
    Task<std::pair<std::string, std::vector<Node>>> nodes(std::string url) const;

private:
    HttpClient& http_;
    std::string clientVersion_;
};

} // namespace korvane
