// The document's file wrapper: trees read from disk and written back, serialised and coded
// forms, hostile representations, and the log lines around a write.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "QORLog/QORLog.hpp"
#include "QORModels/support/QORFileWrapper.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {
namespace fs = std::filesystem;

/// A document folder: a capture, a notes file in a sub-folder and a link to the capture.
fs::path makeDocument(const test::TempDir& dir) {
    const fs::path doc = dir.path / "trace.qordoc";
    fs::create_directories(doc / "notes");
    dir.write("trace.qordoc/capture.pcap", test::PcapBuilder().record(1, 0, Data::fromString("abc")).data());
    dir.write("trace.qordoc/notes/readme.txt", Data::fromString("first look\n"));
    fs::create_symlink("capture.pcap", doc / "latest");
    return doc;
}

/// The tree as "kind name [contents]" lines, sorted by path.
void describe(const NSFileWrapper& w, const std::string& path, std::vector<std::string>& out) {
    if (w.isRegularFile()) out.push_back("file " + path + " " + w.regularFileContents()->toString());
    if (w.isSymbolicLink()) out.push_back("link " + path + " -> " + w.symbolicLinkDestinationURL()->string());
    if (w.isDirectory()) {
        out.push_back("dir " + path);
        for (const auto& [name, child] : *w.fileWrappers()) describe(*child, path + "/" + name, out);
    }
}
std::vector<std::string> describe(const NSFileWrapper& w) {
    std::vector<std::string> out;
    describe(w, "", out);
    return out;
}

struct LogCapture {
    LogCapture() {
        setLogSink([this](const LogLine& l) { lines.push_back(l.filename + "|" + l.function + "|" + l.message); });
    }
    ~LogCapture() { setLogSink({}); }
    std::vector<std::string> lines;
};

TEST(FileWrapper, ReadsATreeFromDiskWithoutFollowingLinksAndWritesItBackLoggingTheWrite) {
    test::TempDir dir;
    const fs::path doc = makeDocument(dir);
    QORFileWrapper wrapper(doc, NSFileWrapper::readingImmediate);
    EXPECT_EQ(wrapper.filename(), std::optional<std::string>("trace.qordoc"));
    const std::string pcap = test::PcapBuilder().record(1, 0, Data::fromString("abc")).data().toString();
    const std::vector<std::string> expected{"dir ", "file /capture.pcap " + pcap, "link /latest -> capture.pcap", "dir /notes",
                                            "file /notes/readme.txt first look\n"};
    EXPECT_EQ(describe(wrapper), expected);
    EXPECT_EQ(wrapper.fileWrappers()->at("notes")->filename(), std::optional<std::string>("notes"));

    LogCapture log;
    const fs::path copy = dir.path / "copy.qordoc";
    wrapper.write(copy, NSFileWrapper::writingWithNameUpdating, doc);
    EXPECT_EQ(log.lines, (std::vector<std::string>{
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
}

TEST(FileWrapper, RealCapturesInADocumentFolderComeBackByteForByte) {
    test::TempDir dir;
    const char* const names[] = {"RADIUS.pcap", "illustrated-tls12-dsb.pcapng", "many_interfaces-1.pcapng"};
    NSFileWrapper::FileWrappers captures;
    for (const char* name : names) {
        captures[name] = std::make_shared<NSFileWrapper>(test::readFile(test::capturePath(name)));
    }
    QORFileWrapper document(std::move(captures));
    document.write(dir.path / "captures", 0, std::nullopt);
    const QORFileWrapper again(NSFileWrapper::SerializedRepresentation{NSFileWrapper(dir.path / "captures", 0).serializedRepresentation()});
    for (const char* name : names) {
        const Data original = test::readFile(test::capturePath(name));
        EXPECT_EQ(test::readFile(dir.path / "captures" / name).toString(), original.toString()) << name;
        EXPECT_EQ(again.fileWrappers()->at(name)->regularFileContents()->toString(), original.toString()) << name;
    }
}

TEST(FileWrapper, AFailedWriteIsReportedLeavesNothingBehindAndLogsOnlyItsStart) {
    test::TempDir dir;
    QORFileWrapper wrapper(NSFileWrapper::FileWrappers{{"a.txt", std::make_shared<NSFileWrapper>(Data::fromString("a"))}});
    LogCapture log;
    try {
        wrapper.write(dir.path / "missing" / "doc", 0, std::nullopt);
        ADD_FAILURE() << "wrote into a missing folder";
    } catch (const NSFileWrapperError& e) {
        EXPECT_EQ(e.error().domain, NSCocoaErrorDomain);
        EXPECT_EQ(e.error().code, NSFileWriteUnknownError);
    }
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_TRUE(fs::is_empty(dir.path));
    try {
        NSFileWrapper(dir.path / "nothing-here", 0);
        ADD_FAILURE() << "read a missing file";
    } catch (const NSFileWrapperError& e) {
        EXPECT_EQ(e.error().code, NSFileReadNoSuchFileError);
    }
}

TEST(FileWrapper, SerialisedAndCodedFormsGiveTheSameTreeBack) {
    auto notes = std::make_shared<NSFileWrapper>(NSFileWrapper::FileWrappers{});
    notes->addRegularFile(Data::fromString("one"), "n.txt");
    EXPECT_EQ(notes->addRegularFile(Data::fromString("two"), "n.txt"), "2__n.txt");
    EXPECT_EQ(notes->addRegularFile(Data::fromString("three"), "n.txt"), "3__n.txt");
    QORFileWrapper root(NSFileWrapper::FileWrappers{
        {"notes", notes},
        {"bin", std::make_shared<NSFileWrapper>(Data(std::vector<std::byte>{std::byte{0}, std::byte{0xff}}))},
        {"link", std::make_shared<NSFileWrapper>(NSFileWrapper::SymbolicLinkDestination{"/abs/target"})}});
    root.setPreferredFilename("doc");

    const QORFileWrapper fromBytes(NSFileWrapper::SerializedRepresentation{root.serializedRepresentation()});
    EXPECT_EQ(describe(fromBytes), describe(root));
    EXPECT_EQ(fromBytes.preferredFilename(), std::optional<std::string>("doc"));
    EXPECT_EQ(fromBytes.fileWrappers()->at("notes")->fileWrappers()->at("2__n.txt")->regularFileContents()->toString(), "two");

    NSCoder coder;
    root.encode(coder);
    const QORFileWrapper fromCoder(coder);
    EXPECT_EQ(describe(fromCoder), describe(root));
    EXPECT_EQ(fromCoder.preferredFilename(), std::optional<std::string>("doc"));
    EXPECT_THROW(QORFileWrapper{NSCoder{}}, NSFileWrapperError);

    EXPECT_TRUE(notes->removeFileWrapper(*notes->fileWrappers()->at("n.txt")));
    EXPECT_FALSE(notes->removeFileWrapper(root));
    EXPECT_EQ(notes->fileWrappers()->size(), 2u);
    EXPECT_THROW(root.fileWrappers()->at("bin")->addRegularFile(Data(), "x"), std::logic_error);
    EXPECT_THROW(notes->addRegularFile(Data(), ".."), std::logic_error);
}

TEST(FileWrapper, HostileRepresentationsAreRefusedBeforeTheyCanEscapeTheTargetFolder) {
    std::string deep;
    for (int i = 0; i < 70; ++i) deep += R"({"kind":"directory","children":{"d":)";
    deep += R"({"kind":"regularFile","contents":""})";
    for (int i = 0; i < 70; ++i) deep += "}}";
    const std::string cases[] = {
        "",
        "[]",
        R"({"kind":"pipe"})",
        R"({"kind":"regularFile"})",
        R"({"kind":"regularFile","contents":"not base64!"})",
        R"({"kind":"regularFile","contents":"","preferredFilename":3})",
        R"({"kind":"directory","children":[]})",
        R"({"kind":"directory","children":{"..":{"kind":"regularFile","contents":""}}})",
        R"({"kind":"directory","children":{"a/b":{"kind":"regularFile","contents":""}}})",
        R"({"kind":"directory","children":{"":{"kind":"regularFile","contents":""}}})",
        R"({"kind":"directory","children":{"x":5}})",
        deep,
    };
    for (const auto& text : cases) {
        try {
            NSFileWrapper(NSFileWrapper::SerializedRepresentation{Data::fromString(text)});
            ADD_FAILURE() << "accepted " << text.substr(0, 80);
        } catch (const NSFileWrapperError& e) {
            EXPECT_EQ(e.error().code, NSFileReadCorruptFileError) << text.substr(0, 80);
        }
    }
    EXPECT_THROW(NSFileWrapper(NSFileWrapper::FileWrappers{{"../up", std::make_shared<NSFileWrapper>(Data())}}),
                 std::invalid_argument);
}

}  // namespace
}  // namespace qor
