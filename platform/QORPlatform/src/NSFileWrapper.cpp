#include "QORPlatform/NSFileWrapper.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "QORPlatform/AtomicFileWriting.hpp"
#include "QORPlatform/Base64.hpp"
#include "QORPlatform/JSONNesting.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kRepresentationKey = "NSFileWrapperSerializedRepresentation";
constexpr const char* kPreferredFilenameKey = "NSFileWrapperPreferredFilename";

[[noreturn]] void corrupt(const std::string& why) {
    throw NSFileWrapperError(NSFileReadCorruptFileError, "The file wrapper's serialised representation is malformed: " + why);
}

Data readRegularFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw NSFileWrapperError(NSFileReadUnknownError, "cannot read " + path.string() + ": " + std::strerror(errno));
    // Read in chunks into the buffer the contents keep, reserved ahead to the size the file
    // system gives, so that a large file is not held twice while it is read.
    std::vector<std::byte> bytes;
    std::error_code ec;
    if (const auto size = fs::file_size(path, ec); !ec) bytes.reserve(size);
    char chunk[1 << 16];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        const auto* first = reinterpret_cast<const std::byte*>(chunk);
        bytes.insert(bytes.end(), first, first + in.gcount());
    }
    if (in.bad()) throw NSFileWrapperError(NSFileReadUnknownError, "cannot read " + path.string());
    return Data(std::move(bytes));
}

json toJson(const NSFileWrapper& wrapper) {
    json object = json::object();
    switch (wrapper.kind()) {
        case NSFileWrapper::Kind::regularFile:
            object["kind"] = "regularFile";
            object["contents"] = base64Encode(wrapper.regularFileContents()->span());
            break;
        case NSFileWrapper::Kind::directory: {
            object["kind"] = "directory";
            json children = json::object();
            for (const auto& [name, child] : *wrapper.fileWrappers()) children[name] = toJson(*child);
            object["children"] = std::move(children);
            break;
        }
        case NSFileWrapper::Kind::symbolicLink:
            object["kind"] = "symbolicLink";
            object["destination"] = wrapper.symbolicLinkDestinationURL()->string();
            break;
    }
    if (wrapper.preferredFilename()) object["preferredFilename"] = *wrapper.preferredFilename();
    return object;
}

std::shared_ptr<NSFileWrapper> fromJson(const json& object, std::size_t depth, std::size_t& entries) {
    if (!object.is_object()) corrupt("an entry is not an object");
    if (++entries > NSFileWrapper::kMaxSerializedEntries) corrupt("too many entries");
    if (depth >= NSFileWrapper::kMaxSerializedDepth) corrupt("folders nest too deeply");
    const auto text = [&](const char* key) -> const std::string& {
        const auto it = object.find(key);
        if (it == object.end() || !it->is_string()) corrupt(std::string("missing text \"") + key + "\"");
        return it->get_ref<const std::string&>();
    };
    const std::string& kind = text("kind");
    std::shared_ptr<NSFileWrapper> wrapper;
    if (kind == "regularFile") {
        auto bytes = base64Decode(text("contents"));
        if (!bytes) corrupt("contents are not base64");
        wrapper = std::make_shared<NSFileWrapper>(Data(std::move(*bytes)));
    } else if (kind == "symbolicLink") {
        wrapper = std::make_shared<NSFileWrapper>(NSFileWrapper::SymbolicLinkDestination{fs::path(text("destination"))});
    } else if (kind == "directory") {
        const auto it = object.find("children");
        if (it == object.end() || !it->is_object()) corrupt("a folder without children");
        NSFileWrapper::FileWrappers children;
        for (const auto& [name, child] : it->items()) {
            if (!isValidFileWrapperName(name)) corrupt("invalid child name \"" + name + "\"");
            children[name] = fromJson(child, depth + 1, entries);
        }
        wrapper = std::make_shared<NSFileWrapper>(std::move(children));
    } else {
        corrupt("unknown kind \"" + kind + "\"");
    }
    if (const auto it = object.find("preferredFilename"); it != object.end() && !it->is_null()) {
        if (!it->is_string()) corrupt("the preferred filename is not text");
        wrapper->setPreferredFilename(it->get<std::string>());
    }
    return wrapper;
}

json parseRepresentation(std::string_view text) {
    if (text.size() > NSFileWrapper::kMaxSerializedBytes) corrupt("too large");
    // Each folder level is two JSON levels: the wrapper and its children.
    if (jsonNestsDeeperThan(text, 2 * NSFileWrapper::kMaxSerializedDepth + 1)) corrupt("folders nest too deeply");
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        corrupt(e.what());
    }
}

[[noreturn]] void writeFailed(const std::string& what, const std::error_code& ec) {
    throw NSFileWrapperError(NSFileWriteUnknownError, what + ": " + ec.message());
}

/// Writes the tree at `path`, which does not exist yet.
void writeItem(const NSFileWrapper& wrapper, const fs::path& path) {
    std::error_code ec;
    switch (wrapper.kind()) {
        case NSFileWrapper::Kind::regularFile: {
            const Data contents = *wrapper.regularFileContents();
            std::string error;
            AtomicWriteOptions options;
            if (!writeFileAtomically(path, [&](const AtomicWriteSink& sink) { return sink(contents.span()); }, options, &error)) {
                throw NSFileWrapperError(NSFileWriteUnknownError, error);
            }
            return;
        }
        case NSFileWrapper::Kind::symbolicLink:
            fs::create_symlink(*wrapper.symbolicLinkDestinationURL(), path, ec);
            if (ec) writeFailed("cannot create the link " + path.string(), ec);
            return;
        case NSFileWrapper::Kind::directory:
            fs::create_directory(path, ec);
            if (ec) writeFailed("cannot create the folder " + path.string(), ec);
            for (const auto& [name, child] : *wrapper.fileWrappers()) writeItem(*child, path / name);
            return;
    }
}

}  // namespace

bool isValidFileWrapperName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

NSFileWrapper::NSFileWrapper(const fs::path& url, unsigned /*options*/) {
    std::error_code ec;
    const auto status = fs::symlink_status(url, ec);
    if (ec || !fs::exists(status)) {
        throw NSFileWrapperError(NSFileReadNoSuchFileError, "no such file: " + url.string());
    }
    if (fs::is_symlink(status)) {
        kind_ = Kind::symbolicLink;
        destination_ = fs::read_symlink(url, ec);
        if (ec) throw NSFileWrapperError(NSFileReadUnknownError, "cannot read the link " + url.string() + ": " + ec.message());
    } else if (fs::is_directory(status)) {
        kind_ = Kind::directory;
        for (fs::directory_iterator it(url, ec), end; !ec && it != end; it.increment(ec)) {
            auto child = std::make_shared<NSFileWrapper>(it->path(), 0u);
            children_[it->path().filename().string()] = std::move(child);
        }
        if (ec) throw NSFileWrapperError(NSFileReadUnknownError, "cannot list " + url.string() + ": " + ec.message());
    } else if (fs::is_regular_file(status)) {
        kind_ = Kind::regularFile;
        contents_ = readRegularFile(url);
    } else {
        throw NSFileWrapperError(NSFileReadUnknownError, "not a file, folder or link: " + url.string());
    }
    const fs::path name = url.has_filename() ? url.filename() : url.parent_path().filename();
    filename_ = name.string();
    preferredFilename_ = name.string();
}

NSFileWrapper::NSFileWrapper(FileWrappers childrenByName) : kind_(Kind::directory) {
    for (auto& [name, child] : childrenByName) {
        if (!child) throw std::invalid_argument("a folder's child is missing");
        if (!isValidFileWrapperName(name)) throw std::invalid_argument("invalid file wrapper name \"" + name + "\"");
        child->setFilename(name);
        if (!child->preferredFilename()) child->setPreferredFilename(name);
    }
    children_ = std::move(childrenByName);
}

NSFileWrapper::NSFileWrapper(Data regularFileContents) : kind_(Kind::regularFile), contents_(std::move(regularFileContents)) {}

NSFileWrapper::NSFileWrapper(SymbolicLinkDestination destination)
    : kind_(Kind::symbolicLink), destination_(std::move(destination.url)) {}

NSFileWrapper::NSFileWrapper(const SerializedRepresentation& representation) {
    std::size_t entries = 0;
    std::shared_ptr<NSFileWrapper> read = fromJson(parseRepresentation(representation.data.stringView()), 0, entries);
    kind_ = read->kind_;
    contents_ = std::move(read->contents_);
    children_ = std::move(read->children_);
    destination_ = std::move(read->destination_);
    preferredFilename_ = std::move(read->preferredFilename_);
}

NSFileWrapper::NSFileWrapper(const NSCoder& coder)
    : NSFileWrapper([&] {
          auto bytes = coder.decodeObject(kRepresentationKey).asData();
          if (!bytes) corrupt("the coder holds no representation");
          return SerializedRepresentation{std::move(*bytes)};
      }()) {
    if (auto name = coder.decodeObject(kPreferredFilenameKey).asString()) preferredFilename_ = std::move(*name);
}

std::optional<Data> NSFileWrapper::regularFileContents() const {
    if (kind_ != Kind::regularFile) return std::nullopt;
    return contents_;
}

const NSFileWrapper::FileWrappers* NSFileWrapper::fileWrappers() const {
    return kind_ == Kind::directory ? &children_ : nullptr;
}

std::optional<fs::path> NSFileWrapper::symbolicLinkDestinationURL() const {
    if (kind_ != Kind::symbolicLink) return std::nullopt;
    return destination_;
}

std::string NSFileWrapper::addFileWrapper(std::shared_ptr<NSFileWrapper> child) {
    if (kind_ != Kind::directory) throw std::logic_error("only a folder has children");
    if (!child || !child->preferredFilename() || !isValidFileWrapperName(*child->preferredFilename())) {
        throw std::logic_error("a child needs a preferred filename that is one path component");
    }
    std::string name = *child->preferredFilename();
    for (std::size_t n = 2; children_.count(name); ++n) name = std::to_string(n) + "__" + *child->preferredFilename();
    child->setFilename(name);
    children_[name] = std::move(child);
    return name;
}

std::string NSFileWrapper::addRegularFile(Data contents, const std::string& preferredFilename) {
    auto child = std::make_shared<NSFileWrapper>(std::move(contents));
    child->setPreferredFilename(preferredFilename);
    return addFileWrapper(std::move(child));
}

bool NSFileWrapper::removeFileWrapper(const NSFileWrapper& child) {
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (it->second.get() == &child) {
            children_.erase(it);
            return true;
        }
    }
    return false;
}

Data NSFileWrapper::serializedRepresentation() const {
    return Data::fromString(toJson(*this).dump(-1, ' ', false, json::error_handler_t::replace));
}

void NSFileWrapper::encode(NSCoder& coder) const {
    coder.encode(kRepresentationKey, serializedRepresentation());
    if (preferredFilename_) coder.encode(kPreferredFilenameKey, *preferredFilename_);
}

void NSFileWrapper::write(const fs::path& url, unsigned options, const std::optional<fs::path>& /*originalContentsURL*/) {
    std::error_code ec;
    // Everything is written beside the target under a hidden temporary name first (a plain
    // file is itself written atomically, so for it the extra step changes nothing), then
    // swapped in, so that a failure halfway leaves the old item untouched.
    const fs::path parent = url.has_parent_path() ? url.parent_path() : fs::path(".");
    const fs::path staging = parent / ("." + url.filename().string() + ".qor-" + UUID().uuidString());
    try {
        writeItem(*this, staging);
    } catch (...) {
        fs::remove_all(staging, ec);
        throw;
    }
    // rename() replaces a file or link in one step but cannot replace a folder, nor put a
    // folder in a file's place: such a place is cleared just before the move.
    const auto existing = fs::symlink_status(url, ec);
    if (fs::exists(existing) && (fs::is_directory(existing) || kind_ == Kind::directory)) fs::remove_all(url, ec);
    fs::rename(staging, url, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        writeFailed("cannot move the written item to " + url.string(), ec);
    }
    if (options & writingWithNameUpdating) filename_ = url.filename().string();
}

}  // namespace qor
