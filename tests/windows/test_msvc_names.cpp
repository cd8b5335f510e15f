// The DLL's exports under the names Visual C++ gives the declarations: every
// name resolves with GetProcAddress to the function the GCC name resolves
// to, and one function of each group, called through its MSVC name, gives
// the bits of the direct call.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <windows.h>

#include "linalg.h"

using LinearAlgebra::LA;
using ConsoleFunctions::CRT;
using ConsoleFunctions::RS232;

namespace {

struct NamePair {
    const char* msvc;
    const char* gcc;
};

// Generated from the header at build time (cmake/msvc_names.py).
const NamePair kNames[] = {
#include "msvc_names.inc"
};

HMODULE dll() {
    static HMODULE h = LoadLibraryA(LINALG_SHARED_LIB);
    return h;
}

// The function behind an MSVC name, as a pointer of the declared type.
template <typename Fn>
Fn by_msvc_name(const char* fragment) {
    for (const NamePair& n : kNames)
        if (std::strncmp(n.msvc, fragment, std::strlen(fragment)) == 0)
            return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll(), n.msvc)));
    return nullptr;
}

std::vector<double> random_values(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = d(gen);
    return v;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(MsvcNames, EveryNameResolvesToTheFunctionOfItsGccName) {
    ASSERT_NE(dll(), nullptr) << LINALG_SHARED_LIB;
    int la = 0, crt = 0, rs232 = 0;
    for (const NamePair& n : kNames) {
        const FARPROC msvc = GetProcAddress(dll(), n.msvc), gcc = GetProcAddress(dll(), n.gcc);
        EXPECT_NE(msvc, nullptr) << n.msvc;
        EXPECT_EQ(msvc, gcc) << n.msvc << " = " << n.gcc;
        const std::string name = n.msvc;
        la += name.find("@LA@LinearAlgebra@@") != std::string::npos;
        crt += name.find("@CRT@ConsoleFunctions@@") != std::string::npos;
        rs232 += name.find("@RS232@ConsoleFunctions@@") != std::string::npos;
    }
    // 76 + 9 + 4 declarations; MT_u32 and MT_i31 also under the names their
    // <cstdint> types get in a Visual C++ program.
    EXPECT_EQ(la, 76 + 2);
    EXPECT_EQ(crt, 9);
    EXPECT_EQ(rs232, 4);
    EXPECT_NE(GetProcAddress(dll(), "?MT_u32@LA@LinearAlgebra@@SAKXZ"), nullptr);  // unsigned long
    EXPECT_NE(GetProcAddress(dll(), "?MT_i31@LA@LinearAlgebra@@SAJXZ"), nullptr);  // long
}

TEST(MsvcNames, OneFunctionOfEachGroupGivesTheBitsOfTheDirectCall) {
    ASSERT_NE(dll(), nullptr);
    const int n = 40;
    auto A = random_values(n * n, 1), B = random_values(n * n, 2), b = random_values(n, 3);
    std::vector<double> want(n * n), got(n * n);

    // initialisers
    auto init_omp = by_msvc_name<int (*)(int)>("?Init_openMP@");
    ASSERT_NE(init_omp, nullptr);
    EXPECT_EQ(init_omp(2), LA::Init_openMP(2));
    // vector operations
    auto dot = by_msvc_name<double (*)(double*, double*, int)>("?DotVV@");
    ASSERT_NE(dot, nullptr);
    const double d_want = LA::DotVV(A.data(), B.data(), n * n), d_got = dot(A.data(), B.data(), n * n);
    EXPECT_EQ(std::memcmp(&d_want, &d_got, sizeof d_got), 0);
    // matrix operations, the OpenMP and the GPU variant
    using Product = void (*)(double*, int, int, double*, int, double*);
    for (const char* name : {"?MultiplyMM@", "?MultiplyMM1@", "?MultiplyMM2@"}) {
        auto mm = by_msvc_name<Product>(name);
        ASSERT_NE(mm, nullptr) << name;
        const Product direct = name[11] == '@' ? Product(&LA::MultiplyMM) : name[11] == '1' ? Product(&LA::MultiplyMM1) : Product(&LA::MultiplyMM2);
        direct(A.data(), n, n, B.data(), n, want.data());
        mm(A.data(), n, n, B.data(), n, got.data());
        EXPECT_TRUE(same_bits(want, got)) << name;
    }
    // solvers, inverse and determinant
    auto solve = by_msvc_name<void (*)(double*, double*, double*, int)>("?SolveLSE@");
    ASSERT_NE(solve, nullptr);
    std::vector<double> x_want(n), x_got(n);
    LA::SolveLSE(A.data(), b.data(), x_want.data(), n);
    solve(A.data(), b.data(), x_got.data(), n);
    EXPECT_TRUE(same_bits(x_want, x_got));
    auto det = by_msvc_name<double (*)(double*, int)>("?DeterminantMsq@");
    ASSERT_NE(det, nullptr);
    const double det_want = LA::DeterminantMsq(A.data(), n), det_got = det(A.data(), n);
    EXPECT_EQ(std::memcmp(&det_want, &det_got, sizeof det_got), 0);
    // eigen-solvers
    auto eig = by_msvc_name<void (*)(double*, int, double*, double*)>("?EigenSymmSystemMsqH@");
    ASSERT_NE(eig, nullptr);
    std::vector<double> S(n * n), e_want(n), e_got(n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) S[i * n + j] = A[i * n + j] + A[j * n + i];
    auto S2 = S;
    LA::EigenSymmSystemMsqH(S.data(), n, e_want.data(), want.data());
    eig(S2.data(), n, e_got.data(), got.data());
    EXPECT_TRUE(same_bits(e_want, e_got));
    EXPECT_TRUE(same_bits(want, got));
    // random numbers: the same sequence after the same seeding
    auto u32 = by_msvc_name<unsigned long (*)()>("?MT_u32@LA@LinearAlgebra@@SAKXZ");
    auto gauss = by_msvc_name<double (*)(double, double)>("?MT_Gauss64@");
    ASSERT_NE(u32, nullptr);
    ASSERT_NE(gauss, nullptr);
    std::vector<double> r_want, r_got;
    LA::Init_MT();
    for (int i = 0; i < 4; ++i) r_want.push_back(static_cast<double>(LA::MT_u32())), r_want.push_back(LA::MT_Gauss64(1, 2));
    LA::Init_MT();
    for (int i = 0; i < 4; ++i) r_got.push_back(static_cast<double>(u32())), r_got.push_back(gauss(1, 2));
    EXPECT_TRUE(same_bits(r_want, r_got));
    // console: without a console the attribute call changes nothing and returns
    auto text_default = by_msvc_name<void (*)()>("?SetTextDefault@");
    ASSERT_NE(text_default, nullptr);
    text_default();
    // serial port: a port number outside 1..20 is an argument error
    auto send = by_msvc_name<int (*)(unsigned char, unsigned char, unsigned int)>("?SendByte@");
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(send(65, 21, 9600), RS232::SendByte(65, 21, 9600));
    EXPECT_EQ(send(65, 21, 9600), -2);
}

} // namespace
