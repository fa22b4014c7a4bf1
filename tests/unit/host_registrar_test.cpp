// The registrar against an in-memory registry: the real scripts give exactly the server's
// registry entries, and the NoRemove / ForceRemove rules hold at registration and removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "base/narrow.h"
#include "host/common/call_record.h"
#include "host/win32/registrar.h"
#include "host/win32/registry_scripts.h"
#include "host/win32/server_ids.h"
#include "host/win32/service_config.h"

namespace merel::host {
namespace {

// Key and value names ignore case, as in the real registry: keys are stored under their
// lower-case path, values under their lower-case name ("" for the default value), in UTF-8.
std::string Lower(const std::u16string& text) {
    std::string out = Utf16ToUtf8(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

using Values = std::map<std::string, std::string>;

class FakeRegistry : public RegistryWriter {
  public:
    std::map<std::string, Values> keys;
    std::string failCreateOf;  // fails the creation of this key (lower case)
    std::int32_t failCreateWith = 0;
    std::string failBinaryOf;  // fails writing this binary value (lower case)
    int calls = 0;

    std::int32_t CreateKey(const std::u16string& path) override {
        ++calls;
        const std::string key = Lower(path);
        if (key == failCreateOf) return failCreateWith;
        // Like RegCreateKeyExW, missing parents are made on the way.
        for (std::size_t cut = key.find('\\'); cut != std::string::npos;
             cut = key.find('\\', cut + 1)) {
            keys.try_emplace(key.substr(0, cut));
        }
        keys.try_emplace(key);
        return 0;
    }
    std::int32_t SetString(const std::u16string& path, const std::u16string& name,
                           const std::u16string& data) override {
        ++calls;
        auto key = keys.find(Lower(path));
        if (key == keys.end()) return 2;
        key->second[Lower(name)] = Utf16ToUtf8(data);
        return 0;
    }
    std::int32_t SetDword(const std::u16string& path, const std::u16string& name,
                          std::uint32_t data) override {
        ++calls;
        auto key = keys.find(Lower(path));
        if (key == keys.end()) return 2;
        key->second[Lower(name)] = "dword:" + std::to_string(data);
        return 0;
    }
    // Binary data is kept as "hex:" and two digits a byte.
    std::int32_t SetBinary(const std::u16string& path, const std::u16string& name,
                           const std::vector<std::uint8_t>& data) override {
        ++calls;
        if (Lower(name) == failBinaryOf) return win32::kAccessDenied;
        std::string hex = "hex:";
        for (std::uint8_t byte : data) {
            const char digits[] = "0123456789abcdef";
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
        return SetString(path, name, Utf8ToUtf16(hex));
    }
    std::int32_t DeleteValue(const std::u16string& path, const std::u16string& name) override {
        ++calls;
        auto key = keys.find(Lower(path));
        return key != keys.end() && key->second.erase(Lower(name)) ? 0 : 2;
    }
    std::int32_t DeleteTree(const std::u16string& path) override {
        ++calls;
        const std::string key = Lower(path);
        if (!keys.erase(key)) return 2;
        std::erase_if(keys, [&](const auto& k) { return k.first.starts_with(key + '\\'); });
        return 0;
    }
    bool KeyExists(const std::u16string& path) override { return keys.contains(Lower(path)); }
    bool HasSubKeys(const std::u16string& path) override {
        const std::string prefix = Lower(path) + '\\';
        return std::ranges::any_of(keys,
                                   [&](const auto& k) { return k.first.starts_with(prefix); });
    }

    std::set<std::string> KeyNames() const {
        std::set<std::string> names;
        for (const auto& [name, values] : keys) names.insert(name);
        return names;
    }
};

const std::u16string kModule = u"C:\\Program Files\\Merel\\MerelSMSManager.exe";

ScriptVariables Variables() {
    return {{u"APPID", kAppId}, {u"MODULE", kModule}};
}

std::u16string Clsid() {
    return std::u16string(u"CLSID\\") + kClsidSMSMgr;
}

// The Application log's sources, and ours among them, named as the record names its source.
const std::string kEventSources =
    "hklm\\system\\currentcontrolset\\services\\eventlog\\application";
std::string EventSourceKey() {
    std::string key = kEventSources + "\\" + std::string(kRecordSource);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// Registration as the server does it: the application script, then the class script.
HRESULT RegisterBoth(FakeRegistry& registry) {
    const HRESULT hr = RegisterScript(ApplicationRegistryScript(), Variables(), registry);
    return Failed(hr) ? hr : RegisterScript(ClassRegistryScript(), Variables(), registry);
}

// Removal in the server's order: the class script, then the application script.
HRESULT UnregisterBoth(FakeRegistry& registry) {
    const HRESULT hr = UnregisterScript(ClassRegistryScript(), Variables(), registry);
    return Failed(hr) ? hr : UnregisterScript(ApplicationRegistryScript(), Variables(), registry);
}

TEST(RegistrarScripts, RegistrationWritesExactlyTheServerEntriesAndRemovalTakesThemAway) {
    FakeRegistry registry;
    // Unregistering what is not there succeeds and makes nothing.
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    EXPECT_TRUE(registry.keys.empty());
    // Left over from some earlier build: an in-process server and an old value, which the
    // ForceRemove of the class key clears before writing.
    registry.CreateKey(Clsid() + u"\\InprocServer32");
    registry.SetString(Clsid(), u"ThreadingModel", u"Both");
    ASSERT_EQ(RegisterBoth(registry), kS_OK);

    const std::string appId = Utf16ToUtf8(kAppId);
    const std::string clsid = Utf16ToUtf8(kClsidSMSMgr);
    const std::string clsidKey = Lower(Clsid());
    const std::string progId = "MerelSMSManager.SMSMgr";
    // Key names as stored (lower case); only these values: no threading model, nothing else.
    const std::map<std::string, Values> expected = {
        {"appid", {}},
        {Lower(std::u16string(u"AppID\\") + kAppId), {{"", "MerelSMSManager"}}},
        {"appid\\merelsmsmanager.exe", {{"appid", appId}}},
        {"merelsmsmanager.smsmgr.1", {{"", "SMSMgr Class"}}},
        {"merelsmsmanager.smsmgr.1\\clsid", {{"", clsid}}},
        {"merelsmsmanager.smsmgr", {{"", "SMSMgr Class"}}},
        {"merelsmsmanager.smsmgr\\clsid", {{"", clsid}}},
        {"merelsmsmanager.smsmgr\\curver", {{"", progId + ".1"}}},
        {"clsid", {}},
        {clsidKey, {{"", "SMSMgr Class"}, {"appid", appId}}},
        {clsidKey + "\\progid", {{"", progId + ".1"}}},
        {clsidKey + "\\versionindependentprogid", {{"", progId}}},
        {clsidKey + "\\programmable", {}},
        {clsidKey + "\\localserver32", {{"", Utf16ToUtf8(kModule)}}},
        {clsidKey + "\\typelib", {{"", Utf16ToUtf8(kLibidMerelSMSManagerLib)}}},
        // The event source, so that Event Viewer finds the messages in the server, and the
        // shared keys above it.
        {"hklm", {}},
        {"hklm\\system", {}},
        {"hklm\\system\\currentcontrolset", {}},
        {"hklm\\system\\currentcontrolset\\services", {}},
        {"hklm\\system\\currentcontrolset\\services\\eventlog", {}},
        {kEventSources, {}},
        {EventSourceKey(),
         {{"eventmessagefile", Utf16ToUtf8(kModule)}, {"typessupported", "dword:7"}}},
    };
    EXPECT_EQ(registry.keys, expected);

    // Registering again changes nothing.
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    EXPECT_EQ(registry.keys, expected);

    // Removal leaves only the shared NoRemove parents: no event source.
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    EXPECT_EQ(registry.KeyNames(),
              (std::set<std::string>{
                  "appid", "clsid", "hklm", "hklm\\system", "hklm\\system\\currentcontrolset",
                  "hklm\\system\\currentcontrolset\\services",
                  "hklm\\system\\currentcontrolset\\services\\eventlog", kEventSources}));
}

TEST(RegistrarRemovalRules, RemovalKeepsForeignEntries) {
    FakeRegistry registry;
    // Other servers' entries below the NoRemove parents.
    registry.CreateKey(u"AppID\\{11111111-2222-3333-4444-555555555555}");
    registry.CreateKey(u"CLSID\\{66666666-7777-8888-9999-000000000000}\\LocalServer32");
    // A foreign subkey below one of our keys outside ForceRemove survives registration.
    registry.CreateKey(u"MerelSMSManager.SMSMgr\\Shell");
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    EXPECT_TRUE(registry.KeyExists(u"MerelSMSManager.SMSMgr\\Shell"));
    // At removal the ForceRemove key goes whole, the other one stays for the subkey it does not
    // own.
    registry.CreateKey(Clsid() + u"\\Implemented Categories");
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    std::set<std::string> left = registry.KeyNames();
    std::erase_if(left, [](const std::string& key) { return key.starts_with("hklm"); });
    EXPECT_EQ(left,
              (std::set<std::string>{"appid", "appid\\{11111111-2222-3333-4444-555555555555}",
                                     "clsid", "clsid\\{66666666-7777-8888-9999-000000000000}",
                                     "clsid\\{66666666-7777-8888-9999-000000000000}\\localserver32",
                                     "merelsmsmanager.smsmgr", "merelsmsmanager.smsmgr\\shell"}));
}

TEST(RegistrarRemovalRules, NoRemoveKeyLosesOnlyItsListedValues) {
    const std::u16string script = u"HKCR { NoRemove Shared { val Ours = s 'x' Child } }";
    FakeRegistry registry;
    registry.CreateKey(u"Shared");
    registry.SetString(u"Shared", u"Theirs", u"y");
    ASSERT_EQ(RegisterScript(script, {}, registry), kS_OK);
    EXPECT_EQ(registry.keys["shared"], (Values{{"ours", "x"}, {"theirs", "y"}}));
    EXPECT_TRUE(registry.KeyExists(u"Shared\\Child"));
    ASSERT_EQ(UnregisterScript(script, {}, registry), kS_OK);
    EXPECT_EQ(registry.keys["shared"], (Values{{"theirs", "y"}}));
    EXPECT_FALSE(registry.KeyExists(u"Shared\\Child"));
}

TEST(RegistrarFailures, FirstFailingCallStopsRegistrationWithItsError) {
    FakeRegistry registry;
    registry.failCreateOf = Lower(Clsid());
    registry.failCreateWith = win32::kAccessDenied;
    EXPECT_EQ(RegisterBoth(registry), static_cast<HRESULT>(0x80070005u));
    EXPECT_TRUE(registry.KeyExists(u"MerelSMSManager.SMSMgr\\CurVer"));  // written before it
    EXPECT_FALSE(registry.KeyExists(Clsid() + u"\\ProgID"));             // never reached
}

TEST(RegistrarScriptText, QuotingKeywordCaseAndVariables) {
    const std::u16string script =
        u"hkey_classes_root { noremove 'NoRemove' { FORCEREMOVE 'it''s' = s '' } 'val' "
        u"'Key %NAME%' = s '%PATH%' { val '%NAME%' = s '100%% sure' } }";
    // A path with a quote and a percent sign passes through untouched.
    const ScriptVariables variables{{u"NAME", u"n1"}, {u"PATH", u"C:\\it's 50%\\a.exe"}};
    FakeRegistry registry;
    registry.CreateKey(u"NoRemove\\it's\\old");
    ASSERT_EQ(RegisterScript(script, variables, registry), kS_OK);
    EXPECT_EQ(registry.keys["noremove\\it's"], (Values{{"", ""}}));
    EXPECT_FALSE(registry.KeyExists(u"NoRemove\\it's\\old"));
    EXPECT_TRUE(registry.KeyExists(u"val"));  // quoted, so a key name and not the keyword
    EXPECT_EQ(registry.keys["key n1"], (Values{{"", "C:\\it's 50%\\a.exe"}, {"n1", "100% sure"}}));
}

TEST(RegistrarScriptText, LocalMachineKeysAndDwordValues) {
    const std::u16string script =
        u"HKEY_LOCAL_MACHINE { NoRemove Software { ForceRemove Ours { val Decimal = d 4294967295 "
        u"val Hex = d '0x1F' val Text = s 'd' } } } HKCR { Same { val Five = d 5 } }";
    FakeRegistry registry;
    registry.CreateKey(u"HKLM\\Software\\Ours\\Old");
    ASSERT_EQ(RegisterScript(script, {}, registry), kS_OK);
    EXPECT_EQ(registry.keys["hklm\\software\\ours"],
              (Values{{"decimal", "dword:4294967295"}, {"hex", "dword:31"}, {"text", "d"}}));
    EXPECT_FALSE(registry.KeyExists(u"HKLM\\Software\\Ours\\Old"));
    // The same name in the other root is another key.
    EXPECT_EQ(registry.keys["same"], (Values{{"five", "dword:5"}}));
    EXPECT_FALSE(registry.KeyExists(u"HKLM\\Same"));
    ASSERT_EQ(UnregisterScript(script, {}, registry), kS_OK);
    EXPECT_EQ(registry.KeyNames(), (std::set<std::string>{"hklm", "hklm\\software"}));
}

TEST(RegistrarScriptText, MalformedScriptsWriteNothing) {
    const char16_t* const scripts[] = {
        u"HKCR { Key = s 'unterminated }",
        u"HKCR { Key { Sub }",  // missing brace
        u"HKCU { Key }",        // a root we do not serve
        u"HKLM { Key { val N = d 12a } }",
        u"HKLM { Key { val N = d 4294967296 } }",  // more than a DWORD holds
        u"HKLM { Key { val N = d 0x } }",
        u"HKCR { val Name = s 'x' }",     // a value with no key
        u"HKCR { Key = d '5' }",          // a value type outside the subset
        u"HKCR { Key = s }",              // no value
        u"HKCR { Delete Key }",           // a flag outside the subset
        u"HKCR { Key = s '%UNKNOWN%' }",  // unknown variable
        u"HKCR { Key = s '%UNTERMINATED' }",
        u"HKCR { First } { Second }",
    };
    for (const char16_t* script : scripts) {
        SCOPED_TRACE(Utf16ToUtf8(script));
        FakeRegistry registry;
        EXPECT_EQ(RegisterScript(script, Variables(), registry), kScriptError);
        EXPECT_EQ(UnregisterScript(script, Variables(), registry), kScriptError);
        EXPECT_EQ(registry.calls, 0);
    }
}

// Service mode adds three values to the AppID and nothing else; its removal takes exactly those
// and leaves the plain registration as it was.
TEST(ServiceRegistration, AppIdGainsLocalServiceAndPermissionsAndLosesOnlyThem) {
    FakeRegistry registry;
    ASSERT_EQ(UnregisterServiceAppId(registry), kS_OK);  // nothing registered: nothing made
    EXPECT_TRUE(registry.keys.empty());
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    const auto plain = registry.keys;
    const std::string appIdKey = Lower(std::u16string(u"AppID\\") + kAppId);

    for (int round = 0; round < 2; ++round) {  // registering again changes nothing
        ASSERT_EQ(RegisterServiceAppId(registry, {0x01, 0x00, 0x04, 0x80}, {0xAB}), kS_OK);
        auto expected = plain;
        expected[appIdKey] = {{"", "MerelSMSManager"},
                              {"localservice", "MerelSMSManager"},
                              {"launchpermission", "hex:01000480"},
                              {"accesspermission", "hex:ab"}};
        EXPECT_EQ(registry.keys, expected);
    }

    ASSERT_EQ(UnregisterServiceAppId(registry), kS_OK);
    EXPECT_EQ(registry.keys, plain);
    ASSERT_EQ(UnregisterServiceAppId(registry), kS_OK);  // values already gone
    // The plain removal then takes the AppID key with whatever it held.
    ASSERT_EQ(RegisterServiceAppId(registry, {1}, {2}), kS_OK);
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    // What is left is what the plain removal leaves: the parents that others share.
    std::set<std::string> left = registry.KeyNames();
    std::erase_if(left, [](const std::string& key) { return key.starts_with("hklm"); });
    EXPECT_EQ(left, (std::set<std::string>{"appid", "clsid"}));
}

TEST(ServiceRegistration, FailingWriteStopsWithItsError) {
    FakeRegistry registry;
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    registry.failBinaryOf = "launchpermission";
    EXPECT_EQ(RegisterServiceAppId(registry, {1}, {2}), static_cast<HRESULT>(0x80070005u));
    const auto& values = registry.keys[Lower(std::u16string(u"AppID\\") + kAppId)];
    EXPECT_FALSE(values.contains("accesspermission"));  // never reached
}

// The permissions allow local launch and access to Administrators, SYSTEM and the senders'
// group, nothing remote, and name an owner and a group, which COM requires.
TEST(ServicePermissions, LocalRightsForAdministratorsSystemAndTheSenders) {
    const std::u16string group = u"S-1-5-21-1-2-3-1001";
    EXPECT_EQ(Utf16ToUtf8(ComPermissionSddl(ComPermission::kLaunch, group)),
              "O:BAG:BAD:(A;;0xb;;;BA)(A;;0xb;;;SY)(A;;0xb;;;S-1-5-21-1-2-3-1001)");
    EXPECT_EQ(Utf16ToUtf8(ComPermissionSddl(ComPermission::kAccess, group)),
              "O:BAG:BAD:(A;;0x3;;;BA)(A;;0x3;;;SY)(A;;0x3;;;S-1-5-21-1-2-3-1001)");
    // Where the group cannot be named it is left out: nobody else gets in.
    EXPECT_EQ(Utf16ToUtf8(ComPermissionSddl(ComPermission::kAccess, u"")),
              "O:BAG:BAD:(A;;0x3;;;BA)(A;;0x3;;;SY)");
}

// The registry names the class, the library and the interfaces by the identifiers that the type
// library compiles in; a copy that differs would register a class that no client finds.
TEST(ServerIds, EqualTheIdentifiersThatTheTypeLibraryDeclares) {
    std::ifstream file(MEREL_IDL_PATH);
    std::stringstream content;
    content << file.rdbuf();
    const std::string idl = content.str();
    ASSERT_FALSE(idl.empty()) << "cannot read " << MEREL_IDL_PATH;
    // The uuid in the attributes right before each declaration ("interface ISMSMgr2 : ...").
    std::map<std::string, std::string> declared;
    const std::regex declaration(
        R"re(uuid\(([0-9A-Fa-f-]+)\)[^\]]*\]\s*(interface|library|coclass)\s+(\w+))re");
    for (std::sregex_iterator m(idl.begin(), idl.end(), declaration), end; m != end; ++m) {
        std::string braced = "{";  // appended: mingw's GCC 12 warns falsely on "{" + string
        braced.append((*m)[1].str()).append("}");
        declared[(*m)[2].str() + " " + (*m)[3].str()] = braced;
    }
    const std::map<std::string, std::string> expected = {
        {"interface ISMSMgr", Utf16ToUtf8(kIidISMSMgr)},
        {"interface ISMSMgr2", Utf16ToUtf8(kIidISMSMgr2)},
        {"library MerelSMSManagerLib", Utf16ToUtf8(kLibidMerelSMSManagerLib)},
        {"coclass SMSMgr", Utf16ToUtf8(kClsidSMSMgr)},
    };
    EXPECT_EQ(declared, expected);
}

}  // namespace
}  // namespace merel::host
