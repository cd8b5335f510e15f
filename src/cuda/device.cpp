// Device selection and capability check.
#include <cstdio>

#include "base/message.h"
#include "cuda/cuda_backend.h"
#include "cuda/cuda_compat.h"

namespace linalg {

namespace {

// Prints the prompt and waits for one character on standard input, unless
// the program has turned the wait off (Diagnostics::SetInteractive).
void wait_for_enter() {
    emit(Out::out_flushed, "\nPress <Enter>...");
    if (interactive()) (void)std::getchar();
}

} // namespace

int CheckComputeCapability(int iDev) {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess) {
        count = 0;
        // Without a usable device the query's error is the answer; it must
        // not surface later as a failure of the next GPU operation.
        (void)cudaGetLastError();
    }
    if (iDev < 0 || iDev >= count) {
        report(Error::NoDevice, Out::out, "GPU=%d is not a valid Coprocessor Device!\n", iDev);
        wait_for_enter();
        return -1;
    }
    cudaDeviceProp prop;
    cudaGetDeviceProperties(&prop, iDev);
    const int capability = 10 * prop.major + prop.minor;
    if (capability >= 35) {
        cudaSetDevice(iDev);
        clear_status();
        return capability;
    }
    report(Error::Device, Out::out, "GPU=%d is not supported for double precision operations!\n", iDev);
    emit(Out::out, "GPU compute capability (%d.%d) is lower than expected (2.0).\n", prop.major, prop.minor);
    wait_for_enter();
    return capability;
}

} // namespace linalg
