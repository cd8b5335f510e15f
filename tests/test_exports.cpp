// The dynamic symbol table of liblinalg.so holds exactly the 89 functions of
// the three classes of linalg.h and the members of LinearAlgebra::Diagnostics
// (linalg_diag.h), with the parameter types of the public headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace {

std::set<std::string> run_lines(const std::string& cmd) {
    std::set<std::string> lines;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return lines;
    char buf[1024];
    while (fgets(buf, sizeof buf, p)) {
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (!s.empty()) lines.insert(s);
    }
    pclose(p);
    return lines;
}

std::set<std::string> expected() {
    std::set<std::string> names;
    std::ifstream in(std::string(LINALG_SOURCE_DIR) + "/tests/exports.txt");
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) names.insert(line);
    return names;
}

// Defined dynamic symbols, demangled, without the symbol type and address.
std::set<std::string> exported() {
    return run_lines(std::string("nm -D --defined-only -C ") + LINALG_SHARED_LIB +
                     " | cut -d' ' -f3-");
}

} // namespace

TEST(Exports, ExpectedListHas89FunctionsAndTheDiagnostics) {
    const auto names = expected();
    ASSERT_EQ(names.size(), 97u);
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const std::string& s) { return s.rfind("LinearAlgebra::LA::", 0) == 0; }),
              76);
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const std::string& s) { return s.rfind("ConsoleFunctions::CRT::", 0) == 0; }),
              9);
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const std::string& s) { return s.rfind("ConsoleFunctions::RS232::", 0) == 0; }),
              4);
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const std::string& s) { return s.rfind("LinearAlgebra::Diagnostics::", 0) == 0; }),
              8);
}

TEST(Exports, DynamicSymbolTableIsExactlyTheExportList) {
    const auto want = expected();
    const auto have = exported();
    for (const auto& s : have) EXPECT_TRUE(want.count(s)) << "unexpected export: " << s;
    for (const auto& s : want) EXPECT_TRUE(have.count(s)) << "missing export: " << s;
}

TEST(Exports, StaticMemberManglingOfOneFunctionPerClass) {
    const auto raw = run_lines(std::string("nm -D --defined-only ") + LINALG_SHARED_LIB + " | cut -d' ' -f3-");
    EXPECT_TRUE(raw.count("_ZN13LinearAlgebra2LA5CopyVEPdiS1_"));
    EXPECT_TRUE(raw.count("_ZN16ConsoleFunctions3CRT6gotoxyEii"));
    EXPECT_TRUE(raw.count("_ZN16ConsoleFunctions5RS2328SendByteEhhj"));
    EXPECT_TRUE(raw.count("_ZN13LinearAlgebra11Diagnostics6ReportENS_5ErrorEPKc"));
}

// The per-thread status is trivially destructible: the library registers no
// destructor per thread.
TEST(Exports, NoThreadExitDestructors) {
    const auto undefined = run_lines(std::string("nm -D --undefined-only ") + LINALG_SHARED_LIB + " | awk '{print $2}'");
    ASSERT_FALSE(undefined.empty());
    for (const auto& s : undefined) EXPECT_EQ(s.find("__cxa_thread_atexit"), std::string::npos) << s;
}
