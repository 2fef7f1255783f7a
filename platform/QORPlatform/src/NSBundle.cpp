// Plug-in bundles: reading the manifest with libplist and opening the library with dlopen.

#include "QORPlatform/NSBundle.hpp"

#include <dlfcn.h>
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace qor {
namespace {

/// A manifest larger than this is not a manifest; it is not read.
constexpr std::uintmax_t kMaxManifestBytes = 1u << 20;

/// Owns a parsed property list.
struct PlistHolder {
    plist_t node = nullptr;
    ~PlistHolder() {
        if (node) plist_free(node);
    }
};

/// The text under `key` of a dictionary, or nothing when absent or not text.
std::optional<std::string> dictString(plist_t dict, const char* key) {
    plist_t item = plist_dict_get_item(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

/// The bundle's manifest: "Info.plist" at the top of the folder, or "Contents/Info.plist".
std::optional<std::filesystem::path> manifestPath(const std::filesystem::path& bundle) {
    std::error_code ec;
    for (const char* candidate : {"Info.plist", "Contents/Info.plist"}) {
        auto p = bundle / candidate;
        if (std::filesystem::is_regular_file(p, ec)) return p;
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) return nullptr;
    auto manifest = manifestPath(path);
    if (!manifest) return nullptr;
    auto size = std::filesystem::file_size(*manifest, ec);
    if (ec || size == 0 || size > kMaxManifestBytes) return nullptr;
    std::ifstream in(*manifest, std::ios::binary);
    if (!in) return nullptr;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty() || bytes.size() > kMaxManifestBytes) return nullptr;

    // plist_from_memory recognises XML, binary and JSON property lists.
    PlistHolder root;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root.node);
    if (!root.node || plist_get_node_type(root.node) != PLIST_DICT) return nullptr;

    auto executable = dictString(root.node, "CFBundleExecutable");
    if (!executable || executable->empty()) return nullptr;
    auto bundle = std::make_shared<NSBundle>();
    bundle->path_ = path;
    bundle->executable_ = *executable;
    bundle->principalClassName_ = dictString(root.node, "NSPrincipalClass").value_or("");
    bundle->identifier_ = dictString(root.node, "CFBundleIdentifier");
    return bundle;
}

bool NSBundle::load() {
    if (handle_) return true;
    auto lib = executablePath();
    // RTLD_GLOBAL: the plug-in's classes and the host share one copy of every interface type.
    void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
        const char* why = dlerror();
        loadError_ = why ? why : ("cannot open " + lib.string());
        return false;
    }
    handle_ = handle;
    loadError_.clear();
    return true;
}

std::shared_ptr<const RuntimeClass> NSBundle::principalClass() {
    if (!load()) return nullptr;
    if (principalClassName_.empty()) return nullptr;
    return ClassRegistry::shared().classNamed(principalClassName_);
}

std::shared_ptr<NSBundle> NSBundle::component(const std::string& name) const {
    auto part = std::make_shared<NSBundle>();
    part->path_ = path_ / name;
    part->principalClassName_ = principalClassName_;
    // The component names the same library by its absolute path (`path / absolute` keeps the
    // absolute path), so loading through it opens the one library again.
    std::error_code ec;
    auto lib = std::filesystem::absolute(executablePath(), ec);
    part->executable_ = (ec ? executablePath() : lib).string();
    part->identifier_ = identifier_ ? std::optional<std::string>(*identifier_ + "." + name) : std::nullopt;
    part->handle_ = handle_;
    part->loadError_ = loadError_;
    return part;
}

std::filesystem::path NSBundle::builtInPlugInsPath() {
    if (const char* dir = std::getenv("QOR_BUILTIN_PLUGINS_DIR"); dir && *dir) return dir;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&NSBundle::builtInPlugInsPath), &info) != 0 && info.dli_fname) {
        std::error_code ec;
        auto lib = std::filesystem::weakly_canonical(info.dli_fname, ec);
        if (ec) lib = info.dli_fname;
        return lib.parent_path() / "qor" / "PlugIns";
    }
    return {};
}

}  // namespace qor
