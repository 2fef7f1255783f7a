#pragma once
// A file, folder or symbolic link held in memory: read from disk, built by hand, serialised,
// and written back to disk.

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "QORPlatform/Data.hpp"
#include "QORPlatform/NSError.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

/// A failed read, write or decoding of a file wrapper (one of the `NSFileRead…`/`NSFileWrite…`
/// codes).
class NSFileWrapperError : public NSCocoaError {
public:
    using NSCocoaError::NSCocoaError;
};

/// A keyed container of values that an object writes itself into and is read back from (the
/// platform's keyed coder, without the archive format: a caller that needs bytes stores the
/// values where it likes).
class NSCoder {
public:
    void encode(const std::string& key, Value value) { values_[key] = std::move(value); }
    [[nodiscard]] bool containsValue(const std::string& key) const { return values_.count(key) != 0; }
    /// The value under `key`; none when absent.
    [[nodiscard]] Value decodeObject(const std::string& key) const {
        const auto it = values_.find(key);
        return it == values_.end() ? Value() : it->second;
    }

private:
    std::map<std::string, Value> values_;
};

/// A regular file, a folder of file wrappers or a symbolic link, held in memory.
///
/// Built from disk (`NSFileWrapper(url, options)`, which reads the whole tree at once and does
/// not follow symbolic links), from its parts, from a serialised representation or from a
/// coder. A folder's children are kept by name; every name is one path component (not empty,
/// no "/", not "." or ".."), so writing a wrapper never leaves the target folder.
///
/// The serialised representation is a JSON object: {"kind": "regularFile", "contents": base64},
/// {"kind": "directory", "children": {name: wrapper, ...}} or {"kind": "symbolicLink",
/// "destination": path}, each with an optional "preferredFilename". Reading one refuses texts
/// over `kMaxSerializedBytes`, folders nested `kMaxSerializedDepth` deep and more than
/// `kMaxSerializedEntries` wrappers in all.
///
/// Not thread-safe: one thread builds and writes a wrapper (the document's main thread).
class NSFileWrapper : public NSObject {
public:
    enum class Kind { regularFile, directory, symbolicLink };
    using FileWrappers = std::map<std::string, std::shared_ptr<NSFileWrapper>>;

    /// Reading options. The tree is always read at once; `withoutMapping` is accepted for the
    /// platform's sake and changes nothing (contents are read, never mapped).
    enum ReadingOptions : unsigned { readingImmediate = 1, readingWithoutMapping = 2 };
    /// Writing options. Every write builds the whole tree beside the target under a hidden
    /// name and then moves it into place, so `atomic` is always in effect: a file or link
    /// replaces the old item in one step; a folder, or anything put where a folder was, replaces
    /// it right after the old one is removed. `withNameUpdating` sets `filename` to the name
    /// written.
    enum WritingOptions : unsigned { writingAtomic = 1, writingWithNameUpdating = 2 };

    /// The destination of a symbolic link wrapper.
    struct SymbolicLinkDestination {
        std::filesystem::path url;
    };
    /// A serialised representation to read a wrapper back from.
    struct SerializedRepresentation {
        Data data;
    };

    static constexpr std::size_t kMaxSerializedBytes = 256u << 20;
    static constexpr std::size_t kMaxSerializedDepth = 64;
    static constexpr std::size_t kMaxSerializedEntries = 100000;

    /// Reads the item at `url`; throws `NSFileWrapperError` (`NSFileReadNoSuchFileError` when it
    /// does not exist, `NSFileReadUnknownError` when it cannot be read). `filename` and
    /// `preferredFilename` are the item's name.
    NSFileWrapper(const std::filesystem::path& url, unsigned options);
    /// A folder holding `childrenByName`: each child's filename becomes its key, and so does its
    /// preferred filename when it has none. Throws `std::invalid_argument` for a missing child or
    /// a key that is not one path component.
    explicit NSFileWrapper(FileWrappers childrenByName);
    explicit NSFileWrapper(Data regularFileContents);
    explicit NSFileWrapper(SymbolicLinkDestination destination);
    /// Throws `NSFileWrapperError` (`NSFileReadCorruptFileError`) for a malformed representation.
    explicit NSFileWrapper(const SerializedRepresentation& representation);
    /// Reads what `encode(with:)` wrote; throws `NSFileWrapperError` like the serialised form.
    explicit NSFileWrapper(const NSCoder& coder);

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] bool isRegularFile() const noexcept { return kind_ == Kind::regularFile; }
    [[nodiscard]] bool isDirectory() const noexcept { return kind_ == Kind::directory; }
    [[nodiscard]] bool isSymbolicLink() const noexcept { return kind_ == Kind::symbolicLink; }

    /// Contents of a regular file; nothing for other kinds.
    [[nodiscard]] std::optional<Data> regularFileContents() const;
    /// Children of a folder by name; nothing for other kinds.
    [[nodiscard]] const FileWrappers* fileWrappers() const;
    /// Destination of a symbolic link; nothing for other kinds.
    [[nodiscard]] std::optional<std::filesystem::path> symbolicLinkDestinationURL() const;

    [[nodiscard]] const std::optional<std::string>& filename() const noexcept { return filename_; }
    void setFilename(std::optional<std::string> name) { filename_ = std::move(name); }
    [[nodiscard]] const std::optional<std::string>& preferredFilename() const noexcept { return preferredFilename_; }
    void setPreferredFilename(std::optional<std::string> name) { preferredFilename_ = std::move(name); }

    /// Adds a child to a folder under its preferred filename, made unique with a numbered
    /// prefix ("2__name") when taken; gives the name used. Throws `std::logic_error` when this
    /// is not a folder or the child has no valid preferred filename.
    std::string addFileWrapper(std::shared_ptr<NSFileWrapper> child);
    /// Adds a regular file child; gives the name used.
    std::string addRegularFile(Data contents, const std::string& preferredFilename);
    /// Removes a child by identity; false when it is not a child.
    bool removeFileWrapper(const NSFileWrapper& child);

    /// The whole tree as bytes that `NSFileWrapper(SerializedRepresentation)` reads back. Names
    /// and link destinations that are not UTF-8 are written with replacement characters.
    [[nodiscard]] Data serializedRepresentation() const;
    /// Writes the serialised representation and the preferred filename into `coder`.
    void encode(NSCoder& coder) const;

    /// Writes the tree at `url`, replacing what is there. `originalContentsURL` names where the
    /// document was read from; it is accepted for the platform's sake (nothing is copied from
    /// it: every wrapper holds its contents). Throws `NSFileWrapperError`
    /// (`NSFileWriteUnknownError`) with the system's reason; a failed write leaves no
    /// temporary items behind.
    virtual void write(const std::filesystem::path& url, unsigned options,
                       const std::optional<std::filesystem::path>& originalContentsURL);

    [[nodiscard]] std::string_view className() const override { return "NSFileWrapper"; }

private:
    Kind kind_ = Kind::regularFile;
    Data contents_;
    FileWrappers children_;
    std::filesystem::path destination_;
    std::optional<std::string> filename_;
    std::optional<std::string> preferredFilename_;
};

/// Whether `name` can name a folder's child: one path component, not "." or "..".
bool isValidFileWrapperName(std::string_view name);

}  // namespace qor
