// Fuzz target: a predicate format text read, printed, read again (it must come back equal and
// print the same), then evaluated against a small object. Nothing may crash, hang or leak;
// refusals are platform exceptions.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "QORPlatform/NSPredicate.hpp"

namespace {

/// Texts longer than this are read and printed but not evaluated: LIKE costs up to the product
/// of text and pattern lengths, and long inputs find nothing in evaluation that short ones do not.
constexpr std::size_t kMaxEvaluatedLength = 4096;

class Target final : public qor::NSObject {
public:
    [[nodiscard]] qor::Value valueForKey(std::string_view key) const override {
        if (key == "srcPort") return 443;
        if (key == "ratio") return 0.25;
        if (key == "length") return qor::Value(std::uint64_t{1500});
        if (key == "info") return "GET /Index.html HTTP/1.1";
        if (key == "city") return "Z\u00fcrich";
        if (key == "tags") return qor::Value::List{"tcp", "HTTP", 7};
        if (key == "seen") return qor::Date{1700000000};
        if (key == "peer") return qor::Value::ObjectRef(self_.lock());
        return qor::NSObject::valueForKey(key);
    }
    std::weak_ptr<qor::NSObject> self_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const qor::Value arguments[] = {"info", 443, 0.5, "Z\u00fcrich", qor::Value::List{1, "a"}};
    static const qor::SubstitutionVariables bindings = {{"value", 443}, {"needle", "index"}, {"list", qor::Value::List{80, 443}}};
    static const auto target = [] {
        auto t = std::make_shared<Target>();
        t->self_ = t;
        return t;
    }();

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    qor::NSPredicate::Ref predicate;
    try {
        predicate = qor::NSPredicate::predicateWithFormat(input, arguments);
    } catch (const qor::NSException&) {
        return 0;  // refused input is the expected outcome for most bytes
    }
    const std::string text = predicate->predicateFormat();
    qor::NSPredicate::Ref again;
    try {
        again = qor::NSPredicate::predicateWithFormat(text);
    } catch (const qor::NSException&) {
        __builtin_trap();  // a printed predicate must read back
    }
    if (!(*again == *predicate) || again->predicateFormat() != text) __builtin_trap();
    if (size <= kMaxEvaluatedLength) {
        try {
            (void)predicate->evaluateWithObject(qor::Value(std::static_pointer_cast<qor::NSObject>(target)), bindings);
            (void)predicate->predicateWithSubstitutionVariables(bindings)->evaluateWithObject(*target);
        } catch (const qor::NSException&) {
            // type clashes, bad patterns and unbound variables raise by design
        }
    }
    return 0;
}
