#include "QorRunner.hpp"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <sstream>

#include "support/Fixtures.hpp"

namespace qor::test {

QorRun runQor(const std::string& args) {
    TempDir dir;
    std::string cmd = std::string(QOR_BINARY_DIR) + "/bin/qor " + args + " 2>" + (dir.path / "err").string();
    QorRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = readFile(dir.path / "err").toString();
    return r;
}

std::string fixture(const char* name) { return capturePath(name).string(); }

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) out.push_back(nlohmann::json::parse(line));
    return out;
}

}  // namespace qor::test
