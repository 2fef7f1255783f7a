// The document's file wrapper: trees read from disk and written back, serialised and coded
// forms, hostile representations, and the log lines around a write.

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "QORLog/QORLog.hpp"
#include "QORModels/support/QORFileWrapper.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {
namespace fs = std::filesystem;

/// The tree as "kind path [contents]" lines, sorted by path.
std::vector<std::string> describe(const NSFileWrapper& w, const std::string& path = "") {
    if (w.isRegularFile()) return {"file " + path + " " + w.regularFileContents()->toString()};
    if (w.isSymbolicLink()) return {"link " + path + " -> " + w.symbolicLinkDestinationURL()->string()};
    std::vector<std::string> out{"dir " + path};
    for (const auto& [name, child] : *w.fileWrappers()) {
        for (auto& line : describe(*child, path + "/" + name)) out.push_back(std::move(line));
    }
    return out;
}

/// The code of the file wrapper error that `f` throws (in the platform's domain); 0 for none.
template <class F>
std::int64_t errorCode(F f) {
    try {
        f();
    } catch (const NSFileWrapperError& e) {
        EXPECT_EQ(e.error().domain, NSCocoaErrorDomain);
        return e.error().code;
    }
    return 0;
}

TEST(FileWrapper, ReadsARealDocumentFromDiskWithoutFollowingLinksAndWritesItBackLoggingTheWrite) {
    // A document folder: a real capture, a notes file in a sub-folder and a link to the capture.
    test::TempDir dir;
    const fs::path doc = dir.path / "trace.qordoc";
    const Data capture = test::readFile(test::capturePath("RADIUS.pcap"));
    dir.write("trace.qordoc/capture.pcap", capture);
    dir.write("trace.qordoc/notes/readme.txt", Data::fromString("first look\n"));
    fs::create_symlink("capture.pcap", doc / "latest");

    QORFileWrapper wrapper(doc, NSFileWrapper::readingImmediate);
    EXPECT_EQ(wrapper.filename(), std::optional<std::string>("trace.qordoc"));
    const std::vector<std::string> expected{"dir ", "file /capture.pcap " + capture.toString(), "link /latest -> capture.pcap", "dir /notes",
                                            "file /notes/readme.txt first look\n"};
    EXPECT_EQ(describe(wrapper), expected);
    EXPECT_EQ(wrapper.fileWrappers()->at("notes")->filename(), std::optional<std::string>("notes"));
    const QORFileWrapper fromBytes(NSFileWrapper::SerializedRepresentation{wrapper.serializedRepresentation()});
    EXPECT_EQ(describe(fromBytes), expected);
    EXPECT_EQ(fromBytes.preferredFilename(), std::optional<std::string>("trace.qordoc"));
    NSCoder coder;
    wrapper.encode(coder);
    EXPECT_EQ(describe(QORFileWrapper(coder)), expected);
    EXPECT_THROW(QORFileWrapper{NSCoder{}}, NSFileWrapperError);

    std::vector<std::string> logged;
    setLogSink([&](const LogLine& l) { logged.push_back(l.filename + "|" + l.function + "|" + l.message); });
    const fs::path copy = dir.path / "copy.qordoc";
    wrapper.write(copy, NSFileWrapper::writingWithNameUpdating, doc);
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "QORModels/QORFileWrapper|write(to:options:originalContentsURL:)|started writing file wrapper",
                          "QORModels/QORFileWrapper|write(to:options:originalContentsURL:)|finished writing file wrapper"}));
    EXPECT_EQ(wrapper.filename(), std::optional<std::string>("copy.qordoc"));
    EXPECT_TRUE(fs::is_symlink(copy / "latest"));
    EXPECT_EQ(describe(NSFileWrapper(copy, 0)), expected);

    // Writing again replaces the folder whole: an item added on disk in between is gone.
    dir.write("copy.qordoc/stray.txt", Data::fromString("x"));
    wrapper.write(copy, NSFileWrapper::writingAtomic, std::nullopt);
    EXPECT_FALSE(fs::exists(copy / "stray.txt"));
    EXPECT_EQ(describe(NSFileWrapper(copy, 0)), expected);

    // A failed write is reported, leaves nothing behind and logs only its start.
    logged.clear();
    EXPECT_EQ(errorCode([&] { wrapper.write(dir.path / "missing" / "doc", 0, std::nullopt); }), NSFileWriteUnknownError);
    setLogSink({});
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);
    EXPECT_EQ(errorCode([&] { NSFileWrapper(dir.path / "nothing-here", 0); }), NSFileReadNoSuchFileError);
}

TEST(FileWrapper, ChildrenAddedUnderATakenNameAreNumberedAndRemovedByIdentity) {
    NSFileWrapper notes(NSFileWrapper::FileWrappers{});
    EXPECT_EQ(notes.addRegularFile(Data::fromString("one"), "n.txt"), "n.txt");
    EXPECT_EQ(notes.addRegularFile(Data::fromString("two"), "n.txt"), "2__n.txt");
    EXPECT_EQ(notes.addRegularFile(Data::fromString("three"), "n.txt"), "3__n.txt");
    const NSFileWrapper fromBytes(NSFileWrapper::SerializedRepresentation{notes.serializedRepresentation()});
    EXPECT_EQ(fromBytes.fileWrappers()->at("2__n.txt")->regularFileContents()->toString(), "two");

    EXPECT_TRUE(notes.removeFileWrapper(*notes.fileWrappers()->at("n.txt")));
    EXPECT_FALSE(notes.removeFileWrapper(fromBytes));
    EXPECT_EQ(notes.fileWrappers()->size(), 2u);
    EXPECT_THROW(notes.fileWrappers()->at("3__n.txt")->addRegularFile(Data(), "x"), std::logic_error);
    EXPECT_THROW(notes.addRegularFile(Data(), ".."), std::logic_error);
}

TEST(FileWrapper, HostileRepresentationsAreRefusedBeforeTheyCanEscapeTheTargetFolder) {
    std::string deep = R"({"kind":"regularFile","contents":""})";
    for (int i = 0; i < 70; ++i) deep = R"({"kind":"directory","children":{"d":)" + deep + "}}";
    const std::string file = R"({"kind":"regularFile","contents":""})";
    const std::string cases[] = {"", "[]", R"({"kind":"pipe"})", R"({"kind":"regularFile"})",
                                 R"({"kind":"regularFile","contents":"not base64!"})",
                                 R"({"kind":"regularFile","contents":"","preferredFilename":3})",
                                 R"({"kind":"directory","children":[]})", R"({"kind":"directory","children":{"x":5}})",
                                 R"({"kind":"directory","children":{"..":)" + file + "}}",
                                 R"({"kind":"directory","children":{"a/b":)" + file + "}}",
                                 R"({"kind":"directory","children":{"":)" + file + "}}", deep};
    for (const auto& text : cases) {
        EXPECT_EQ(errorCode([&] { NSFileWrapper(NSFileWrapper::SerializedRepresentation{Data::fromString(text)}); }),
                  NSFileReadCorruptFileError)
            << text.substr(0, 80);
    }
    EXPECT_THROW(NSFileWrapper(NSFileWrapper::FileWrappers{{"../up", std::make_shared<NSFileWrapper>(Data())}}),
                 std::invalid_argument);
}

}  // namespace
}  // namespace qor
