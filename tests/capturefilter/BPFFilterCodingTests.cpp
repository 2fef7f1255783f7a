// The serialised form of capture-filter trees: exact shapes, round trips and refusals.

#include <gtest/gtest.h>

#include <set>

#include "PrimitiveCases.hpp"
#include "QORModels/capturefilter/BPFFilterCoding.hpp"

namespace qor::test {
namespace {

using json = nlohmann::json;
using N = BPFFilterNode;
using Kind = BPFFilterDecodingError::Kind;

const UUID kID = *UUID::fromString("0F3B2B4E-8D2A-4C43-9A51-6C1D2E3F4A5B");

/// One primitive of every case (the rendering table must hold them all), optional fields both
/// present and absent: the rendering table plus a named protocol and a frame type without subtype.
std::vector<P> everyCase() {
    std::vector<P> out{P::namedProto(BPFNamedProto::icmp6), P::wlanType(BPFWlanFrameType::data)};
    for (const RenderCase& c : kRenderCases) out.push_back(c.primitive);
    return out;
}

TEST(BPFFilterCoding, EveryNodeAndPrimitiveCaseRoundTripsThroughText) {
    std::vector<N> leaves;
    std::set<std::size_t> cases;
    for (const P& primitive : everyCase()) {
        leaves.push_back(N::primitive(primitive));
        cases.insert(primitive.value().index());
    }
    EXPECT_EQ(cases.size(), std::variant_size_v<P::Storage>);
    leaves.push_back(N::empty());
    const N tree = N::compound(BPFCombinator::or_,
                               {N::not_(N::compound(BPFCombinator::and_, leaves)), N::empty(), N::not_(N::empty())});
    EXPECT_EQ(decodeBPFFilterNode(encodeBPFFilterNode(tree)), tree);
    EXPECT_EQ(decodeBPFFilterNode(encodeBPFFilterNode(tree, 2)), tree);
}

TEST(BPFFilterCoding, WritesTheDocumentedShapes) {
    EXPECT_EQ(json(P::host(D::src, F::ip, "10.0.0.1")),
              json::parse(R"({"host":{"direction":"src","family":"ip","value":"10.0.0.1"}})"));
    EXPECT_EQ(json(P::namedProto(BPFNamedProto::tcp)), json::parse(R"({"namedProto":{"_0":"tcp"}})"));
    EXPECT_EQ(json(P::raw("tcp")), json::parse(R"({"raw":{"_0":"tcp"}})"));
    EXPECT_EQ(json(P::vlan()), json::parse(R"({"vlan":{}})"));  // absent optionals are left out
    EXPECT_EQ(json(P::net(D::any, F::auto_, "10.0.0.0", std::nullopt, 8)),
              json::parse(R"({"net":{"direction":"any","family":"auto","value":"10.0.0.0","cidr":8}})"));
    EXPECT_EQ(json(P::byteComparison(BPFBytesProto::tcp, "13", BPFBytesSize::two, BPFRelop::bitAnd, "3")),
              json::parse(R"({"byteComparison":{"proto":"tcp","offset":"13","size":2,"relop":"&","value":"3"}})"));
    EXPECT_EQ(json(P::explicitProto(F::ip, true, "6")),
              json::parse(R"({"explicitProto":{"family":"ip","chain":true,"protocolName":"6"}})"));

    const std::string id = kID.uuidString();
    EXPECT_EQ(json(N::empty(kID)), json::parse(R"({"empty":{"id":")" + id + R"("}})"));
    EXPECT_EQ(json(N::not_(N::empty(kID), kID)),
              json::parse(R"({"not":{"id":")" + id + R"(","child":{"empty":{"id":")" + id + R"("}}}})"));
    EXPECT_EQ(json(N::compound(BPFCombinator::or_, {}, kID)),
              json::parse(R"({"compound":{"id":")" + id + R"(","combinator":"or","children":[]}})"));
    EXPECT_EQ(json(N::primitive(P::pppoed(), kID)),
              json::parse(R"({"primitive":{"id":")" + id + R"(","value":{"pppoed":{}}}})"));
}

TEST(BPFFilterCoding, HandWrittenTreeRenders) {
    const std::string document = R"({"compound": {"id": "6b0e2f7c-1111-4c2a-9d6e-0a1b2c3d4e5f", "combinator": "and",
      "children": [
        {"primitive": {"id": "6B0E2F7C-2222-4C2A-9D6E-0A1B2C3D4E5F", "value": {"namedProto": {"_0": "tcp"}}}},
        {"compound": {"id": "6B0E2F7C-3333-4C2A-9D6E-0A1B2C3D4E5F", "combinator": "or", "children": [
          {"primitive": {"id": "6B0E2F7C-4444-4C2A-9D6E-0A1B2C3D4E5F",
                         "value": {"port": {"direction": "dst", "proto": "any", "value": "80"}}}},
          {"primitive": {"id": "6B0E2F7C-5555-4C2A-9D6E-0A1B2C3D4E5F",
                         "value": {"net": {"direction": "src", "family": "auto", "value": "10.0.0.0",
                                           "mask": "255.0.0.0", "cidr": null}}}}]}},
        {"not": {"id": "6B0E2F7C-6666-4C2A-9D6E-0A1B2C3D4E5F",
                 "child": {"primitive": {"id": "6B0E2F7C-7777-4C2A-9D6E-0A1B2C3D4E5F",
                                         "value": {"vlan": {"id": " 12 "}}}}}},
        {"empty": {"id": "6B0E2F7C-8888-4C2A-9D6E-0A1B2C3D4E5F"}}]}})";
    const N tree = decodeBPFFilterNode(document);
    EXPECT_EQ(tree.rendered(), "tcp and (dst port 80 or src net 10.0.0.0 mask 255.0.0.0) and not vlan 12");
    EXPECT_EQ(tree.id(), *UUID::fromString("6B0E2F7C-1111-4C2A-9D6E-0A1B2C3D4E5F"));  // lower-case ids read too
}

/// Decoding `document` fails with `kind`, `message` and `path`.
void expectRefused(const std::string& document, Kind kind, const std::string& message, const std::string& path = "") {
    try {
        (void)decodeBPFFilterNode(document);
        ADD_FAILURE() << "accepted: " << document;
    } catch (const BPFFilterDecodingError& e) {
        EXPECT_EQ(e.kind(), kind) << document;
        EXPECT_EQ(std::string(e.what()), message) << document;
        EXPECT_EQ(e.codingPath(), path) << document;
    }
}

TEST(BPFFilterCoding, WrongShapesAndAnythingButExactlyOneCaseKeyAreRefusedWithTheirPlace) {
    const std::string id = R"("id":"0F3B2B4E-8D2A-4C43-9A51-6C1D2E3F4A5B")";
    const auto compound = [&](const std::string& rest) { return R"({"compound":{)" + id + "," + rest + "}}"; };
    const auto primitive = [&](const std::string& value) { return R"({"primitive":{)" + id + R"(,"value":)" + value + "}}"; };
    struct Row {
        std::string document;
        Kind kind;
        std::string message, path;
    };
    const std::string invalid = "Invalid number of keys found, expected one.";
    const std::vector<Row> rows = {
        {"{}", Kind::typeMismatch, invalid, ""},
        {R"({"empty":{)" + id + R"(},"not":{}})", Kind::typeMismatch, invalid, ""},
        {primitive(R"({"vlan":{},"mpls":{}})"), Kind::typeMismatch, invalid, "primitive.value"},
        {"[]", Kind::typeMismatch, "Expected to decode a dictionary but found an array instead.", ""},
        {R"({"empty":{}})", Kind::keyNotFound, "No value associated with key \"id\".", "empty"},
        {R"({"empty":{"id":"not-a-uuid"}})", Kind::dataCorrupted, "Attempted to decode UUID from invalid UUID string.", "empty.id"},
        {compound(R"("combinator":"xor","children":[])"), Kind::dataCorrupted,
         "Cannot initialize BPFCombinator from invalid String value xor", "compound.combinator"},
        {compound(R"("combinator":"and","children":{})"), Kind::typeMismatch,
         "Expected to decode an array but found a dictionary instead.", "compound.children"},
        {compound(R"("combinator":"and","children":[{"empty":{)" + id + R"(}}, 5])"), Kind::typeMismatch,
         "Expected to decode a dictionary but found a number instead.", "compound.children.1"},
        {primitive(R"({"host":{"direction":null,"family":"ip","value":"x"}})"), Kind::valueNotFound,
         "Expected String value but found null instead.", "primitive.value.host.direction"},
        {primitive(R"({"gateway":{"host":7}})"), Kind::typeMismatch, "Expected to decode String but found a number instead.",
         "primitive.value.gateway.host"},
        {primitive(R"({"explicitProto":{"family":"ip","chain":"yes","protocolName":"6"}})"), Kind::typeMismatch,
         "Expected to decode Bool but found a string instead.", "primitive.value.explicitProto.chain"},
        {primitive(R"({"byteComparison":{"proto":"tcp","offset":"0","size":3,"relop":"==","value":"1"}})"), Kind::dataCorrupted,
         "Cannot initialize BPFBytesSize from invalid Int value 3", "primitive.value.byteComparison.size"},
        {primitive(R"({"net":{"direction":"any","family":"auto","value":"x","cidr":"8"}})"), Kind::typeMismatch,
         "Expected to decode Int but found a string instead.", "primitive.value.net.cidr"},
        {primitive(R"({"net":{"direction":"any","family":"auto","value":"x","cidr":1e30}})"), Kind::dataCorrupted,
         "Parsed JSON number <1e+30> does not fit in Int.", "primitive.value.net.cidr"},
    };
    for (const Row& r : rows) expectRefused(r.document, r.kind, r.message, r.path);
    // Keys that name no case are not counted.
    EXPECT_EQ(decodeBPFFilterNode(R"({"empty":{)" + id + R"(},"note":"x"})"), N::empty(kID));
    // Whole numbers written with a fraction and null optionals are read.
    const P net = json::parse(R"({"net":{"direction":"any","family":"auto","value":"x","cidr":16.0,"mask":null}})").get<P>();
    EXPECT_EQ(net, P::net(BPFDirection::any, BPFAddressFamily::auto_, "x", std::nullopt, 16));
}

TEST(BPFFilterCoding, MalformedJSONIsRefused) {
    for (const std::string text : {"", "{", R"({"empty":{"id":"x"})", "\xff\xfe", "nul\0l"}) {
        try {
            (void)decodeBPFFilterNode(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const BPFFilterDecodingError& e) {
            EXPECT_EQ(e.kind(), Kind::dataCorrupted);
            EXPECT_EQ(std::string(e.what()).rfind("The given data was not valid JSON: ", 0), 0u) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
    }
}

/// A document of `depth` nested `not` nodes around an empty node.
std::string nestedNots(std::size_t depth) {
    N node = N::empty();
    for (std::size_t i = 1; i < depth; ++i) node = N::not_(node);
    return encodeBPFFilterNode(node);
}

TEST(BPFFilterCoding, NestingIsBounded) {
    EXPECT_NO_THROW((void)decodeBPFFilterNode(nestedNots(kBPFFilterMaxNodeDepth)));
    std::string path = "not.child";
    for (std::size_t i = 1; i < kBPFFilterMaxNodeDepth; ++i) path += ".not.child";
    expectRefused(nestedNots(kBPFFilterMaxNodeDepth + 1), Kind::dataCorrupted,
                  "Filter nodes are nested deeper than 64 levels.", path);
    // Deep JSON that is not even a tree is refused while parsing, before it is built in memory.
    const std::string brackets = std::string(1'000'000, '[') + std::string(1'000'000, ']');
    expectRefused(brackets, Kind::dataCorrupted, "The document nests deeper than 200 levels.");
}

}  // namespace
}  // namespace qor::test
