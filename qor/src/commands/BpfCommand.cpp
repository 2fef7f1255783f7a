// qor bpf: checks capture filter expressions and renders saved capture-filter trees.
//
//     qor bpf check EXPRESSION...      prints "valid", "empty" or "invalid: MESSAGE"
//     qor bpf render [--check] FILE    prints the expression of a saved tree (FILE "-" reads stdin)
//
// Exit status: 0 for valid and empty, 1 for invalid, 2 for a tree that cannot be read.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Command.hpp"
#include "QORModels/capturefilter/BPFFilterCoding.hpp"
#include "QORModels/capturefilter/BPFFilterValidator.hpp"

namespace {

/// The largest saved tree `render` reads. A filter tree is a few kilobytes; the cap keeps a
/// runaway input (a device, an endless pipe) from exhausting memory.
constexpr std::size_t kMaxTreeDocumentBytes = 16 * 1024 * 1024;

/// Prints the verdict on `expression` and ends with status 1 when it is invalid.
void reportValidation(const std::string& expression) {
    const auto result = qor::BPFFilterValidator::validate(expression);
    std::printf("%s\n", result.description().c_str());
    std::fflush(stdout);
    if (result.isInvalid()) throw qor::cli::CommandExit{1};
}

/// The whole of `in`, or a failure naming `label` when it is larger than the cap or unreadable.
std::string readAll(std::istream& in, const std::string& label) {
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxTreeDocumentBytes) {
            throw qor::cli::CommandFailure{2, label + ": larger than " + std::to_string(kMaxTreeDocumentBytes) +
                                                  " bytes, not a saved capture filter"};
        }
    }
    if (in.bad()) throw qor::cli::CommandFailure{2, label + ": cannot be read"};
    return text;
}

std::string readDocument(const std::string& path) {
    if (path == "-") return readAll(std::cin, "standard input");
    std::ifstream file(path, std::ios::binary);
    if (!file) throw qor::cli::CommandFailure{2, path + ": cannot be opened: " + std::strerror(errno)};
    return readAll(file, path);
}

void render(const std::string& path, bool check) {
    const std::string label = path == "-" ? "standard input" : path;
    qor::BPFFilterNode tree;
    try {
        tree = qor::decodeBPFFilterNode(readDocument(path));
    } catch (const qor::BPFFilterDecodingError& e) {
        throw qor::cli::CommandFailure{2, label + ": not a saved capture filter: " + e.description()};
    }
    const std::string expression = tree.rendered();
    std::printf("%s\n", expression.c_str());
    std::fflush(stdout);
    if (check) reportValidation(expression);
}

const qor::cli::CommandRegistration reg{[](CLI::App& app) {
    auto* bpf = app.add_subcommand("bpf", "Check capture filter expressions and render saved capture filters");
    bpf->require_subcommand(1);

    auto* check = bpf->add_subcommand(
        "check", "Compile a capture filter expression with libpcap (Ethernet) and print valid, empty or invalid: "
                 "MESSAGE; exits 1 when invalid");
    auto words = std::make_shared<std::vector<std::string>>();
    check->add_option("expression", *words, "The expression; several words are joined with spaces")
        ->required()
        ->expected(1, -1);
    check->callback([words] {
        std::string expression;
        for (const std::string& word : *words) {
            if (!expression.empty()) expression += ' ';
            expression += word;
        }
        reportValidation(expression);
    });

    auto* renderCommand = bpf->add_subcommand(
        "render", "Print the expression of a saved capture filter tree (JSON); FILE - reads standard input");
    auto file = std::make_shared<std::string>();
    auto alsoCheck = std::make_shared<bool>(false);
    renderCommand->add_option("file", *file, "The saved tree, or - for standard input")->required();
    renderCommand->add_flag("--check", *alsoCheck, "Also compile the expression and print the verdict");
    renderCommand->callback([file, alsoCheck] { render(*file, *alsoCheck); });
}};

}  // namespace
