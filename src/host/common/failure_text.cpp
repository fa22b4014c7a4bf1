#include "host/common/failure_text.h"

#include "interface/hresult_text.h"

namespace merel::host {

std::string FailureText(std::string_view method, HRESULT hr, const Failure& failure) {
    const std::string code = wire::FormatHResult(hr) + ": ";
    if (!failure.Empty()) return code + failure.Text();
    return code + std::string(method) + " failed: " + wire::DescribeHResult(hr);
}

}  // namespace merel::host
