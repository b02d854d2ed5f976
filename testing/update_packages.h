#pragma once

// Update packages for tests and benchmarks: bundle trees of any build, identifier and
// architecture, sealed with a team's key for the stand-in signature check; ZIP archives of any
// shape, hostile ones included; full packages and delta patches made of them; and the tools the
// preparation runs, laid out under a test's system root.

#include "base/json.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct evp_pkey_st; // OpenSSL's EVP_PKEY, kept out of this header

namespace korvane::testing {

inline constexpr const char* kClientIdentifier = "art.korvane.mac.native";

// An Ed25519 signing key of a team, made fresh for each object.
class SigningKey {
public:
    explicit SigningKey(std::string team);
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    const std::string& team() const { return team_; }
    std::string publicKeyPem() const;
    // The raw 64-byte signature of message.
    std::string sign(std::string_view message) const;

private:
    std::string team_;
    evp_pkey_st* key_ = nullptr;
};

struct TestBundle {
    std::int64_t build = 100;
    // CFBundleVersion exactly as written, in place of the build ("101.0", say).
    std::optional<std::string> versionText;
    std::string identifier = kClientIdentifier;
    // The architectures of Contents/MacOS/Korvane: "x86_64" and/or "arm64"; two or more make a
    // universal (fat) Mach-O file.
    std::vector<std::string> architectures{"x86_64"};
    // Further files below Contents/Resources, by relative path.
    std::map<std::string, std::string> resources;
    // Info.plist holds an array instead of a dictionary.
    bool infoNotADictionary = false;
};

// Lays out a bundle: Contents/Info.plist (XML, through libplist), Contents/MacOS/Korvane (a
// Mach-O header of the architectures, then a line naming the build) and the resources.
void writeTestBundle(const std::filesystem::path& bundle, const TestBundle& bundleContents);

// Seals every file and link of the bundle with key, as the stand-in codesign checks it:
// Contents/_CodeSignature/CodeResources lists the identifier, the team and each file's SHA-256
// (each link's target), and Contents/_CodeSignature/CodeSignature is the key's signature of it.
void signBundle(const std::filesystem::path& bundle, const SigningKey& key,
                const std::string& identifier = kClientIdentifier);

// A ZIP archive written entry by entry (stored, Unix modes), in the order added; names are
// taken as they are.
class ZipWriter {
public:
    void addDirectory(std::string name, std::uint32_t mode = 0755);
    void addFile(std::string name, std::string data, std::uint32_t mode = 0644);
    void addLink(std::string name, std::string target);
    // Every directory, file and link below root, named prefix + its path below root, each
    // directory before what it holds.
    void addTree(const std::filesystem::path& root, const std::string& prefix);
    std::size_t size() const { return entries_.size(); }
    void write(const std::filesystem::path& file) const;

private:
    struct Entry {
        std::string name;
        std::string data;
        std::uint32_t mode;
    };
    std::vector<Entry> entries_;
};

// {"from_build", "to_build", "arch": "x64", "format": "korvane-macos-file-delta-v1"}
Json patchManifest(std::int64_t fromBuild, std::int64_t toBuild);
// The bundle as a full package: Korvane.app/... at the top.
void writeFullPackage(const std::filesystem::path& zip, const std::filesystem::path& bundle);
// A delta patch from one bundle to another: patch.json, then payload/ with every file of `to`
// that is new or differs from `from` (directories leading to them included).
void writePatchPackage(const std::filesystem::path& zip, const std::filesystem::path& from,
                       const std::filesystem::path& to, const Json& patch);

// The tools of the update preparation and of the install scripts under a test's system root:
// <root>/usr/bin/zipinfo, <root>/bin/{zsh,mv,rm,kill,ps,sleep,date} and
// <root>/usr/bin/{mktemp,nohup} are Debian's own, <root>/usr/bin/{ditto,lipo,codesign,open} and
// <root>/usr/libexec/PlistBuddy the stand-ins of testing/stand_ins. The stand-in codesign trusts
// the keys given to trust().
class UpdateTools {
public:
    explicit UpdateTools(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }
    void trust(const SigningKey& key);
    // Puts a script of the test's own in place of a tool (one that hangs, say).
    void replace(const std::string& absolutePath, const std::string& script);

private:
    std::filesystem::path root_;
};

// Every entry below a directory with its permissions and its contents: a file's SHA-256, a
// link's target; for comparing a tree before and after.
std::map<std::string, std::string> treeDigest(const std::filesystem::path& root);

} // namespace korvane::testing
