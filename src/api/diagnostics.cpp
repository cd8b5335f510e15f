// LinearAlgebra::Diagnostics: the exported face of base/message.h, the
// version and the kernel set in use (kernels/kernels.h).
#include "linalg_diag.h"

#include "base/message.h"
#include "kernels/kernels.h"
#include "linalg_version.h"

namespace LinearAlgebra {

Error Diagnostics::LastError() { return linalg::last_status(); }

const char* Diagnostics::ErrorName(Error error) {
    switch (error) {
    case Error::None: return "none";
    case Error::Singular: return "singular";
    case Error::NoMemory: return "no memory";
    case Error::NotConverged: return "not converged";
    case Error::NonFinite: return "non-finite";
    case Error::NotInitialized: return "not initialized";
    case Error::NoDevice: return "no device";
    case Error::Device: return "device";
    case Error::Io: return "io";
    }
    return "unknown";
}

void Diagnostics::SetMessageHandler(void (*handler)(const char*, void*), void* user) {
    linalg::set_handler(handler, user);
}

void Diagnostics::SetFatalExit(bool on) { linalg::set_fatal_exit(on); }

void Diagnostics::SetInteractive(bool on) { linalg::set_interactive(on); }

const char* Diagnostics::InstructionSet() { return linalg::instruction_set_name(); }

const char* Diagnostics::Version() { return LINALG_VERSION_STRING; }

void Diagnostics::Report(Error error, const char* text) {
    if (text == nullptr)
        linalg::set_status(error);
    else
        linalg::report(error, linalg::Out::out_flushed, "%s", text);
}

} // namespace LinearAlgebra
