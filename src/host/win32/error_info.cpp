#include "host/win32/error_info.h"

#include <string>

#include "base/narrow.h"
#include "host/win32/com_headers.h"
#include "interface/names.h"

namespace merel::host {

void SetCallError(std::string_view text, REFIID iid) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return;
    const std::u16string description = Utf8ToUtf16(text);
    const std::u16string source = Utf8ToUtf16(wire::kProgId);
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(AsWide(source.c_str())));
    create->SetDescription(const_cast<LPOLESTR>(AsWide(description.c_str())));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

void ClearCallError() {
    SetErrorInfo(0, nullptr);
}

}  // namespace merel::host
