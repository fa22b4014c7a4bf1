// The registrar against an in-memory registry: the real scripts give exactly the server's
// registry entries, and the NoRemove / ForceRemove rules hold at registration and removal.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "base/narrow.h"
#include "host/win32/registrar.h"
#include "host/win32/registry_scripts.h"
#include "host/win32/server_ids.h"

namespace merel::host {
namespace {

std::u16string Lower(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') c = c - u'A' + u'a';
    }
    return text;
}

// Key and value names ignore case, as in the real registry. Keys are stored under their
// lower-case path; values under their lower-case name ("" for the default value).
class FakeRegistry : public RegistryWriter {
  public:
    std::map<std::u16string, std::map<std::u16string, std::u16string>> keys;
    // Fails the creation of this key (lower case) with this error.
    std::u16string failCreateOf;
    std::int32_t failCreateWith = 0;
    int calls = 0;

    std::int32_t CreateKey(const std::u16string& path) override {
        ++calls;
        if (Lower(path) == failCreateOf) return failCreateWith;
        // Like RegCreateKeyExW, missing parents are made on the way.
        for (std::size_t cut = path.find(u'\\'); cut != std::u16string::npos;
             cut = path.find(u'\\', cut + 1)) {
            keys.try_emplace(Lower(path.substr(0, cut)));
        }
        keys.try_emplace(Lower(path));
        return 0;
    }
    std::int32_t SetString(const std::u16string& path, const std::u16string& name,
                           const std::u16string& data) override {
        ++calls;
        auto key = keys.find(Lower(path));
        if (key == keys.end()) return 2;
        key->second[Lower(name)] = data;
        return 0;
    }
    std::int32_t DeleteValue(const std::u16string& path, const std::u16string& name) override {
        ++calls;
        auto key = keys.find(Lower(path));
        if (key == keys.end()) return 2;
        return key->second.erase(Lower(name)) ? 0 : 2;
    }
    std::int32_t DeleteTree(const std::u16string& path) override {
        ++calls;
        const std::u16string lower = Lower(path);
        if (!keys.erase(lower)) return 2;
        std::erase_if(keys,
                      [&](const auto& entry) { return entry.first.starts_with(lower + u'\\'); });
        return 0;
    }
    bool KeyExists(const std::u16string& path) override { return keys.contains(Lower(path)); }
    bool HasSubKeys(const std::u16string& path) override {
        const std::u16string prefix = Lower(path) + u'\\';
        for (const auto& [name, values] : keys) {
            if (name.starts_with(prefix)) return true;
        }
        return false;
    }

    bool Has(const std::u16string& path) const { return keys.contains(Lower(path)); }
    // The value, or "<missing>" when the key or the value is absent.
    std::string Value(const std::u16string& path, const std::u16string& name = u"") const {
        auto key = keys.find(Lower(path));
        if (key == keys.end()) return "<missing key>";
        auto value = key->second.find(Lower(name));
        return value == key->second.end() ? "<missing value>" : Utf16ToUtf8(value->second);
    }
    std::set<std::string> KeyNames() const {
        std::set<std::string> names;
        for (const auto& [name, values] : keys) names.insert(Utf16ToUtf8(name));
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

std::string Utf8(const char16_t* text) {
    return Utf16ToUtf8(text);
}

// Registration as the server does it: the application script, then the class script.
HRESULT RegisterBoth(FakeRegistry& registry) {
    HRESULT hr = RegisterScript(ApplicationRegistryScript(), Variables(), registry);
    if (Failed(hr)) return hr;
    return RegisterScript(ClassRegistryScript(), Variables(), registry);
}

// Removal in the server's order: the class script, then the application script.
HRESULT UnregisterBoth(FakeRegistry& registry) {
    HRESULT hr = UnregisterScript(ClassRegistryScript(), Variables(), registry);
    if (Failed(hr)) return hr;
    return UnregisterScript(ApplicationRegistryScript(), Variables(), registry);
}

TEST(RegistrarScripts, RegistrationWritesExactlyTheServerEntries) {
    FakeRegistry registry;
    ASSERT_EQ(RegisterBoth(registry), kS_OK);

    const std::string appId = Utf8(kAppId);
    const std::string clsid = Utf8(kClsidSMSMgr);
    const std::set<std::string> expectedKeys = {
        "appid",
        Utf16ToUtf8(Lower(std::u16string(u"AppID\\") + kAppId)),
        "appid\\merelsmsmanager.exe",
        "merelsmsmanager.smsmgr.1",
        "merelsmsmanager.smsmgr.1\\clsid",
        "merelsmsmanager.smsmgr",
        "merelsmsmanager.smsmgr\\clsid",
        "merelsmsmanager.smsmgr\\curver",
        "clsid",
        Utf16ToUtf8(Lower(Clsid())),
        Utf16ToUtf8(Lower(Clsid() + u"\\ProgID")),
        Utf16ToUtf8(Lower(Clsid() + u"\\VersionIndependentProgID")),
        Utf16ToUtf8(Lower(Clsid() + u"\\Programmable")),
        Utf16ToUtf8(Lower(Clsid() + u"\\LocalServer32")),
        Utf16ToUtf8(Lower(Clsid() + u"\\TypeLib")),
    };
    EXPECT_EQ(registry.KeyNames(), expectedKeys);

    EXPECT_TRUE(registry.keys[u"appid"].empty());
    EXPECT_EQ(registry.Value(std::u16string(u"AppID\\") + kAppId), "MerelSMSManager");
    EXPECT_EQ(registry.Value(u"AppID\\MerelSMSManager.EXE", u"AppID"), appId);
    EXPECT_EQ(registry.Value(u"MerelSMSManager.SMSMgr.1"), "SMSMgr Class");
    EXPECT_EQ(registry.Value(u"MerelSMSManager.SMSMgr.1\\CLSID"), clsid);
    EXPECT_EQ(registry.Value(u"MerelSMSManager.SMSMgr"), "SMSMgr Class");
    EXPECT_EQ(registry.Value(u"MerelSMSManager.SMSMgr\\CLSID"), clsid);
    EXPECT_EQ(registry.Value(u"MerelSMSManager.SMSMgr\\CurVer"), "MerelSMSManager.SMSMgr.1");
    EXPECT_TRUE(registry.keys[u"clsid"].empty());
    EXPECT_EQ(registry.Value(Clsid()), "SMSMgr Class");
    EXPECT_EQ(registry.Value(Clsid(), u"AppID"), appId);
    EXPECT_EQ(registry.Value(Clsid() + u"\\ProgID"), "MerelSMSManager.SMSMgr.1");
    EXPECT_EQ(registry.Value(Clsid() + u"\\VersionIndependentProgID"), "MerelSMSManager.SMSMgr");
    EXPECT_TRUE(registry.keys[Lower(Clsid() + u"\\Programmable")].empty());
    EXPECT_EQ(registry.Value(Clsid() + u"\\LocalServer32"), Utf16ToUtf8(kModule));
    EXPECT_EQ(registry.Value(Clsid() + u"\\TypeLib"), Utf8(kLibidMerelSMSManagerLib));
    // Only the named values exist: no threading model, nothing else.
    std::size_t values = 0;
    for (const auto& [name, keyValues] : registry.keys) values += keyValues.size();
    EXPECT_EQ(values, 13u);
}

TEST(RegistrarScripts, RegisteringTwiceGivesTheSameEntries) {
    FakeRegistry once, twice;
    ASSERT_EQ(RegisterBoth(once), kS_OK);
    ASSERT_EQ(RegisterBoth(twice), kS_OK);
    ASSERT_EQ(RegisterBoth(twice), kS_OK);
    EXPECT_EQ(once.keys, twice.keys);
}

TEST(RegistrarScripts, UnregistrationLeavesOnlyTheSharedParents) {
    FakeRegistry registry;
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    EXPECT_EQ(registry.KeyNames(), (std::set<std::string>{"appid", "clsid"}));
}

TEST(RegistrarScripts, UnregisteringWhatIsNotThereSucceedsAndTouchesNothing) {
    FakeRegistry registry;
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    EXPECT_TRUE(registry.keys.empty());

    registry.CreateKey(u"CLSID\\{00000000-0000-0000-0000-000000000001}");
    registry.CreateKey(u"AppID");
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    EXPECT_EQ(
        registry.KeyNames(),
        (std::set<std::string>{"appid", "clsid", "clsid\\{00000000-0000-0000-0000-000000000001}"}));
}

TEST(RegistrarRemovalRules, NoRemoveParentsKeepOtherServersEntries) {
    FakeRegistry registry;
    registry.CreateKey(u"AppID\\{11111111-2222-3333-4444-555555555555}");
    registry.CreateKey(u"CLSID\\{66666666-7777-8888-9999-000000000000}\\LocalServer32");
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    EXPECT_EQ(
        registry.KeyNames(),
        (std::set<std::string>{"appid", "appid\\{11111111-2222-3333-4444-555555555555}", "clsid",
                               "clsid\\{66666666-7777-8888-9999-000000000000}",
                               "clsid\\{66666666-7777-8888-9999-000000000000}\\localserver32"}));
}

TEST(RegistrarRemovalRules, ForceRemoveClearsStaleEntriesBeforeWriting) {
    FakeRegistry registry;
    // Left over from some earlier build: an in-process server and an old value.
    registry.CreateKey(Clsid() + u"\\InprocServer32");
    registry.SetString(Clsid(), u"ThreadingModel", u"Both");
    // Outside a ForceRemove key, foreign entries survive registration.
    registry.CreateKey(u"MerelSMSManager.SMSMgr\\Extra");
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    EXPECT_FALSE(registry.Has(Clsid() + u"\\InprocServer32"));
    EXPECT_EQ(registry.Value(Clsid(), u"ThreadingModel"), "<missing value>");
    EXPECT_EQ(registry.Value(Clsid()), "SMSMgr Class");
    EXPECT_TRUE(registry.Has(u"MerelSMSManager.SMSMgr\\Extra"));
}

TEST(RegistrarRemovalRules, ForceRemoveKeyGoesWholeWhileOtherKeysKeepForeignSubkeys) {
    FakeRegistry registry;
    ASSERT_EQ(RegisterBoth(registry), kS_OK);
    registry.CreateKey(Clsid() + u"\\Implemented Categories");
    registry.CreateKey(u"MerelSMSManager.SMSMgr\\Shell");
    ASSERT_EQ(UnregisterBoth(registry), kS_OK);
    EXPECT_FALSE(registry.Has(Clsid()));
    // Our listed subkeys and values went; the key stays for the subkey it does not own.
    EXPECT_EQ(registry.KeyNames(),
              (std::set<std::string>{"appid", "clsid", "merelsmsmanager.smsmgr",
                                     "merelsmsmanager.smsmgr\\shell"}));
}

TEST(RegistrarRemovalRules, NoRemoveKeyLosesOnlyItsListedValues) {
    const std::u16string script = u"HKCR { NoRemove Shared { val Ours = s 'x' Child } }";
    FakeRegistry registry;
    registry.CreateKey(u"Shared");
    registry.SetString(u"Shared", u"Theirs", u"y");
    ASSERT_EQ(RegisterScript(script, {}, registry), kS_OK);
    EXPECT_EQ(registry.Value(u"Shared", u"Ours"), "x");
    ASSERT_EQ(UnregisterScript(script, {}, registry), kS_OK);
    EXPECT_EQ(registry.Value(u"Shared", u"Ours"), "<missing value>");
    EXPECT_EQ(registry.Value(u"Shared", u"Theirs"), "y");
    EXPECT_FALSE(registry.Has(u"Shared\\Child"));
}

TEST(RegistrarFailures, FirstFailingCallStopsRegistrationWithItsError) {
    FakeRegistry registry;
    registry.failCreateOf = Lower(Clsid());
    registry.failCreateWith = win32::kAccessDenied;
    EXPECT_EQ(RegisterBoth(registry), static_cast<HRESULT>(0x80070005u));
    EXPECT_TRUE(registry.Has(u"MerelSMSManager.SMSMgr\\CurVer"));  // written before it
    EXPECT_FALSE(registry.Has(Clsid() + u"\\ProgID"));             // never reached
}

TEST(RegistrarScriptText, VariablesAreReplacedInNamesAndValues) {
    const std::u16string script =
        u"HKCR { 'Key %NAME%' = s '%PATH%' { val '%NAME%' = s '100%% sure' } }";
    // A path with a quote and a percent sign passes through untouched.
    const ScriptVariables variables{{u"NAME", u"n1"}, {u"PATH", u"C:\\it's 50%\\a.exe"}};
    FakeRegistry registry;
    ASSERT_EQ(RegisterScript(script, variables, registry), kS_OK);
    EXPECT_EQ(registry.Value(u"Key n1"), "C:\\it's 50%\\a.exe");
    EXPECT_EQ(registry.Value(u"Key n1", u"n1"), "100% sure");
}

TEST(RegistrarScriptText, QuotingAndKeywordCase) {
    const std::u16string script =
        u"hkey_classes_root { noremove 'NoRemove' { FORCEREMOVE 'it''s' = s '' } 'val' }";
    FakeRegistry registry;
    registry.CreateKey(u"NoRemove\\it's\\old");
    ASSERT_EQ(RegisterScript(script, {}, registry), kS_OK);
    EXPECT_EQ(registry.Value(u"NoRemove\\it's"), "");
    EXPECT_FALSE(registry.Has(u"NoRemove\\it's\\old"));
    EXPECT_TRUE(registry.Has(u"val"));  // quoted, so a key name and not the keyword
}

TEST(RegistrarScriptText, MalformedScriptsWriteNothing) {
    const char16_t* const scripts[] = {
        u"HKCR { Key = s 'unterminated }",
        u"HKCR { Key { Sub }",            // missing brace
        u"HKLM { Key }",                  // a root we do not serve
        u"HKCR { val Name = s 'x' }",     // a value with no key
        u"HKCR { Key = d '5' }",          // a value type outside the subset
        u"HKCR { Key = s }",              // no value
        u"HKCR { Delete Key }",           // a flag outside the subset
        u"HKCR { Key = s '%UNKNOWN%' }",  // unknown variable
        u"HKCR { Key = s '%UNTERMINATED' }",
        u"HKCR { First } { Second }",
    };
    for (const char16_t* script : scripts) {
        FakeRegistry registry;
        EXPECT_EQ(RegisterScript(script, Variables(), registry), kScriptError)
            << Utf16ToUtf8(script);
        EXPECT_EQ(UnregisterScript(script, Variables(), registry), kScriptError)
            << Utf16ToUtf8(script);
        EXPECT_EQ(registry.calls, 0) << Utf16ToUtf8(script);
    }
}

}  // namespace
}  // namespace merel::host
