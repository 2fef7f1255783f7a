#pragma once
// The plug-in's table of analyzer families, filled by each analyzer's file when the library loads.

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "QORDependencies/Records.hpp"

namespace qor::standard {

/// One analyzer class with what it registers: its protocols (with their ports, ether types or
/// link types), its attributes and its columns. The principal class turns each family into one
/// plug-in structure.
struct AnalyzerFamily {
    std::string title;
    std::string description;
    AnalyzerClassRef analyzerClass;
    std::vector<QORPlugInNetworkProtocol> protocols;
    std::vector<QORPlugInAnalyzerAttribute> attributes;
    std::vector<QORPlugInColumn> columns;
};

/// The families of this plug-in, in registration order. Filled by static `FamilyRegistration`
/// objects while the shared library loads (one thread), read afterwards.
class AnalyzerCatalog {
public:
    static AnalyzerCatalog& shared();
    void add(std::function<AnalyzerFamily()> make) { makers_.push_back(std::move(make)); }
    /// Builds every family afresh (new ids each time).
    [[nodiscard]] std::vector<AnalyzerFamily> families() const;

private:
    std::vector<std::function<AnalyzerFamily()>> makers_;
};

/// Declares a family at load time: `static const FamilyRegistration reg{[] { return AnalyzerFamily{...}; }};`
///
/// A family is built once, while the plug-in registers, and never again on the packets' path.
/// A family given as a lambda without captures is built by a cold function, so that its code
/// (a fifth of the plug-in's, in one function per family) is laid out with the other code run
/// once, away from the analyzers: loading the plug-in then maps a few pages of it rather than
/// one page or more beside each analyzer. A family that captures state goes through
/// `std::function` as it is.
struct FamilyRegistration {
    template <class Make>
        requires std::is_empty_v<Make> && std::is_default_constructible_v<Make>
    explicit FamilyRegistration(Make) {
        AnalyzerCatalog::shared().add(&build<Make>);
    }
    explicit FamilyRegistration(std::function<AnalyzerFamily()> make) { AnalyzerCatalog::shared().add(std::move(make)); }

private:
    template <class Make>
    [[gnu::cold]] static AnalyzerFamily build() {
        return Make{}();
    }
};

}  // namespace qor::standard
