#include "QORPlatform/NSExpression.hpp"

#include <atomic>
#include <mutex>

#include "PredicateFormatText.hpp"
#include "PredicateOperators.hpp"
#include "QORPlatform/KeyReader.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/NSPredicate.hpp"

namespace qor {

using predicate_operators::raise;

/// The readers a key path has resolved for its first key. The one in use is published through
/// an atomic pointer; every reader ever published is kept until the expression goes, so a
/// thread may go on reading through one another thread has just replaced. A reader is replaced
/// when it stops serving the objects met (another class of object, or what it was resolved
/// against was replaced); after `kMaxReaders` replacements the expression stops resolving and
/// reads the objects no kept reader serves by name.
struct NSExpression::KeyReaderCache {
    static constexpr std::size_t kMaxReaders = 16;
    std::atomic<const KeyReader*> current{nullptr};
    std::atomic<bool> exhausted{false};
    std::mutex lock;  // held to keep a reader
    std::vector<std::shared_ptr<const KeyReader>> kept;

    /// Keeps `reader`, which serves `object`, as the one in use, unless the one in use serves
    /// `object` too (another thread resolved the same key at the same time).
    void keep(std::shared_ptr<const KeyReader> reader, const NSObject& object) {
        std::lock_guard guard(lock);
        if (const KeyReader* inUse = current.load(std::memory_order_relaxed)) {
            Value probe;
            if (inUse->read(object, probe)) return;
        }
        if (kept.size() >= kMaxReaders) {
            exhausted.store(true, std::memory_order_relaxed);
            return;
        }
        kept.push_back(std::move(reader));
        current.store(kept.back().get(), std::memory_order_release);
    }
};

NSExpression::NSExpression(Key, NSExpressionType type) : type_(type) {
    if (type_ == NSExpressionType::keyPath) readers_ = std::make_unique<KeyReaderCache>();
}

NSExpression::~NSExpression() = default;

void NSExpression::readFirstKey(const NSObject& object, Value& out) const {
    KeyReaderCache& cache = *readers_;
    if (const KeyReader* reader = cache.current.load(std::memory_order_acquire); reader && reader->read(object, out)) return;
    if (!cache.exhausted.load(std::memory_order_relaxed)) {
        if (auto fresh = KeyReaders::resolve(object, components_[0]); fresh && fresh->read(object, out)) {
            cache.keep(std::move(fresh), object);
            return;
        }
    }
    out = object.valueForKey(components_[0]);
}

NSExpression::Ref NSExpression::expressionForConstantValue(Value value) {
    if (const Value::List* list = value.asList()) {
        std::vector<Ref> elements;
        elements.reserve(list->size());
        for (const Value& v : *list) elements.push_back(expressionForConstantValue(v));
        return expressionForAggregate(std::move(elements));
    }
    auto e = std::make_shared<NSExpression>(Key(), NSExpressionType::constantValue);
    e->value_ = std::move(value);
    return e;
}

NSExpression::Ref NSExpression::expressionForKeyPath(std::string_view keyPath) {
    if (!predicate_format::isKeyPath(keyPath)) raise("Invalid key path \"" + std::string(keyPath) + "\"");
    auto e = std::make_shared<NSExpression>(Key(), NSExpressionType::keyPath);
    e->text_ = keyPath;
    for (std::size_t start = 0;;) {
        const std::size_t dot = keyPath.find('.', start);
        e->components_.emplace_back(keyPath.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return e;
}

NSExpression::Ref NSExpression::expressionForVariable(std::string_view name) {
    if (!predicate_format::isName(name)) raise("Invalid variable name \"" + std::string(name) + "\"");
    auto e = std::make_shared<NSExpression>(Key(), NSExpressionType::variable);
    e->text_ = name;
    return e;
}

NSExpression::Ref NSExpression::expressionForEvaluatedObject() {
    static const Ref self = std::make_shared<NSExpression>(Key(), NSExpressionType::evaluatedObject);
    return self;
}

NSExpression::Ref NSExpression::expressionForAggregate(std::vector<Ref> elements) {
    auto e = std::make_shared<NSExpression>(Key(), NSExpressionType::aggregate);
    bool constant = true;
    unsigned deepest = 0;
    for (const Ref& element : elements) {
        if (!element) raise("An aggregate expression cannot hold a missing expression");
        constant = constant && (element->type_ == NSExpressionType::constantValue || element->constantAggregate_);
        deepest = std::max(deepest, element->depth_);
    }
    if (deepest + 1 > kMaxPredicateDepth) raise("Expression nested too deeply");
    e->depth_ = deepest + 1;
    if (constant) {
        Value::List values;
        values.reserve(elements.size());
        for (const Ref& element : elements) values.push_back(element->value_);
        e->value_ = std::move(values);
        e->constantAggregate_ = true;
    }
    e->elements_ = std::move(elements);
    return e;
}

Value valueForKeyPathComponents(Value start, const std::vector<std::string>& components, std::size_t first) {
    Value current = std::move(start);
    for (std::size_t i = first; i < components.size() && !current.isNone(); ++i) {
        const std::string& key = components[i];
        // The object is borrowed from `current` until its answer replaces it: no reference count
        // is touched, which keeps threads that read the same objects from contending.
        if (auto* object = std::get_if<Value::ObjectRef>(&current.storage())) {
            Value answer = *object ? (*object)->valueForKey(key) : Value();
            current = std::move(answer);
        } else if (const Value::List* list = current.asList()) {
            Value::List answers;
            answers.reserve(list->size());
            for (const Value& element : *list) answers.push_back(valueForKeyPathComponents(element, components, i));
            return answers;
        } else if (key == "description") {
            current = current.description();
        } else {
            return {};
        }
    }
    return current;
}

const Value& NSExpression::evaluate(const PredicateEvaluationContext& context, Value& scratch) const {
    static const Value kNone;
    switch (type_) {
        case NSExpressionType::constantValue: return value_;
        case NSExpressionType::evaluatedObject:
            if (context.self) return *context.self;
            // An object given by reference is SELF when it lives in a shared pointer.
            if (context.object) scratch = std::const_pointer_cast<NSObject>(context.object->weak_from_this().lock());
            return scratch;
        case NSExpressionType::keyPath:
            if (context.object && components_.size() == 1) {
                readFirstKey(*context.object, scratch);  // the common case, without copies
            } else if (context.object) {
                Value head;
                readFirstKey(*context.object, head);
                scratch = valueForKeyPathComponents(std::move(head), components_, 1);
            } else {
                scratch = valueForKeyPathComponents(context.self ? *context.self : kNone, components_);
            }
            return scratch;
        case NSExpressionType::variable:
            if (context.bindings) {
                if (auto it = context.bindings->find(text_); it != context.bindings->end()) return it->second;
            }
            raise("Can't get value for '" + text_ + "' in bindings");
        case NSExpressionType::aggregate: {
            if (constantAggregate_) return value_;
            Value::List values;
            values.reserve(elements_.size());
            for (const Ref& element : elements_) {
                Value elementScratch;
                values.push_back(element->evaluate(context, elementScratch));
            }
            scratch = std::move(values);
            return scratch;
        }
    }
    return kNone;
}

NSExpression::Ref NSExpression::substituting(const SubstitutionVariables& variables) const {
    switch (type_) {
        case NSExpressionType::variable:
            if (auto it = variables.find(text_); it != variables.end()) return expressionForConstantValue(it->second);
            return expressionForVariable(text_);
        case NSExpressionType::aggregate: {
            std::vector<Ref> elements;
            elements.reserve(elements_.size());
            for (const Ref& element : elements_) elements.push_back(element->substituting(variables));
            return expressionForAggregate(std::move(elements));
        }
        default: {
            auto copy = std::make_shared<NSExpression>(Key(), type_);
            copy->value_ = value_;
            copy->text_ = text_;
            copy->components_ = components_;
            return copy;
        }
    }
}

std::string NSExpression::format() const {
    switch (type_) {
        case NSExpressionType::constantValue: return predicate_format::constant(value_);
        case NSExpressionType::evaluatedObject: return "SELF";
        case NSExpressionType::variable: return "$" + text_;
        case NSExpressionType::keyPath: {
            std::string out;
            for (std::size_t i = 0; i < components_.size(); ++i) {
                if (i) out += '.';
                out += predicate_format::escapedName(components_[i]);
            }
            return out;
        }
        case NSExpressionType::aggregate: {
            std::string out = "{";
            for (std::size_t i = 0; i < elements_.size(); ++i) out += (i ? ", " : "") + elements_[i]->format();
            return out + "}";
        }
    }
    return {};
}

bool operator==(const NSExpression& a, const NSExpression& b) {
    if (a.type_ != b.type_) return false;
    switch (a.type_) {
        case NSExpressionType::constantValue: return a.value_ == b.value_;
        case NSExpressionType::evaluatedObject: return true;
        case NSExpressionType::keyPath:
        case NSExpressionType::variable: return a.text_ == b.text_;
        case NSExpressionType::aggregate:
            if (a.elements_.size() != b.elements_.size()) return false;
            for (std::size_t i = 0; i < a.elements_.size(); ++i) {
                if (!(*a.elements_[i] == *b.elements_[i])) return false;
            }
            return true;
    }
    return false;
}

}  // namespace qor
