// merel_bench_com: the COM side of tools/bench.sh, run under Wine. Creates the object while the
// server is not running (cold) and again while it runs (warm), then times IDispatch::Invoke of
// GetSMSManagerStatus against GetTypeInfoCount, a call that the proxy sends to the server and
// that does nothing there. Prints sample lines "KEY VALUE..." in ms.
//
//   merel_bench_com CALLS
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "MerelSMSManager.h"
#include "stats.h"

namespace {

double Now() {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / perMs;
}

void Print(const char* key, double ms) {
    std::printf("%s %.4f\n", key, ms);
}

bool Failed(HRESULT hr, const char* what) {
    if (SUCCEEDED(hr)) return false;
    std::fprintf(stderr, "merel_bench_com: %s failed: 0x%08lX\n", what,
                 static_cast<unsigned long>(hr));
    return true;
}

// Asked for IUnknown first, as COM's own activation does; the dispatch interface comes through
// the proxy afterwards.
HRESULT Create(IDispatch** dispatch) {
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_SMSMgr, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&unknown));
    if (FAILED(hr)) return hr;
    hr = unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch));
    unknown->Release();
    return hr;
}

template <typename Fn>
double Median(int calls, Fn fn) {
    std::vector<double> times;
    for (int i = 0; i < calls; ++i) {
        const double start = Now();
        if (!fn()) std::exit(1);
        times.push_back(Now() - start);
    }
    return merel::bench::Summarize(times)->median;
}

int Run(int calls) {
    IDispatch* first = nullptr;
    double start = Now();
    if (Failed(Create(&first), "cold creation")) return 1;
    Print("com_cold_create", Now() - start);
    IDispatch* second = nullptr;
    start = Now();
    if (Failed(Create(&second), "warm creation")) return 1;
    Print("com_warm_create", Now() - start);
    second->Release();

    OLECHAR name[] = L"GetSMSManagerStatus";
    LPOLESTR names[] = {name};
    DISPID id = 0;
    if (Failed(first->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id),
               "GetIDsOfNames")) {
        return 1;
    }
    char flags[4] = {};
    VARIANT args[4];
    for (int i = 0; i < 4; ++i) {
        VariantInit(&args[i]);
        V_VT(&args[i]) = VT_BYREF | VT_I1;
        V_I1REF(&args[i]) = &flags[3 - i];  // arguments go in reverse order
    }
    DISPPARAMS params{args, nullptr, 4, 0};
    Print("com_invoke_median", Median(calls, [&] {
              return !Failed(first->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                           &params, nullptr, nullptr, nullptr),
                             "Invoke");
          }));
    UINT count = 0;
    Print("com_typeinfocount_median", Median(calls, [&] {
              return !Failed(first->GetTypeInfoCount(&count), "GetTypeInfoCount");
          }));
    first->Release();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: merel_bench_com CALLS\n", stderr);
        return 2;
    }
    if (Failed(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx")) return 1;
    const int rc = Run(std::wcstol(argv[1], nullptr, 10));
    CoUninitialize();
    return rc;
}
