// The manifest's rules: what counts as an offer, which entry is downloaded, and which builds
// are numbers at all.

#include "base/errors.h"
#include "update/update_manifest.h"

#include <gtest/gtest.h>

using namespace korvane;

namespace {

constexpr const char* kNoDownload = "更新中心缺少对应架构的安全下载信息";
const std::string kDigest(64, 'a');

Json entry(const std::string& url) { return {{"url", url}, {"sha256", kDigest}}; }

Json patch(Json from, Json to, std::optional<Json> arch, const std::string& url) {
    Json p = entry(url);
    p["from_build"] = std::move(from);
    p["to_build"] = std::move(to);
    p["format"] = "korvane-macos-file-delta-v1";
    if (arch) p["arch"] = *arch;
    return p;
}

Json offer(Json extra) {
    Json manifest = {{"enabled", true}, {"build", 42}};
    manifest.update(extra);
    return manifest;
}

TEST(UpdateManifestTest, ChoosesTheEntryToDownload) {
    struct Case {
        const char* name;
        Json manifest;
        std::optional<std::string> url; // none: nothing on offer
        bool isPatch = false;
    };
    const std::string full = "https://u.example/full.zip";
    const std::string top = "https://u.example/top.zip";
    const std::string p1 = "https://u.example/p1.zip";
    const std::string p2 = "https://u.example/p2.zip";
    const Case cases[] = {
        {"disabled", offer({{"enabled", false}, {"downloads", {{"x64", entry(full)}}}}), std::nullopt},
        {"enabled as a string", offer({{"enabled", "true"}, {"downloads", {{"x64", entry(full)}}}}),
         std::nullopt},
        {"no enabled", Json{{"build", 42}, {"url", top}, {"sha256", kDigest}}, std::nullopt},
        {"same build", offer({{"build", 41}, {"url", top}, {"sha256", kDigest}}), std::nullopt},
        {"build as a string", offer({{"build", "42"}, {"url", top}, {"sha256", kDigest}}), std::nullopt},
        {"build 42.0", offer({{"build", 42.0}, {"url", top}, {"sha256", kDigest}}), std::nullopt},
        {"negative build", offer({{"build", -42}, {"url", top}, {"sha256", kDigest}}), std::nullopt},
        {"build beyond 64 bits", offer({{"build", Json::parse("18446744073709551616")}, {"url", top}}),
         std::nullopt},
        {"build beyond signed 64 bits", offer({{"build", Json::parse("9223372036854775808")}, {"url", top}}),
         std::nullopt},
        {"full package for x64",
         offer({{"downloads", {{"x64", entry(full)}}}, {"url", top}, {"sha256", kDigest}}), full},
        {"top level without downloads", offer({{"url", top}, {"sha256", kDigest}}), top},
        {"only arm64 falls back to the top level",
         offer({{"downloads", {{"arm64", entry(full)}}}, {"url", top}, {"sha256", kDigest}}), top},
        {"downloads with a member that is no object counts as empty",
         offer({{"downloads", {{"x64", entry(full)}, {"note", "x"}}}, {"url", top}, {"sha256", kDigest}}),
         top},
        {"download_url when url is not a string",
         offer({{"url", 7}, {"download_url", top}, {"sha256", kDigest}}), top},
        {"url before download_url", offer({{"url", full}, {"download_url", top}, {"sha256", kDigest}}), full},
        {"matching patch without arch",
         offer({{"downloads", {{"x64", entry(full)}}}, {"patches", {patch(41, 42, std::nullopt, p1)}}}), p1,
         true},
        {"first of two matching patches",
         offer({{"downloads", {{"x64", entry(full)}}},
                {"patches", {patch(40, 42, "x64", p2), patch(41, 42, "x64", p1), patch(41, 42, "x64", p2)}}}),
         p1, true},
        {"patch for arm64, another build, another target, a string build",
         offer({{"downloads", {{"x64", entry(full)}}},
                {"patches",
                 {patch(41, 42, "arm64", p1), patch(40, 42, "x64", p1), patch(41, 43, "x64", p1),
                  patch("41", 42, "x64", p1)}}}),
         full},
        {"patch with a non-string arch is taken",
         offer({{"downloads", {{"x64", entry(full)}}}, {"patches", {patch(41, 42, 64, p1)}}}), p1, true},
        {"patches holding a non-object count as empty",
         offer({{"downloads", {{"x64", entry(full)}}}, {"patches", {patch(41, 42, "x64", p1), 5}}}), full},
    };
    for (const auto& c : cases) {
        const auto plan = planUpdate(c.manifest, 41);
        ASSERT_EQ(plan.has_value(), c.url.has_value()) << c.name;
        if (!plan) continue;
        EXPECT_EQ(plan->url, *c.url) << c.name;
        EXPECT_EQ(plan->isPatch, c.isPatch) << c.name;
        EXPECT_EQ(plan->targetBuild, 42) << c.name;
    }
}

TEST(UpdateManifestTest, AnEntryWithoutASafeAddressOrDigestIsRefused) {
    const Json cases[] = {
        offer({{"downloads", {{"arm64", entry("https://u.example/a.zip")}}}}),
        offer({{"url", "http://u.example/a.zip"}, {"sha256", kDigest}}),
        offer({{"url", "HTTPS://u.example/a.zip"}, {"sha256", kDigest}}),
        offer({{"url", "not a url"}, {"sha256", kDigest}}),
        offer({{"url", "https://u.example/a.zip"}, {"sha256", std::string(63, 'a')}}),
        offer({{"url", "https://u.example/a.zip"}, {"sha256", 5}}),
        offer({{"url", "https://u.example/a.zip"}}),
    };
    for (const auto& manifest : cases) {
        try {
            planUpdate(manifest, 41);
            ADD_FAILURE() << manifest.dump();
        } catch (const KorvaneError& error) {
            EXPECT_STREQ(error.what(), kNoDownload) << manifest.dump();
        }
    }
}

TEST(UpdateManifestTest, BodyAndFileNames) {
    EXPECT_THROW(parseManifest("<html>"), Json::parse_error);
    try {
        parseManifest("[1]");
        ADD_FAILURE();
    } catch (const KorvaneError& error) {
        EXPECT_STREQ(error.what(), "服务器返回数据格式不正确");
    }
    UpdatePlan plan;
    plan.targetBuild = 42;
    EXPECT_EQ(packageFileName(plan, 41), "Korvane-42-x64.zip");
    plan.isPatch = true;
    EXPECT_EQ(packageFileName(plan, 41), "Korvane-41-to-42-x64.patch.zip");
}

} // namespace
