// The version macros of the public header against the project version that
// CMakeLists.txt declares, and the SONAME of the built library.
#include "linalg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string project_version() {
    std::ifstream f(std::string(LINALG_SOURCE_DIR) + "/CMakeLists.txt");
    std::stringstream text;
    text << f.rdbuf();
    std::smatch m;
    const std::string s = text.str();
    const std::regex re(R"(project\s*\(\s*linalg\b[^)]*\bVERSION\s+([0-9]+\.[0-9]+\.[0-9]+))");
    return std::regex_search(s, m, re) ? m[1].str() : std::string();
}

} // namespace

TEST(Version, MacrosEqualTheProjectVersion) {
    const std::string declared = project_version();
    ASSERT_FALSE(declared.empty()) << "no project(linalg VERSION x.y.z) in CMakeLists.txt";
    const std::string from_parts = std::to_string(LINALG_VERSION_MAJOR) + "." + std::to_string(LINALG_VERSION_MINOR) +
                                   "." + std::to_string(LINALG_VERSION_PATCH);
    EXPECT_EQ(declared, from_parts);
    EXPECT_EQ(declared, LINALG_VERSION_STRING);
    EXPECT_EQ(LINALG_VERSION, LINALG_VERSION_MAJOR * 10000 + LINALG_VERSION_MINOR * 100 + LINALG_VERSION_PATCH);
    static_assert(LINALG_VERSION_MINOR < 100 && LINALG_VERSION_PATCH < 100, "LINALG_VERSION would be ambiguous");
}

// The SONAME carries the major version: liblinalg.so.<major>.
TEST(Version, SonameCarriesTheMajorVersion) {
#ifdef _WIN32
    GTEST_SKIP() << "a DLL has no SONAME (ELF only)";
#endif
    const std::string cmd = std::string("objdump -p '") + LINALG_SHARED_LIB + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ASSERT_EQ(pclose(p), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(SONAME\s+(\S+))")));
    EXPECT_EQ(m[1].str(), "liblinalg.so." + std::to_string(LINALG_VERSION_MAJOR));
}
