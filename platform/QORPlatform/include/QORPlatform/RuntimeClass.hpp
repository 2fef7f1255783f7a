#pragma once
// Classes as run-time objects, looked up by name: the stand-in for a plug-in's principal class.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qor {

/// A class known at run time: a name, a superclass, and whatever interfaces a subclass of this
/// type adds (tested with dynamic_cast). Plug-ins register their classes in `ClassRegistry` when
/// their shared library is loaded.
class RuntimeClass {
public:
    virtual ~RuntimeClass();
    [[nodiscard]] virtual std::string_view name() const = 0;
    [[nodiscard]] virtual const RuntimeClass* superclass() const { return nullptr; }
    /// Whether instances derive from the root object class.
    [[nodiscard]] virtual bool isSubclassOfRoot() const { return true; }
    /// True when this class is `other` or inherits from it.
    [[nodiscard]] bool isSubclassOf(const RuntimeClass& other) const;
};

/// Process-wide table of classes by name. Thread-safe.
class ClassRegistry {
public:
    static ClassRegistry& shared();
    /// Registers a class under its name; a later registration of the same name replaces it.
    void registerClass(std::shared_ptr<const RuntimeClass> cls);
    void unregisterClass(std::string_view name);
    [[nodiscard]] std::shared_ptr<const RuntimeClass> classNamed(std::string_view name) const;
    [[nodiscard]] std::vector<std::string> classNames() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const RuntimeClass>> classes_;
};

}  // namespace qor
