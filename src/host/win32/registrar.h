// The registrar: interprets registry scripts (.rgs) against a RegistryWriter, with the
// register and unregister rules of the ATL registrar for the subset our scripts use:
//
//   HKCR { [NoRemove|ForceRemove] name [= s 'value'] [{ ... }]  val name = s 'value' }
//   HKLM { ... the same ...  val name = d 7 }
//
// Names and values are bare words or 'quoted' ('' stands for one quote). %NAME% inside a name
// or value is replaced by the variable NAME; %% gives one percent sign. A value "d" is a
// REG_DWORD, written in decimal or as 0x followed by hex digits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hresult.h"

namespace merel::host {

// The registry calls the registrar makes. Keys are named by their path below
// HKEY_CLASSES_ROOT, parts joined by '\'; keys below HKEY_LOCAL_MACHINE by kLocalMachine
// followed by their path there. Every call returns 0 or a Win32 error number.
inline constexpr std::u16string_view kLocalMachine = u"HKLM\\";

class RegistryWriter {
  public:
    virtual ~RegistryWriter() = default;
    // Creates the key, or opens it when it exists.
    virtual std::int32_t CreateKey(const std::u16string& path) = 0;
    // Sets a string value; an empty name is the key's default value.
    virtual std::int32_t SetString(const std::u16string& path, const std::u16string& name,
                                   const std::u16string& data) = 0;
    virtual std::int32_t SetDword(const std::u16string& path, const std::u16string& name,
                                  std::uint32_t data) = 0;
    // Sets a binary value (REG_BINARY).
    virtual std::int32_t SetBinary(const std::u16string& path, const std::u16string& name,
                                   const std::vector<std::uint8_t>& data) = 0;
    virtual std::int32_t DeleteValue(const std::u16string& path, const std::u16string& name) = 0;
    // Deletes the key with everything below it.
    virtual std::int32_t DeleteTree(const std::u16string& path) = 0;
    virtual bool KeyExists(const std::u16string& path) = 0;
    virtual bool HasSubKeys(const std::u16string& path) = 0;
};

using ScriptVariables = std::vector<std::pair<std::u16string, std::u16string>>;

// A script that does not parse, names an unknown variable or uses what the subset lacks.
inline constexpr HRESULT kScriptError = kDISP_E_EXCEPTION;

// Writes the script's keys and values. ForceRemove keys are deleted with their subtree before
// they are written again. Stops at the first failing call and returns its folded error; a
// script that does not parse writes nothing.
HRESULT RegisterScript(std::u16string_view script, const ScriptVariables& variables,
                       RegistryWriter& registry);

// Removes what the script wrote: NoRemove keys stay (only their listed values and subkeys go),
// ForceRemove keys go with their subtree, other keys go once their listed subkeys are removed
// unless something else still lives below them. Keys that are already gone are no failure.
HRESULT UnregisterScript(std::u16string_view script, const ScriptVariables& variables,
                         RegistryWriter& registry);

}  // namespace merel::host
