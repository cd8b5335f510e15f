// linalgbits._core: the library's solvers, products, eigen-solvers and
// Mersenne Twister on C-contiguous float64 arrays. The Python layer
// (linalgbits/__init__.py) checks and converts the arguments; this module
// checks the shapes again, allocates the outputs, releases the GIL, runs the
// library's functions (one call per matrix of a batch, spread over threads)
// and turns a failure into an exception.
#include <linalg.h>
#include <linalg_diag.h>
#include "random/mt19937.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace nb = nanobind;
using LinearAlgebra::Diagnostics;
using LinearAlgebra::Error;
using LinearAlgebra::LA;

namespace {

using In = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Array = nb::object;

// ---- messages and failures ----------------------------------------------------

// The library hands every message to this handler in the thread that made
// the failing call; each thread collects its own.
thread_local std::string t_message;
void collect_message(const char* text, void*) { t_message += text; }

// The Python exception classes of the three numerical failures (set once by
// the Python layer at import). Kept for the life of the process.
PyObject* g_singular = nullptr;
PyObject* g_not_converged = nullptr;
PyObject* g_non_finite = nullptr;

// The failure of the lowest-numbered matrix of a batch that failed.
struct Outcome {
    std::mutex mu;
    size_t index = SIZE_MAX;
    bool batch = false;  // more than one matrix: the message names the one
    Error error = Error::None;
    std::string message;

    // Called right after a library call in the thread that made it.
    void note(size_t i, Error e) {
        if (e == Error::None) return;
        std::lock_guard<std::mutex> lock(mu);
        if (i < index) index = i, error = e, message = t_message;
    }
    // With the GIL held: raises the failure, if any.
    void raise(const char* fallback_context) const {
        if (error == Error::None) return;
        std::string text = message;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        while (!text.empty() && text.front() == '\n') text.erase(0, 1);
        if (text.empty()) text = std::string(fallback_context) + ": " + Diagnostics::ErrorName(error);
        if (batch) text += " (matrix " + std::to_string(index) + " of the batch)";
        PyObject* type = PyExc_RuntimeError;
        switch (error) {
        case Error::Singular: type = g_singular; break;
        case Error::NotConverged: type = g_not_converged; break;
        case Error::NonFinite: type = g_non_finite; break;
        case Error::NoMemory: type = PyExc_MemoryError; break;
        default: break;
        }
        if (!type) type = PyExc_RuntimeError;
        PyErr_SetString(type, text.c_str());
        throw nb::python_error();
    }
};

// ---- threads -------------------------------------------------------------------

int hardware_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(std::min(n, 1024u));
}
std::atomic<int> g_threads{hardware_threads()};

int threads_for(int requested) { return requested > 0 ? requested : g_threads.load(); }

// Below this many floating-point operations per thread a batch stays on
// fewer threads: starting one costs tens of microseconds.
constexpr double kWorkPerThread = 2.0e5;

// Runs f(i) for i in [0, count) on up to `threads` threads (the calling one
// included). Each call is independent, so the results do not depend on the
// split.
template <class F>
void for_each_item(size_t count, double work_per_item, int threads, F f) {
    size_t t = static_cast<size_t>(std::max(1, threads));
    t = std::min(t, count);
    const double by_work = work_per_item * static_cast<double>(count) / kWorkPerThread;
    t = std::min<size_t>(t, by_work < 1.0 ? 1 : static_cast<size_t>(by_work));
    if (t <= 1) {
        for (size_t i = 0; i < count; ++i) f(i);
        return;
    }
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < count;) f(i);
    };
    std::vector<std::thread> pool;
    pool.reserve(t - 1);
    try {
        for (size_t k = 1; k < t; ++k) pool.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads than asked for: the ones started and this one share the work.
    }
    work();
    for (auto& th : pool) th.join();
}

// The OpenMP variants read a process-wide thread count: set it and call
// under one lock.
std::mutex g_omp_mu;

// ---- shapes and outputs ----------------------------------------------------------

// Checks that an order or length fits the library's int arguments.
int as_int(size_t v, const char* what) {
    if (v > static_cast<size_t>(INT_MAX)) throw nb::value_error((std::string(what) + " too large for the library (above 2^31-1)").c_str());
    return static_cast<int>(v);
}

size_t batch_of(const In& a, size_t trailing) {
    size_t count = 1;
    for (size_t d = 0; d + trailing < a.ndim(); ++d) count *= a.shape(d);
    return count;
}

// numpy.empty and the complex dtype, looked up once at import.
// (References kept for the life of the process.)
nb::handle g_empty, g_complex;

// An output array made by numpy.empty (far cheaper than exporting a buffer
// of our own), and its data.
struct Buffer {
    nb::object array;
    double* data = nullptr;
    explicit Buffer(const std::vector<size_t>& shape, bool complex = false) {
        nb::object dims = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
        for (size_t d = 0; d < shape.size(); ++d)
            PyTuple_SetItem(dims.ptr(), static_cast<Py_ssize_t>(d), PyLong_FromSize_t(shape[d]));
        array = complex ? g_empty(dims, g_complex) : g_empty(dims);
        Py_buffer view;
        if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
        data = static_cast<double*>(view.buf);
        PyBuffer_Release(&view);
    }
};

std::vector<size_t> shape_of(const In& a, size_t drop, std::initializer_list<size_t> append = {}) {
    std::vector<size_t> s;
    for (size_t d = 0; d + drop < a.ndim(); ++d) s.push_back(a.shape(d));
    s.insert(s.end(), append.begin(), append.end());
    return s;
}

size_t square_order(const In& a, const char* name) {
    if (a.ndim() < 2 || a.shape(a.ndim() - 1) != a.shape(a.ndim() - 2))
        throw nb::value_error((std::string(name) + ": the last two dimensions must be square").c_str());
    return a.shape(a.ndim() - 1);
}

// ---- linear algebra ----------------------------------------------------------------

// a (..., n, n); b (n,) shared by every matrix when `vector`, else
// (..., n, k) with a's batch dimensions.
Array solve(const In& a, const In& b, bool vector, int threads) {
    const size_t n = square_order(a, "solve");
    if (vector ? (b.ndim() != 1 || b.shape(0) != n)
               : (b.ndim() != a.ndim() || b.shape(a.ndim() - 2) != n))
        throw nb::value_error("solve: b does not match a");
    for (size_t d = 0; !vector && d + 2 < a.ndim(); ++d)
        if (a.shape(d) != b.shape(d)) throw nb::value_error("solve: batch dimensions differ");
    const size_t k = vector ? 1 : b.shape(b.ndim() - 1);
    const int ni = as_int(n, "order");
    as_int(n * n, "matrix");
    const size_t count = batch_of(a, 2);
    Buffer x(vector ? shape_of(a, 1) : shape_of(b, 0));
    Outcome out;
    out.batch = count > 1;
    {
        nb::gil_scoped_release nogil;
        const double* A = a.data();
        const double* B = b.data();
        double* X = x.data;
        for_each_item(count, (2.0 / 3.0) * n * n * n * k, threads_for(threads), [&](size_t i) {
            const double* Ai = A + i * n * n;
            if (k == 1) {
                t_message.clear();
                LA::SolveLSE(Ai, B, X + i * n, ni);
                out.note(i, Diagnostics::LastError());
                return;
            }
            // One call per right-hand side, on a contiguous copy of its column.
            std::vector<double> col(n), sol(n);
            for (size_t j = 0; j < k; ++j) {
                for (size_t r = 0; r < n; ++r) col[r] = B[i * n * k + r * k + j];
                t_message.clear();
                LA::SolveLSE(Ai, col.data(), sol.data(), ni);
                const Error e = Diagnostics::LastError();
                if (e != Error::None) return out.note(i, e);
                for (size_t r = 0; r < n; ++r) X[i * n * k + r * k + j] = sol[r];
            }
        });
    }
    out.raise("solve");
    return x.array;
}

Array inv(const In& a, int threads) {
    const size_t n = square_order(a, "inv");
    const int ni = as_int(n, "order");
    as_int(n * n, "matrix");
    const size_t count = batch_of(a, 2);
    Buffer x(shape_of(a, 0));
    Outcome out;
    out.batch = count > 1;
    {
        nb::gil_scoped_release nogil;
        for_each_item(count, 2.0 * n * n * n, threads_for(threads), [&](size_t i) {
            t_message.clear();
            LA::InverseMsq(a.data() + i * n * n, x.data + i * n * n, ni);
            out.note(i, Diagnostics::LastError());
        });
    }
    out.raise("inv");
    return x.array;
}

// Singular matrices give 0.0 as numpy's det does; no exception. A float
// for one matrix, an array for a batch.
nb::object det(const In& a, int threads) {
    const size_t n = square_order(a, "det");
    const int ni = as_int(n, "order");
    as_int(n * n, "matrix");
    Outcome out;
    if (a.ndim() == 2) {
        double d;
        {
            nb::gil_scoped_release nogil;
            t_message.clear();
            d = LA::DeterminantMsq(a.data(), ni);
            const Error e = Diagnostics::LastError();
            if (e != Error::Singular) out.note(0, e);
        }
        out.raise("det");
        return nb::float_(d);
    }
    const size_t count = batch_of(a, 2);
    Buffer x(shape_of(a, 2));
    out.batch = count > 1;
    {
        nb::gil_scoped_release nogil;
        for_each_item(count, (2.0 / 3.0) * n * n * n, threads_for(threads), [&](size_t i) {
            t_message.clear();
            x.data[i] = LA::DeterminantMsq(a.data() + i * n * n, ni);
            const Error e = Diagnostics::LastError();
            if (e != Error::Singular) out.note(i, e);
        });
    }
    out.raise("det");
    return x.array;
}

// (w, v): eigenvalues ascending, eigenvectors in the columns of v, as numpy.
nb::tuple eigh(const In& a, bool jacobi, int threads) {
    const size_t n = square_order(a, "eigh");
    const int ni = as_int(n, "order");
    as_int(n * n, "matrix");
    const size_t count = batch_of(a, 2);
    Buffer w(shape_of(a, 1)), v(shape_of(a, 0));
    Outcome out;
    out.batch = count > 1;
    {
        nb::gil_scoped_release nogil;
        for_each_item(count, 9.0 * n * n * n, threads_for(threads), [&](size_t i) {
            // The library returns them descending: reverse the order.
            std::vector<double> e(n), M(n * n);
            t_message.clear();
            if (jacobi)
                LA::EigenSymmSystemMsqJ(a.data() + i * n * n, ni, e.data(), M.data());
            else
                LA::EigenSymmSystemMsqH(a.data() + i * n * n, ni, e.data(), M.data());
            const Error err = Diagnostics::LastError();
            if (err != Error::None) return out.note(i, err);
            double* wi = w.data + i * n;
            double* vi = v.data + i * n * n;
            for (size_t j = 0; j < n; ++j) wi[j] = e[n - 1 - j];
            for (size_t r = 0; r < n; ++r)
                for (size_t j = 0; j < n; ++j) vi[r * n + j] = M[r * n + (n - 1 - j)];
        });
    }
    out.raise("eigh");
    return nb::make_tuple(w.array, v.array);
}

// Complex128 (..., n), unsorted.
Array eigvals(const In& a, int threads) {
    const size_t n = square_order(a, "eigvals");
    const int ni = as_int(n, "order");
    as_int(n * n, "matrix");
    const size_t count = batch_of(a, 2);
    Buffer x(shape_of(a, 1), true);
    Outcome out;
    out.batch = count > 1;
    {
        nb::gil_scoped_release nogil;
        for_each_item(count, 10.0 * n * n * n, threads_for(threads), [&](size_t i) {
            std::vector<double> re(n), im(n);
            t_message.clear();
            LA::EigenUnSymmSystemMsq(a.data() + i * n * n, ni, re.data(), im.data());
            const Error err = Diagnostics::LastError();
            if (err != Error::None) return out.note(i, err);
            double* xi = x.data + i * n * 2;
            for (size_t j = 0; j < n; ++j) xi[2 * j] = re[j], xi[2 * j + 1] = im[j];
        });
    }
    out.raise("eigvals");
    return x.array;
}

// Products: (..., n, k) @ (..., k, m); (..., n, k) @ (..., k); (..., n) @ (..., n, m).
// A single product large enough runs the OpenMP variant (the same bits).
constexpr double kOmpWork = 1.0e6;

enum class Kind { MM, MV, VM };

Array product(const In& a, const In& b, Kind kind, int threads) {
    const size_t ra = kind == Kind::VM ? 1 : 2, rb = kind == Kind::MV ? 1 : 2;
    if (a.ndim() < ra || b.ndim() < rb) throw nb::value_error("matmul: operands of unexpected dimensions");
    // Batch dimensions: equal on both sides, or on one side only (the
    // other operand is then shared).
    const size_t da = a.ndim() - ra, db = b.ndim() - rb;
    if (da && db && da != db) throw nb::value_error("matmul: batch dimensions differ");
    for (size_t d = 0; da && db && d < da; ++d)
        if (a.shape(d) != b.shape(d)) throw nb::value_error("matmul: batch dimensions differ");
    const size_t n = kind == Kind::VM ? 1 : a.shape(a.ndim() - 2);
    const size_t k = a.shape(a.ndim() - 1);
    const size_t m = kind == Kind::MV ? 1 : b.shape(b.ndim() - 1);
    if (b.shape(b.ndim() - rb) != k) throw nb::value_error("matmul: inner dimensions differ");
    const int ni = as_int(n, "dimension"), ki = as_int(k, "dimension"), mi = as_int(m, "dimension");
    as_int(n * k, "matrix"), as_int(k * m, "matrix"), as_int(n * m, "matrix");
    const size_t count = da ? batch_of(a, ra) : batch_of(b, rb);
    const size_t step_a = da ? n * k : 0, step_b = db ? k * m : 0;
    std::vector<size_t> shape = da ? shape_of(a, ra) : shape_of(b, rb);
    if (kind != Kind::VM) shape.push_back(n);
    if (kind != Kind::MV) shape.push_back(m);
    Buffer x(shape);
    const int t = threads_for(threads);
    const double work = 2.0 * n * k * m;
    {
        nb::gil_scoped_release nogil;
        const double* A = a.data();
        const double* B = b.data();
        double* X = x.data;
        if (count == 1 && t > 1 && work >= kOmpWork) {
            std::lock_guard<std::mutex> lock(g_omp_mu);
            t_message.clear();
            LA::Init_openMP(t);
            if (kind == Kind::MM) LA::MultiplyMM1(A, ni, ki, B, mi, X);
            if (kind == Kind::MV) LA::MultiplyMV1(A, ni, B, ki, X);
            if (kind == Kind::VM) LA::MultiplyVM1(A, ki, B, mi, X);
        } else {
            for_each_item(count, work, t, [&](size_t i) {
                const double* Ai = A + i * step_a;
                const double* Bi = B + i * step_b;
                double* Xi = X + i * n * m;
                if (kind == Kind::MM) LA::MultiplyMM(Ai, ni, ki, Bi, mi, Xi);
                if (kind == Kind::MV) LA::MultiplyMV(Ai, ni, Bi, ki, Xi);
                if (kind == Kind::VM) LA::MultiplyVM(Ai, ki, Bi, mi, Xi);
            });
        }
    }
    return x.array;
}

double dot(const In& a, const In& b) {
    if (a.ndim() != 1 || b.ndim() != 1 || a.shape(0) != b.shape(0))
        throw nb::value_error("dot: two vectors of one length expected");
    const int n = as_int(a.shape(0), "length");
    nb::gil_scoped_release nogil;
    return LA::DotVV(a.data(), b.data(), n);
}

// ---- the Mersenne Twister ----------------------------------------------------------

// The library keeps one generator per process. Each Generator object keeps
// a whole state of its own and swaps it in for its draws, under one lock,
// so that generators are independent of each other and of threads.
std::mutex g_mt_mu;

struct Stream {
    linalg::GeneratorState state{};
    explicit Stream(const std::vector<std::uint32_t>& key, bool by_array) {
        nb::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(g_mt_mu);
        linalg::GeneratorState saved;
        linalg::save_generator(&saved);
        if (by_array)
            linalg::init_by_array(key.data(), static_cast<int>(key.size()));
        else
            linalg::init_genrand(key.empty() ? 5489u : key[0]);
        linalg::save_generator(&state);
        state.gaussian_cached = false;
        state.gaussian_partner = 0.0;
        linalg::restore_generator(saved);
    }

    template <class T, class F>
    nb::ndarray<nb::numpy, T> draw(size_t count, F f) {
        std::unique_ptr<T[]> data(new T[count == 0 ? 1 : count]);
        {
            nb::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(g_mt_mu);
            linalg::restore_generator(state);
            for (size_t i = 0; i < count; ++i) data[i] = f();
            linalg::save_generator(&state);
        }
        T* p = data.release();
        nb::capsule owner(p, [](void* q) noexcept { delete[] static_cast<T*>(q); });
        size_t shape[1] = {count};
        return nb::ndarray<nb::numpy, T>(p, 1, shape, owner);
    }
};

} // namespace

NB_MODULE(_core, m) {
    // Failures become exceptions: no exit, no read from standard input,
    // no text on standard output.
    Diagnostics::SetFatalExit(false);
    Diagnostics::SetInteractive(false);
    Diagnostics::SetMessageHandler(collect_message, nullptr);
    nb::module_ np = nb::module_::import_("numpy");
    g_empty = nb::object(np.attr("empty")).release();
    g_complex = nb::object(np.attr("complex128")).release();

    m.def("_set_errors", [](nb::handle singular, nb::handle not_converged, nb::handle non_finite) {
        g_singular = singular.inc_ref().ptr();
        g_not_converged = not_converged.inc_ref().ptr();
        g_non_finite = non_finite.inc_ref().ptr();
    });
    m.def("solve", &solve, nb::arg("a"), nb::arg("b"), nb::arg("vector"), nb::arg("threads"));
    m.def("inv", &inv, nb::arg("a"), nb::arg("threads"));
    m.def("det", &det, nb::arg("a"), nb::arg("threads"));
    m.def("eigh", &eigh, nb::arg("a"), nb::arg("jacobi"), nb::arg("threads"));
    m.def("eigvals", &eigvals, nb::arg("a"), nb::arg("threads"));
    m.def("matmul", [](const In& a, const In& b, int t) { return product(a, b, Kind::MM, t); });
    m.def("matvec", [](const In& a, const In& b, int t) { return product(a, b, Kind::MV, t); });
    m.def("vecmat", [](const In& a, const In& b, int t) { return product(a, b, Kind::VM, t); });
    m.def("dot", &dot);
    m.def("set_num_threads", [](int n) {
        if (n < 1) throw nb::value_error("set_num_threads: the count must be at least 1");
        g_threads.store(std::min(n, 1024));
    });
    m.def("get_num_threads", [] { return g_threads.load(); });
    m.def("instruction_set", [] { return std::string(Diagnostics::InstructionSet()); });
    m.def("version", [] { return std::string(Diagnostics::Version()); });

    nb::class_<Stream>(m, "_Stream")
        .def(nb::init<const std::vector<std::uint32_t>&, bool>())
        .def("u32", [](Stream& s, size_t n) { return s.draw<std::uint32_t>(n, [] { return LA::MT_u32(); }); })
        .def("i31", [](Stream& s, size_t n) { return s.draw<std::int32_t>(n, [] { return LA::MT_i31(); }); })
        .def("real", [](Stream& s, size_t n, int kind) {
            switch (kind) {
            case 0: return s.draw<double>(n, [] { return LA::MT_d53_1(); });
            case 1: return s.draw<double>(n, [] { return LA::MT_d64(); });
            case 2: return s.draw<double>(n, [] { return LA::MT_d64_0(); });
            case 3: return s.draw<double>(n, [] { return LA::MT_d64_1(); });
            default: return s.draw<double>(n, [] { return LA::MT_d64_01(); });
            }
        })
        .def("normal", [](Stream& s, size_t n, double mu, double sigma) {
            return s.draw<double>(n, [=] { return LA::MT_Gauss64(mu, sigma); });
        })
        .def("getstate", [](Stream& s) {
            std::lock_guard<std::mutex> lock(g_mt_mu);
            return nb::bytes(reinterpret_cast<const char*>(&s.state), sizeof s.state);
        })
        .def("setstate", [](Stream& s, nb::bytes b) {
            if (b.size() != sizeof s.state) throw nb::value_error("setstate: not a generator state");
            std::lock_guard<std::mutex> lock(g_mt_mu);
            std::memcpy(&s.state, b.c_str(), sizeof s.state);
        });
}
