// The error contract (docs/errors.md, the one complete list) names every
// text the library prints: each format handed to printf or to the message
// unit, each work-area name of the out-of-memory message and each reason of
// the eigen-solvers' fatal exit found in src/ must appear there word for
// word (escapes as in the source).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// String literals the library prints or puts into a printed message.
std::set<std::string> printed_texts() {
    const std::string lit = R"#("((?:[^"\\]|\\.)*)")#";
    const std::regex patterns[] = {
        std::regex(R"(\bprintf\(\s*)" + lit),
        std::regex(R"(\bfprintf\(\s*stderr,\s*)" + lit),
        std::regex(R"(\bemit\(\s*(?:linalg::)?Out::\w+,\s*)" + lit),
        std::regex(R"(\breport\(\s*Error::\w+,\s*Out::\w+,\s*)" + lit),
        std::regex(R"#(" ignored: ([^"]*)")#"),
        std::regex(R"(\b(?:fatal_numeric_error|report_no_memory)\(\s*)" + lit),
        std::regex(R"(\balloc_(?:work_matrix|work_vector|with_packing)\([^;"]*)" + lit),
        std::regex(R"(\bconst char\* const k\w+Error = )" + lit),
        std::regex(R"(\bconst char\* who = )" + lit),
    };
    std::set<std::string> texts;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(LINALG_SOURCE_DIR) / "src")) {
        if (e.path().extension() != ".cpp" || e.path().string().find("/emu/") != std::string::npos) continue;
        const std::string src = read_file(e.path());
        for (const auto& re : patterns)
            for (std::sregex_iterator it(src.begin(), src.end(), re), end; it != end; ++it)
                if ((*it)[1].str().find_first_not_of(' ') != std::string::npos) texts.insert((*it)[1].str());
    }
    return texts;
}

} // namespace

TEST(ErrorContract, EveryPrintedTextIsListed) {
    const std::set<std::string> texts = printed_texts();
    // The library prints at least its singular, OpenMP, memory, CUDA, device
    // and eigen-solver messages and the two prompts.
    EXPECT_GE(texts.size(), 12u);
    const std::string contract = read_file(fs::path(LINALG_SOURCE_DIR) / "docs" / "errors.md");
    ASSERT_FALSE(contract.empty()) << "docs/errors.md is missing";
    for (const std::string& t : texts)
        EXPECT_NE(contract.find(t), std::string::npos) << "not in docs/errors.md: " << t;
}
