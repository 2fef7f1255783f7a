// The secure keyed unarchiver of the predicate family, walking the archived object graph that
// libplist reads from a binary property list.

#include "QORPlatform/NSKeyedUnarchiver.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/NSCompoundPredicate.hpp"
#include "BinaryPropertyListShape.hpp"

namespace qor {

namespace {

enum class Family { predicate, operatorObject, expression, array, string, date, null };

/// Where a class name sits in the platform's hierarchy: its family, the name itself and its
/// superclasses up to the family's root (the root object itself is left out).
struct KnownClass {
    Family family;
    std::array<std::string_view, 3> chain;
};

const std::map<std::string_view, KnownClass>& knownClasses() {
    static const std::map<std::string_view, KnownClass> table{
        {"NSPredicate", {Family::predicate, {"NSPredicate"}}},
        {"NSCompoundPredicate", {Family::predicate, {"NSCompoundPredicate", "NSPredicate"}}},
        {"NSComparisonPredicate", {Family::predicate, {"NSComparisonPredicate", "NSPredicate"}}},
        {"NSTruePredicate", {Family::predicate, {"NSTruePredicate", "NSPredicate"}}},
        {"NSFalsePredicate", {Family::predicate, {"NSFalsePredicate", "NSPredicate"}}},
        {"NSPredicateOperator", {Family::operatorObject, {"NSPredicateOperator"}}},
        {"NSComparisonPredicateOperator", {Family::operatorObject, {"NSComparisonPredicateOperator", "NSPredicateOperator"}}},
        {"NSStringPredicateOperator", {Family::operatorObject, {"NSStringPredicateOperator", "NSPredicateOperator"}}},
        {"NSEqualityPredicateOperator",
         {Family::operatorObject, {"NSEqualityPredicateOperator", "NSStringPredicateOperator", "NSPredicateOperator"}}},
        {"NSLikePredicateOperator",
         {Family::operatorObject, {"NSLikePredicateOperator", "NSStringPredicateOperator", "NSPredicateOperator"}}},
        {"NSSubstringPredicateOperator",
         {Family::operatorObject, {"NSSubstringPredicateOperator", "NSStringPredicateOperator", "NSPredicateOperator"}}},
        {"NSMatchingPredicateOperator",
         {Family::operatorObject, {"NSMatchingPredicateOperator", "NSStringPredicateOperator", "NSPredicateOperator"}}},
        {"NSInPredicateOperator", {Family::operatorObject, {"NSInPredicateOperator", "NSPredicateOperator"}}},
        {"NSBetweenPredicateOperator", {Family::operatorObject, {"NSBetweenPredicateOperator", "NSPredicateOperator"}}},
        {"NSExpression", {Family::expression, {"NSExpression"}}},
        {"NSConstantValueExpression", {Family::expression, {"NSConstantValueExpression", "NSExpression"}}},
        {"NSSelfExpression", {Family::expression, {"NSSelfExpression", "NSExpression"}}},
        {"NSVariableExpression", {Family::expression, {"NSVariableExpression", "NSExpression"}}},
        {"NSFunctionExpression", {Family::expression, {"NSFunctionExpression", "NSExpression"}}},
        {"NSKeyPathExpression", {Family::expression, {"NSKeyPathExpression", "NSFunctionExpression", "NSExpression"}}},
        {"NSArray", {Family::array, {"NSArray"}}},
        {"NSMutableArray", {Family::array, {"NSMutableArray", "NSArray"}}},
        {"NSString", {Family::string, {"NSString"}}},
        {"NSMutableString", {Family::string, {"NSMutableString", "NSString"}}},
        {"NSDate", {Family::date, {"NSDate"}}},
        {"NSNull", {Family::null, {"NSNull"}}},
    };
    return table;
}

[[noreturn]] void corrupt(const std::string& reason) { throw NSKeyedUnarchiverError(NSCoderReadCorruptError, reason); }

/// Owns the parsed property list.
struct PlistHolder {
    plist_t node = nullptr;
    PlistHolder() = default;
    PlistHolder(const PlistHolder&) = delete;
    PlistHolder& operator=(const PlistHolder&) = delete;
    ~PlistHolder() {
        if (node) plist_free(node);
    }
};

std::optional<std::string> plainString(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::uint64_t> uidOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_UID) return std::nullopt;
    std::uint64_t uid = 0;
    plist_get_uid_val(node, &uid);
    return uid;
}

/// Integers are unsigned in libplist; negative ones come back in two's complement.
std::optional<std::int64_t> integerOf(plist_t node) {
    if (!node) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return static_cast<std::int64_t>(v);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return v ? 1 : 0;
        }
        default: return std::nullopt;
    }
}

/// An operator object's fields.
struct OperatorFields {
    NSPredicateOperatorType type;
    NSComparisonPredicateModifier modifier;
    unsigned options;
};

/// Walks one archive. Objects are decoded once each and shared afterwards.
class Reader {
public:
    Reader(plist_t objects, const std::set<std::string, std::less<>>& allowed)
        : objects_(objects), allowed_(allowed), count_(plist_array_get_size(objects)), visiting_(count_, 0) {}

    NSPredicate::Ref rootPredicate(std::uint64_t uid) {
        if (uid == 0) return nullptr;
        plist_t node = object(uid);
        if (plist_get_node_type(node) != PLIST_DICT) return nullptr;  // a text, a number, ...
        const auto& [name, known] = classOf(node, "root");
        if (known.family != Family::predicate) return nullptr;
        checkAllowed(name, known, "root");
        return predicate(uid, 1);
    }

private:
    /// The archived object behind a reference; index 0 is `$null` (callers handle it first).
    plist_t object(std::uint64_t uid) const {
        if (uid >= count_) corrupt("The archive refers to object " + std::to_string(uid) + " of " + std::to_string(count_) + ".");
        return plist_array_get_item(objects_, static_cast<std::uint32_t>(uid));
    }

    /// The class name and hierarchy of an archived dictionary.
    std::pair<std::string, const KnownClass&> classOf(plist_t dict, std::string_view key) const {
        const auto classUID = uidOf(plist_dict_get_item(dict, "$class"));
        if (!classUID) corrupt("An archived object for key '" + std::string(key) + "' has no class reference.");
        plist_t description = object(*classUID);
        const auto name = plist_get_node_type(description) == PLIST_DICT
                              ? plainString(plist_dict_get_item(description, "$classname"))
                              : std::nullopt;
        if (!name) corrupt("The class description for key '" + std::string(key) + "' has no class name.");
        const auto it = knownClasses().find(*name);
        if (it == knownClasses().end()) {
            throw NSKeyedUnarchiverError(NSCoderValueNotFoundError, "value for key '" + std::string(key) +
                                                                        "' was of unexpected class '" + *name + "'");
        }
        return {*name, it->second};
    }

    void checkAllowed(const std::string& name, const KnownClass& known, std::string_view key) const {
        for (std::string_view ancestor : known.chain) {
            if (!ancestor.empty() && allowed_.contains(ancestor)) return;
        }
        throw NSKeyedUnarchiverError(NSCoderValueNotFoundError,
                                     "value for key '" + std::string(key) + "' was of unexpected class '" + name + "'");
    }

    /// Marks `uid` as being decoded for the scope, failing on a reference cycle or too deep a
    /// nesting.
    struct Visit {
        Visit(Reader& r, std::uint64_t uid, unsigned depth) : reader(r), index(uid) {
            if (depth > NSKeyedUnarchiver::kMaxKeyedArchiveDepth) {
                corrupt("The archive nests objects deeper than " + std::to_string(NSKeyedUnarchiver::kMaxKeyedArchiveDepth) + " levels.");
            }
            if (index >= reader.visiting_.size()) {
                corrupt("The archive refers to object " + std::to_string(uid) + " of " + std::to_string(reader.visiting_.size()) + ".");
            }
            if (reader.visiting_[index]) corrupt("The archive's object " + std::to_string(uid) + " contains itself.");
            reader.visiting_[index] = 1;
        }
        ~Visit() { reader.visiting_[index] = 0; }
        Visit(const Visit&) = delete;
        Visit& operator=(const Visit&) = delete;
        Reader& reader;
        std::uint64_t index;
    };

    /// An archived dictionary of the given family, with its class name.
    std::pair<plist_t, std::string> typed(std::uint64_t uid, Family family, std::string_view key, bool checkAllowList) {
        plist_t node = object(uid);
        if (plist_get_node_type(node) != PLIST_DICT) corrupt("The value for key '" + std::string(key) + "' is not an object.");
        const auto& [name, known] = classOf(node, key);
        if (known.family != family) {
            throw NSKeyedUnarchiverError(NSCoderValueNotFoundError,
                                         "value for key '" + std::string(key) + "' was of unexpected class '" + name + "'");
        }
        if (checkAllowList) checkAllowed(name, known, key);
        return {node, name};
    }

    std::uint64_t requiredUID(plist_t dict, const char* key) const {
        const auto uid = uidOf(plist_dict_get_item(dict, key));
        if (!uid) corrupt(std::string("The archived object has no reference under '") + key + "'.");
        return *uid;
    }

    std::int64_t requiredInteger(plist_t dict, const char* key) const {
        const auto v = integerOf(plist_dict_get_item(dict, key));
        if (!v) corrupt(std::string("The archived object has no integer under '") + key + "'.");
        return *v;
    }

    NSPredicate::Ref predicate(std::uint64_t uid, unsigned depth) {
        if (uid == 0) corrupt("A predicate is missing.");
        if (auto it = predicates_.find(uid); it != predicates_.end()) return it->second;
        Visit visit(*this, uid, depth);
        auto [node, name] = typed(uid, Family::predicate, "predicate", true);
        NSPredicate::Ref made;
        try {
            made = makePredicate(node, name, depth);
        } catch (const NSKeyedUnarchiverError&) {
            throw;
        } catch (const NSException& e) {
            corrupt("The archived " + name + " cannot be made: " + e.reason());
        }
        predicates_.emplace(uid, made);
        return made;
    }

    NSPredicate::Ref makePredicate(plist_t node, const std::string& name, unsigned depth) {
        if (name == "NSTruePredicate") return NSPredicate::predicateWithValue(true);
        if (name == "NSFalsePredicate") return NSPredicate::predicateWithValue(false);
        if (name == "NSCompoundPredicate") {
            const std::int64_t type = requiredInteger(node, "NSCompoundPredicateType");
            std::vector<NSPredicate::Ref> subpredicates;
            for (std::uint64_t item : array(requiredUID(node, "NSSubpredicates"), depth + 1, "NSSubpredicates")) {
                subpredicates.push_back(predicate(item, depth + 2));
            }
            if (type < 0 || type > 2) corrupt("Unknown compound predicate type " + std::to_string(type) + ".");
            if (type == 0 && subpredicates.size() != 1) {
                corrupt("A NOT predicate holds " + std::to_string(subpredicates.size()) + " subpredicates.");
            }
            return NSCompoundPredicate::compoundPredicateWithType(static_cast<NSCompoundPredicateType>(type), std::move(subpredicates));
        }
        if (name == "NSComparisonPredicate") {
            const OperatorFields op = operatorObject(requiredUID(node, "NSPredicateOperator"), depth + 1);
            auto left = expression(requiredUID(node, "NSLeftExpression"), depth + 1, "NSLeftExpression");
            auto right = expression(requiredUID(node, "NSRightExpression"), depth + 1, "NSRightExpression");
            return NSComparisonPredicate::predicateWithLeftExpression(std::move(left), std::move(right), op.modifier,
                                                                      op.type, op.options);
        }
        corrupt("An archived " + name + " is abstract.");
    }

    OperatorFields operatorObject(std::uint64_t uid, unsigned depth) {
        if (uid == 0) corrupt("A comparison has no operator.");
        Visit visit(*this, uid, depth);
        auto [node, name] = typed(uid, Family::operatorObject, "NSPredicateOperator", false);
        const std::int64_t type = requiredInteger(node, "NSOperatorType");
        // Every operator code but 11: a custom-selector comparison archives its selector in a
        // class of its own, which is not read.
        static constexpr std::array<std::int64_t, 13> kTypes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 99, 100};
        if (std::find(kTypes.begin(), kTypes.end(), type) == kTypes.end()) {
            corrupt("Unknown predicate operator type " + std::to_string(type) + ".");
        }
        const std::int64_t modifier = integerOf(plist_dict_get_item(node, "NSModifier")).value_or(0);
        if (modifier < 0 || modifier > 2) corrupt("Unknown comparison modifier " + std::to_string(modifier) + ".");
        const std::int64_t flags = integerOf(plist_dict_get_item(node, "NSFlags")).value_or(0);
        const unsigned options = static_cast<unsigned>(flags) &
                                 (NSCaseInsensitivePredicateOption | NSDiacriticInsensitivePredicateOption | NSNormalizedPredicateOption);
        return {static_cast<NSPredicateOperatorType>(type), static_cast<NSComparisonPredicateModifier>(modifier), options};
    }

    NSExpression::Ref expression(std::uint64_t uid, unsigned depth, std::string_view key) {
        if (uid == 0) corrupt("The expression under '" + std::string(key) + "' is missing.");
        if (auto it = expressions_.find(uid); it != expressions_.end()) return it->second;
        Visit visit(*this, uid, depth);
        auto [node, name] = typed(uid, Family::expression, key, true);
        NSExpression::Ref made;
        try {
            made = makeExpression(node, depth);
        } catch (const NSKeyedUnarchiverError&) {
            throw;
        } catch (const NSException& e) {
            corrupt("The archived " + name + " cannot be made: " + e.reason());
        }
        expressions_.emplace(uid, made);
        return made;
    }

    NSExpression::Ref makeExpression(plist_t node, unsigned depth) {
        const std::int64_t type = requiredInteger(node, "NSExpressionType");
        switch (type) {
            case 0: {
                const auto v = uidOf(plist_dict_get_item(node, "NSConstantValue"));
                return NSExpression::expressionForConstantValue(v ? value(*v, depth + 1) : Value());
            }
            case 1: return NSExpression::expressionForEvaluatedObject();
            case 2: {
                const auto variable = text(requiredUID(node, "NSVariable"), depth + 1);
                if (!variable) corrupt("A variable expression has no name.");
                return NSExpression::expressionForVariable(*variable);
            }
            case 3:
            case 4: return NSExpression::expressionForKeyPath(keyPath(node, depth));
            default: corrupt("Unsupported expression type " + std::to_string(type) + ".");
        }
    }

    /// The key of a key-path expression: `NSKeyPath`, or the "valueForKey:" function form.
    std::string keyPath(plist_t node, unsigned depth) {
        if (const auto uid = uidOf(plist_dict_get_item(node, "NSKeyPath"))) {
            if (auto path = text(*uid, depth + 1)) return *path;
            corrupt("A key-path expression's key path is not text.");
        }
        const auto selector = text(requiredUID(node, "NSSelectorName"), depth + 1);
        if (selector != "valueForKey:") corrupt("Unsupported function expression '" + selector.value_or("") + "'.");
        const auto operand = expression(requiredUID(node, "NSOperand"), depth + 1, "NSOperand");
        if (operand->expressionType() != NSExpressionType::evaluatedObject) corrupt("A key-path function is not applied to the evaluated object.");
        const auto arguments = array(requiredUID(node, "NSArguments"), depth + 1, "NSArguments");
        if (arguments.size() != 1) corrupt("A key-path function has " + std::to_string(arguments.size()) + " arguments.");
        const auto key = expression(arguments.front(), depth + 2, "NSArguments");
        if (key->expressionType() != NSExpressionType::constantValue || !key->constantValue().isString()) {
            corrupt("A key-path function's argument is not a constant text.");
        }
        return *key->constantValue().stringPtr();
    }

    /// The references of an archived array.
    std::vector<std::uint64_t> array(std::uint64_t uid, unsigned depth, std::string_view key) {
        if (uid == 0) corrupt("The array under '" + std::string(key) + "' is missing.");
        Visit visit(*this, uid, depth);
        auto [node, name] = typed(uid, Family::array, key, false);
        plist_t items = plist_dict_get_item(node, "NS.objects");
        if (!items || plist_get_node_type(items) != PLIST_ARRAY) corrupt("An archived " + name + " has no NS.objects.");
        const std::uint32_t size = plist_array_get_size(items);
        if (size > NSKeyedUnarchiver::kMaxKeyedArchiveValues) corrupt("An archived array holds " + std::to_string(size) + " items.");
        std::vector<std::uint64_t> out;
        out.reserve(size);
        for (std::uint32_t i = 0; i < size; ++i) {
            const auto item = uidOf(plist_array_get_item(items, i));
            if (!item) corrupt("An item of an archived array is not a reference.");
            out.push_back(*item);
        }
        return out;
    }

    /// A text written inline or as an NSString object; nothing for nil or another kind.
    std::optional<std::string> text(std::uint64_t uid, unsigned depth) {
        if (uid == 0) return std::nullopt;
        const Value v = value(uid, depth);
        if (!v.isString()) return std::nullopt;
        return v.asString();
    }

    /// A constant: inline property-list values, texts, dates, arrays of constants, NSNull.
    Value value(std::uint64_t uid, unsigned depth) {
        if (uid == 0) return Value();
        if (auto it = values_.find(uid); it != values_.end()) {
            spend(it->second.second);
            return it->second.first;
        }
        Visit visit(*this, uid, depth);
        plist_t node = object(uid);
        Value made;
        std::size_t size = 1;
        switch (plist_get_node_type(node)) {
            case PLIST_STRING: {
                auto s = plainString(node);
                if (!s) corrupt("An archived text cannot be read.");
                made = Value(std::move(*s));
                break;
            }
            case PLIST_BOOLEAN: {
                std::uint8_t b = 0;
                plist_get_bool_val(node, &b);
                made = Value(b != 0);
                break;
            }
            case PLIST_UINT: made = Value(*integerOf(node)); break;
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(node, &d);
                made = Value(d);
                break;
            }
            case PLIST_DATE: {
                std::int32_t sec = 0, usec = 0;
                plist_get_date_val(node, &sec, &usec);
                made = Value(Date{static_cast<double>(sec) + usec / 1e6 + 978307200.0});
                break;
            }
            case PLIST_DATA: {
                std::uint64_t length = 0;
                const char* bytes = plist_get_data_ptr(node, &length);
                made = Value(Data::copy(std::as_bytes(std::span(bytes, static_cast<std::size_t>(length)))));
                break;
            }
            case PLIST_DICT: {
                const auto& [name, known] = classOf(node, "NSConstantValue");
                switch (known.family) {
                    case Family::string: {
                        auto s = plainString(plist_dict_get_item(node, "NS.string"));
                        if (!s) corrupt("An archived " + name + " has no NS.string.");
                        made = Value(std::move(*s));
                        break;
                    }
                    case Family::date: {
                        plist_t time = plist_dict_get_item(node, "NS.time");
                        if (!time || plist_get_node_type(time) != PLIST_REAL) corrupt("An archived NSDate has no NS.time.");
                        double seconds = 0;
                        plist_get_real_val(time, &seconds);
                        made = Value(Date{seconds + 978307200.0});
                        break;
                    }
                    case Family::null: break;
                    case Family::array: {
                        Value::List list;
                        for (std::uint64_t item : array(uid, depth, "NSConstantValue")) {
                            list.push_back(value(item, depth + 1));
                        }
                        size += list.size();
                        made = Value(std::move(list));
                        break;
                    }
                    default:
                        throw NSKeyedUnarchiverError(NSCoderValueNotFoundError,
                                                     "value for key 'NSConstantValue' was of unexpected class '" + name + "'");
                }
                break;
            }
            default: corrupt("A constant of an unsupported property-list type.");
        }
        spend(size);
        values_.emplace(uid, std::make_pair(made, size));
        return made;
    }

    void spend(std::size_t values) {
        spent_ += values;
        if (spent_ > NSKeyedUnarchiver::kMaxKeyedArchiveValues) {
            corrupt("The archive's constants hold more than " + std::to_string(NSKeyedUnarchiver::kMaxKeyedArchiveValues) + " values.");
        }
    }

    plist_t objects_;
    const std::set<std::string, std::less<>>& allowed_;
    std::uint64_t count_;
    std::vector<char> visiting_;
    std::map<std::uint64_t, NSPredicate::Ref> predicates_;
    std::map<std::uint64_t, NSExpression::Ref> expressions_;
    std::map<std::uint64_t, std::pair<Value, std::size_t>> values_;
    std::size_t spent_ = 0;
};

}  // namespace

NSPredicate::Ref NSKeyedUnarchiver::unarchivedPredicateOfClasses(const std::set<std::string, std::less<>>& allowedClasses,
                                                                  std::span<const std::byte> data) {
    static constexpr std::string_view kBinaryMagic = "bplist00";
    if (data.size() > kMaxKeyedArchiveBytes) {
        corrupt("The archive is larger than " + std::to_string(kMaxKeyedArchiveBytes) + " bytes.");
    }
    if (data.size() < kBinaryMagic.size() ||
        std::string_view(reinterpret_cast<const char*>(data.data()), kBinaryMagic.size()) != kBinaryMagic) {
        corrupt("The data is not a binary property list.");
    }
    // A keyed archive nests containers four deep ($objects, an object, its NS.objects); anything
    // much deeper is refused before libplist, which recurses, sees it.
    if (auto fault = binaryPropertyListShapeFault(data, kMaxPropertyListNesting)) corrupt(*fault);
    PlistHolder root;
    plist_from_bin(reinterpret_cast<const char*>(data.data()), static_cast<std::uint32_t>(data.size()), &root.node);
    if (!root.node) corrupt("The data couldn't be read because it isn't in the correct format.");
    if (plist_get_node_type(root.node) != PLIST_DICT) corrupt("The property list is not a keyed archive.");
    if (plainString(plist_dict_get_item(root.node, "$archiver")) != "NSKeyedArchiver") {
        corrupt("The property list is not a keyed archive (no $archiver NSKeyedArchiver).");
    }
    plist_t top = plist_dict_get_item(root.node, "$top");
    plist_t objects = plist_dict_get_item(root.node, "$objects");
    if (!top || plist_get_node_type(top) != PLIST_DICT || !objects || plist_get_node_type(objects) != PLIST_ARRAY) {
        corrupt("The keyed archive lacks $top or $objects.");
    }
    const auto rootUID = uidOf(plist_dict_get_item(top, "root"));
    if (!rootUID) corrupt("The keyed archive has no root object.");
    Reader reader(objects, allowedClasses);
    return reader.rootPredicate(*rootUID);
}

}  // namespace qor
