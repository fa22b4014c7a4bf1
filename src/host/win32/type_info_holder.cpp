#include "host/win32/type_info_holder.h"

#include <climits>

namespace merel::host {
namespace {

// Script engines know fewer automation types than the type library uses (VBScript has no
// VT_I1 and no unsigned types), so results go back in the nearest type that they know.
VARTYPE ScriptType(const VARIANT& value) {
    switch (V_VT(&value)) {
        case VT_I1:
            return VT_I2;
        case VT_UI2:
            return VT_I4;
        case VT_UI4:
            return V_UI4(&value) > static_cast<ULONG>(LONG_MAX) ? VT_R8 : VT_I4;
        default:
            return V_VT(&value);
    }
}

// int and unsigned int are 32 bits on every Windows target; the standard dispatch takes them
// only in their fixed-size form.
VARTYPE FixedSize(VARTYPE type) {
    switch (type) {
        case VT_INT:
            return VT_I4;
        case VT_UINT:
            return VT_UI4;
        default:
            return type;
    }
}

// The caller's arguments with VT_BYREF | VT_VARIANT ones converted to the declared types.
class ScriptArguments {
  public:
    struct Declared {
        VARTYPE type;
        bool in;
        bool out;
    };

    ScriptArguments(const DISPPARAMS& original, std::vector<Declared> declared)
        : original_(original),
          declared_(std::move(declared)),
          args_(original.rgvarg, original.rgvarg + original.cArgs),
          temps_(original.cArgs) {
        params_ = original;
        params_.rgvarg = args_.empty() ? nullptr : args_.data();
    }

    ~ScriptArguments() {
        for (VARIANT& temp : temps_) VariantClear(&temp);
    }
    ScriptArguments(const ScriptArguments&) = delete;
    ScriptArguments& operator=(const ScriptArguments&) = delete;

    HRESULT Prepare(UINT* argumentError) {
        const UINT count = original_.cArgs;
        for (UINT k = 0; k < count; ++k) {
            // The arguments come in reverse order: the last one is the first parameter.
            const Declared& declared = declared_[count - 1 - k];
            if (declared.type == VT_VARIANT) continue;
            const HRESULT hr = declared.out ? PrepareOut(k, declared) : PrepareIn(k, declared);
            if (FAILED(hr)) {
                if (argumentError) *argumentError = k;
                return hr;
            }
        }
        return S_OK;
    }

    DISPPARAMS* Params() { return &params_; }

    void WriteBack() {
        for (const auto& [k, target] : outs_) {
            VARIANT& temp = temps_[k];
            VariantClear(target);
            const VARTYPE wanted = ScriptType(temp);
            if (wanted != V_VT(&temp) && SUCCEEDED(VariantChangeType(target, &temp, 0, wanted))) {
                VariantClear(&temp);
            } else {
                *target = temp;  // the caller now owns what the temporary held
                V_VT(&temp) = VT_EMPTY;
            }
        }
    }

  private:
    HRESULT PrepareIn(UINT k, const Declared& declared) {
        VARIANTARG& arg = args_[k];
        if ((V_VT(&arg) & VT_BYREF) == 0) return S_OK;  // the standard dispatch coerces values
        VARIANT& temp = temps_[k];
        HRESULT hr = VariantCopyInd(&temp, &arg);
        if (SUCCEEDED(hr)) hr = VariantChangeType(&temp, &temp, 0, declared.type);
        if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
        arg = temp;
        return S_OK;
    }

    HRESULT PrepareOut(UINT k, const Declared& declared) {
        VARIANTARG& arg = args_[k];
        if (V_VT(&arg) != (VT_BYREF | VT_VARIANT) || V_VARIANTREF(&arg) == nullptr) return S_OK;
        VARIANT* target = V_VARIANTREF(&arg);
        VARIANT& temp = temps_[k];
        if (declared.in) {
            if (FAILED(VariantChangeType(&temp, target, 0, declared.type))) {
                return DISP_E_TYPEMISMATCH;
            }
        } else {
            V_VT(&temp) = declared.type;  // zero value, null BSTR
        }
        V_VT(&arg) = static_cast<VARTYPE>(VT_BYREF | declared.type);
        V_BYREF(&arg) = &V_BYREF(&temp);  // the union's storage, whatever its type
        outs_.emplace_back(k, target);
        return S_OK;
    }

    const DISPPARAMS& original_;
    std::vector<Declared> declared_;
    std::vector<VARIANTARG> args_;
    std::vector<VARIANT> temps_;  // owned values; never resized, args point into them
    std::vector<std::pair<UINT, VARIANT*>> outs_;
    DISPPARAMS params_{};
};

}  // namespace

namespace {

// For a dual interface the library gives the dispatch side; calls go through the table of
// methods behind it. Other interfaces are their own table.
HRESULT TableOfMethods(ITypeInfo& info, ITypeInfo** table) {
    TYPEATTR* attributes = nullptr;
    HRESULT hr = info.GetTypeAttr(&attributes);
    if (FAILED(hr)) return hr;
    const TYPEKIND kind = attributes->typekind;
    info.ReleaseTypeAttr(attributes);
    if (kind != TKIND_DISPATCH) {
        info.AddRef();
        *table = &info;
        return S_OK;
    }
    HREFTYPE reference = 0;
    hr = info.GetRefTypeOfImplType(static_cast<UINT>(-1), &reference);
    return SUCCEEDED(hr) ? info.GetRefTypeInfo(reference, table) : hr;
}

}  // namespace

HRESULT TypeInfoHolder::Load() {
    if (interfaceInfo_ != nullptr) return S_OK;
    ITypeLib* library = nullptr;
    HRESULT hr = LoadRegTypeLib(LIBID_MerelSMSManagerLib, 1, 0, 0x0409, &library);
    if (FAILED(hr)) {
        const std::u16string path = ModulePath();
        if (path.empty()) return E_FAIL;
        hr = LoadTypeLib(AsWide(path.c_str()), &library);
        if (FAILED(hr)) return hr;
    }
    ITypeInfo* info = nullptr;
    hr = library->GetTypeInfoOfGuid(IID_ISMSMgr2, &info);
    library->Release();
    if (FAILED(hr)) return hr;
    ITypeInfo* vtable = nullptr;
    hr = TableOfMethods(*info, &vtable);
    if (FAILED(hr)) {
        info->Release();
        return hr;
    }
    dispatchInfo_ = info;
    interfaceInfo_ = vtable;
    hr = ReadParameters(*interfaceInfo_);
    if (FAILED(hr)) Clear();
    return hr;
}

// The type information of an interface lists only the methods that it declares itself, so the
// interfaces that it extends are read too, up to IDispatch, whose methods are not invoked here.
HRESULT TypeInfoHolder::ReadParameters(ITypeInfo& interfaceInfo) {
    TYPEATTR* attributes = nullptr;
    HRESULT hr = interfaceInfo.GetTypeAttr(&attributes);
    if (FAILED(hr)) return hr;
    const WORD functions = attributes->cFuncs;
    const WORD bases = attributes->cImplTypes;
    const bool dispatch = IsEqualIID(attributes->guid, IID_IDispatch);
    interfaceInfo.ReleaseTypeAttr(attributes);
    if (dispatch) return S_OK;
    if (bases > 0) {
        HREFTYPE reference = 0;
        ITypeInfo* base = nullptr;
        ITypeInfo* baseTable = nullptr;
        hr = interfaceInfo.GetRefTypeOfImplType(0, &reference);
        if (SUCCEEDED(hr)) hr = interfaceInfo.GetRefTypeInfo(reference, &base);
        if (FAILED(hr)) return hr;
        hr = TableOfMethods(*base, &baseTable);
        base->Release();
        if (FAILED(hr)) return hr;
        hr = ReadParameters(*baseTable);
        baseTable->Release();
        if (FAILED(hr)) return hr;
    }
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* function = nullptr;
        hr = interfaceInfo.GetFuncDesc(i, &function);
        if (FAILED(hr)) return hr;
        std::vector<Parameter> parameters;
        for (SHORT p = 0; p < function->cParams; ++p) {
            const ELEMDESC& element = function->lprgelemdescParam[p];
            const USHORT flags = element.paramdesc.wParamFlags;
            if (flags & PARAMFLAG_FRETVAL) continue;
            Parameter parameter;
            parameter.out = (flags & PARAMFLAG_FOUT) != 0 && element.tdesc.vt == VT_PTR;
            parameter.in = (flags & PARAMFLAG_FIN) != 0 || (flags & PARAMFLAG_FOUT) == 0;
            parameter.type =
                FixedSize(parameter.out ? element.tdesc.lptdesc->vt : element.tdesc.vt);
            parameters.push_back(parameter);
        }
        parameters_[function->memid] = std::move(parameters);
        interfaceInfo.ReleaseFuncDesc(function);
    }
    return S_OK;
}

void TypeInfoHolder::Clear() {
    std::lock_guard lock(mutex_);
    if (interfaceInfo_ != nullptr) interfaceInfo_->Release();
    if (dispatchInfo_ != nullptr) dispatchInfo_->Release();
    interfaceInfo_ = nullptr;
    dispatchInfo_ = nullptr;
    parameters_.clear();
}

HRESULT TypeInfoHolder::GetTypeInfo(ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    std::lock_guard lock(mutex_);
    const HRESULT hr = Load();
    if (FAILED(hr)) return hr;
    dispatchInfo_->AddRef();
    *info = dispatchInfo_;
    return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) {
    std::lock_guard lock(mutex_);
    const HRESULT hr = Load();
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(dispatchInfo_, names, count, ids);
}

HRESULT TypeInfoHolder::Invoke(ISMSMgr2* object, DISPID member, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
    ITypeInfo* info = nullptr;
    std::vector<ScriptArguments::Declared> declared;
    {
        std::lock_guard lock(mutex_);
        const HRESULT hr = Load();
        if (FAILED(hr)) return hr;
        info = interfaceInfo_;
        info->AddRef();
        const auto found = parameters_.find(member);
        if (found != parameters_.end()) {
            for (const Parameter& p : found->second) declared.push_back({p.type, p.in, p.out});
        }
    }
    HRESULT hr;
    // Named arguments and counts that do not match are left to the standard dispatch to judge.
    if (params == nullptr || params->cNamedArgs != 0 || params->cArgs != declared.size() ||
        declared.empty()) {
        hr = info->Invoke(object, member, flags, params, result, exception, argumentError);
    } else {
        ScriptArguments arguments(*params, std::move(declared));
        hr = arguments.Prepare(argumentError);
        if (SUCCEEDED(hr)) {
            hr = info->Invoke(object, member, flags, arguments.Params(), result, exception,
                              argumentError);
            if (SUCCEEDED(hr)) arguments.WriteBack();
        }
    }
    info->Release();
    return hr;
}

}  // namespace merel::host
