// The page's messages to the bridge, as the shell hands them over (the message's JSON): a
// message is read only with string id and action and object arguments, and the reply that
// carries its id back into the page is a script argument that reads as that id.

#include "app/page_bridge.h"
#include "base/json.h"
#include "fuzz_check.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Json body = Json::parse(fuzz::text(data, size), nullptr, false);
    const auto message = PageBridge::readMessage(body.is_discarded() ? Json() : body);
    if (!message) return 0;
    FUZZ_CHECK(body.is_object());
    FUZZ_CHECK(body.at("id") == message->id && body.at("action") == message->action);
    FUZZ_CHECK(message->args.is_object());
    const auto arg = body.find("arg");
    FUZZ_CHECK(arg != body.end() && arg->is_object() ? message->args == *arg : message->args.empty());

    const Json reply = Json::array({message->id, message->args, nullptr});
    const std::string script = encodeJsonForScript(reply);
    FUZZ_CHECK(script.find("</") == std::string::npos);
    FUZZ_CHECK(Json::parse(script) == reply);
    return 0;
}
