#include "testing/update_packages.h"

#include "base/files.h"
#include "update/korvane_update_download.h"
#include "update/update_manifest.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <plist/plist.h>

#include <array>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace korvane::testing {

namespace {

const fs::path kStandIns = KORVANE_STAND_INS_DIR;

constexpr std::uint32_t kLinkMode = 0120777;
constexpr std::uint32_t kDirectoryType = 0040000;
constexpr std::uint32_t kFileType = 0100000;

void writeBytes(const fs::path& path, std::string_view bytes, fs::perms perms = fs::perms::unknown) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
    out.close();
    if (perms != fs::perms::unknown) fs::permissions(path, perms);
}

std::string readBytes(const fs::path& path) {
    auto bytes = readFile(path);
    if (!bytes) throw std::runtime_error("cannot read " + path.string());
    return *bytes;
}

void put32(std::string& out, std::uint32_t value, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndian ? 24 - 8 * i : 8 * i;
        out += static_cast<char>((value >> shift) & 0xff);
    }
}

void put16(std::string& out, std::uint32_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>((value >> 8) & 0xff);
}

std::uint32_t cpuType(const std::string& arch) {
    if (arch == "x86_64") return 0x01000007;
    if (arch == "arm64") return 0x0100000c;
    throw std::invalid_argument("unknown architecture " + arch);
}

// A 64-bit Mach-O header (MH_EXECUTE, no load commands) followed by the text.
std::string thinMachO(const std::string& arch, const std::string& text) {
    std::string out;
    put32(out, 0xfeedfacf, false);
    put32(out, cpuType(arch), false);
    put32(out, arch == "arm64" ? 0 : 3, false);
    put32(out, 2, false);
    for (int i = 0; i < 4; ++i)
        put32(out, 0, false);
    return out + text;
}

std::string executable(const std::vector<std::string>& architectures, const std::string& text) {
    if (architectures.size() == 1) return thinMachO(architectures[0], text);
    std::vector<std::string> slices;
    for (const auto& arch : architectures)
        slices.push_back(thinMachO(arch, text));
    std::string out;
    put32(out, 0xcafebabe, true);
    put32(out, static_cast<std::uint32_t>(slices.size()), true);
    std::uint32_t offset = static_cast<std::uint32_t>(8 + 20 * slices.size());
    for (std::size_t i = 0; i < slices.size(); ++i) {
        put32(out, cpuType(architectures[i]), true);
        put32(out, architectures[i] == "arm64" ? 0 : 3, true);
        put32(out, offset, true);
        put32(out, static_cast<std::uint32_t>(slices[i].size()), true);
        put32(out, 0, true);
        offset += static_cast<std::uint32_t>(slices[i].size());
    }
    for (const auto& slice : slices)
        out += slice;
    return out;
}

std::string infoPlist(const TestBundle& bundleContents) {
    plist_t root = bundleContents.infoNotADictionary ? plist_new_array() : plist_new_dict();
    const std::string version = bundleContents.versionText.value_or(std::to_string(bundleContents.build));
    if (bundleContents.infoNotADictionary) {
        plist_array_append_item(root, plist_new_string(bundleContents.identifier.c_str()));
    } else {
        plist_dict_set_item(root, "CFBundleIdentifier", plist_new_string(bundleContents.identifier.c_str()));
        plist_dict_set_item(root, "CFBundleVersion", plist_new_string(version.c_str()));
        plist_dict_set_item(root, "CFBundleShortVersionString", plist_new_string("1.0.0"));
        plist_dict_set_item(root, "CFBundleExecutable", plist_new_string("Korvane"));
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::string text(xml, length);
    plist_to_xml_free(xml);
    plist_free(root);
    return text;
}

std::uint32_t crc32(std::string_view data) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xffffffffu;
    for (unsigned char byte : data)
        c = table[(c ^ byte) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

} // namespace

SigningKey::SigningKey(std::string team) : team_(std::move(team)) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    if (!context || EVP_PKEY_keygen_init(context) != 1 || EVP_PKEY_keygen(context, &key_) != 1) {
        EVP_PKEY_CTX_free(context);
        throw std::runtime_error("cannot make an Ed25519 key");
    }
    EVP_PKEY_CTX_free(context);
}

SigningKey::~SigningKey() { EVP_PKEY_free(key_); }

std::string SigningKey::publicKeyPem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, key_);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

std::string SigningKey::sign(std::string_view message) const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    const bool ok =
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_) == 1 &&
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!ok) throw std::runtime_error("cannot sign");
    signature.resize(length);
    return signature;
}

void writeTestBundle(const fs::path& bundle, const TestBundle& bundleContents) {
    const fs::path contents = bundle / "Contents";
    writeBytes(contents / "Info.plist", infoPlist(bundleContents));
    writeBytes(contents / "MacOS" / "Korvane",
               executable(bundleContents.architectures,
                          "Korvane build " + std::to_string(bundleContents.build) + "\n"),
               fs::perms(0755));
    for (const auto& [name, bytes] : bundleContents.resources)
        writeBytes(contents / "Resources" / name, bytes);
}

void signBundle(const fs::path& bundle, const SigningKey& key, const std::string& identifier) {
    const fs::path seal = bundle / "Contents" / "_CodeSignature";
    fs::remove_all(seal);
    Json files = Json::object();
    for (auto it = fs::recursive_directory_iterator(bundle); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(bundle).generic_string();
        if (it->is_symlink()) {
            files[relative] = {{"link", fs::read_symlink(it->path()).string()}};
        } else if (it->is_regular_file()) {
            files[relative] = {{"sha256", sha256(it->path())}};
        }
    }
    const std::string resources =
        Json{{"files", files}, {"identifier", identifier}, {"team", key.team()}}.dump(1);
    writeBytes(seal / "CodeResources", resources);
    writeBytes(seal / "CodeSignature", key.sign(resources));
}

void ZipWriter::addDirectory(std::string name, std::uint32_t mode) {
    entries_.push_back({std::move(name), {}, kDirectoryType | mode});
}

void ZipWriter::addFile(std::string name, std::string data, std::uint32_t mode) {
    entries_.push_back({std::move(name), std::move(data), kFileType | mode});
}

void ZipWriter::addLink(std::string name, std::string target) {
    entries_.push_back({std::move(name), std::move(target), kLinkMode});
}

void ZipWriter::addTree(const fs::path& root, const std::string& prefix) {
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = prefix + it->path().lexically_relative(root).generic_string();
        const auto mode = static_cast<std::uint32_t>(it->symlink_status().permissions()) & 07777;
        if (it->is_symlink()) {
            addLink(name, fs::read_symlink(it->path()).string());
        } else if (it->is_directory()) {
            addDirectory(name + "/", mode);
        } else {
            addFile(name, readBytes(it->path()), mode);
        }
    }
}

void ZipWriter::write(const fs::path& file) const {
    // Stored entries, Unix "made by" with the mode in the high half of the external attributes,
    // names flagged as UTF-8; 2024-01-01 00:00 as every entry's time.
    constexpr std::uint32_t kTime = 0;
    constexpr std::uint32_t kDate = ((2024 - 1980) << 9) | (1 << 5) | 1;
    std::string out;
    std::string directory;
    for (const auto& entry : entries_) {
        const auto offset = static_cast<std::uint32_t>(out.size());
        const std::uint32_t crc = crc32(entry.data);
        const auto size = static_cast<std::uint32_t>(entry.data.size());
        std::string local;
        put32(local, 0x04034b50, false);
        put16(local, 20);
        put16(local, 0x0800);
        put16(local, 0);
        put16(local, kTime);
        put16(local, kDate);
        put32(local, crc, false);
        put32(local, size, false);
        put32(local, size, false);
        put16(local, static_cast<std::uint32_t>(entry.name.size()));
        put16(local, 0);
        out += local + entry.name + entry.data;

        put32(directory, 0x02014b50, false);
        put16(directory, (3 << 8) | 20);
        put16(directory, 20);
        put16(directory, 0x0800);
        put16(directory, 0);
        put16(directory, kTime);
        put16(directory, kDate);
        put32(directory, crc, false);
        put32(directory, size, false);
        put32(directory, size, false);
        put16(directory, static_cast<std::uint32_t>(entry.name.size()));
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        const bool isDirectory = (entry.mode & 0170000) == kDirectoryType;
        put32(directory, (entry.mode << 16) | (isDirectory ? 0x10 : 0), false);
        put32(directory, offset, false);
        directory += entry.name;
    }
    const auto directoryOffset = static_cast<std::uint32_t>(out.size());
    out += directory;
    put32(out, 0x06054b50, false);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(entries_.size()));
    put16(out, static_cast<std::uint32_t>(entries_.size()));
    put32(out, static_cast<std::uint32_t>(directory.size()), false);
    put32(out, directoryOffset, false);
    put16(out, 0);
    writeBytes(file, out);
}

Json patchManifest(std::int64_t fromBuild, std::int64_t toBuild) {
    return {{"from_build", fromBuild},
            {"to_build", toBuild},
            {"arch", std::string(kUpdateArchitecture)},
            {"format", std::string(kPatchFormat)}};
}

void writeFullPackage(const fs::path& zip, const fs::path& bundle) {
    ZipWriter writer;
    writer.addDirectory("Korvane.app/");
    writer.addTree(bundle, "Korvane.app/");
    writer.write(zip);
}

void writePatchPackage(const fs::path& zip, const fs::path& from, const fs::path& to, const Json& patch) {
    ZipWriter writer;
    writer.addFile("patch.json", patch.dump());
    writer.addDirectory("payload/");
    for (auto it = fs::recursive_directory_iterator(to); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file()) continue;
        const fs::path relative = it->path().lexically_relative(to);
        const fs::path before = from / relative;
        if (fs::is_regular_file(before) && readBytes(before) == readBytes(it->path())) continue;
        const auto mode = static_cast<std::uint32_t>(it->status().permissions()) & 07777;
        writer.addFile("payload/" + relative.generic_string(), readBytes(it->path()), mode);
    }
    writer.write(zip);
}

UpdateTools::UpdateTools(fs::path root) : root_(std::move(root)) {
    fs::create_directories(root_ / "usr/bin");
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "usr/libexec");
    // Debian's own tools where the install scripts expect the target system's.
    for (const auto& [from, to] :
         std::vector<std::pair<fs::path, fs::path>>{{"/usr/bin/zipinfo", "usr/bin/zipinfo"},
                                                    {"/usr/bin/zsh", "bin/zsh"},
                                                    {"/usr/bin/mv", "bin/mv"},
                                                    {"/usr/bin/rm", "bin/rm"},
                                                    {"/usr/bin/kill", "bin/kill"},
                                                    {"/usr/bin/ps", "bin/ps"},
                                                    {"/usr/bin/sleep", "bin/sleep"},
                                                    {"/usr/bin/date", "bin/date"},
                                                    {"/usr/bin/mktemp", "usr/bin/mktemp"},
                                                    {"/usr/bin/nohup", "usr/bin/nohup"}}) {
        fs::remove(root_ / to);
        fs::create_symlink(from, root_ / to);
    }
    for (const char* tool :
         {"usr/bin/ditto", "usr/bin/lipo", "usr/bin/codesign", "usr/bin/open", "usr/libexec/PlistBuddy"}) {
        const fs::path to = root_ / tool;
        fs::copy_file(kStandIns / fs::path(tool).filename(), to, fs::copy_options::overwrite_existing);
        fs::permissions(to, fs::perms(0755));
    }
    fs::create_directories(root_ / "var/stand-in/codesign");
}

void UpdateTools::trust(const SigningKey& key) {
    writeBytes(root_ / "var/stand-in/codesign" / (key.team() + ".pem"), key.publicKeyPem());
}

void UpdateTools::replace(const std::string& absolutePath, const std::string& script) {
    const fs::path to = root_ / fs::path(absolutePath).relative_path();
    fs::remove(to);
    writeBytes(to, script, fs::perms(0755));
}

std::map<std::string, std::string> treeDigest(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const auto status = it->symlink_status();
        std::string value = std::to_string(static_cast<unsigned>(status.permissions())) + ":";
        if (fs::is_symlink(status)) {
            value += "link " + fs::read_symlink(it->path()).string();
        } else if (fs::is_regular_file(status)) {
            value += sha256(it->path());
        }
        entries[it->path().lexically_relative(root).generic_string()] = value;
    }
    return entries;
}

} // namespace korvane::testing
