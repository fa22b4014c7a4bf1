#!/usr/bin/env python3
"""Writes the registry entries of the server's registration as a WiX include, from the sources
that the registration itself is built from: the registry scripts that MerelSMSManager.exe
carries, the application identifier in server_ids.h and the type library's description (the
IDL). The installer then writes the same keys as `MerelSMSManager.exe /RegServer`, which the
Wine test compares.

    registry_wxs.py SOURCE_DIR OUTPUT_DIR

writes OUTPUT_DIR/registry.wxi, the entries of the server's component (%MODULE% becomes that
file's path), and OUTPUT_DIR/registry-other-view.wxi, the interface keys that the server
mirrors into the other registry view.
"""
import re
import sys
from pathlib import Path
from xml.sax.saxutils import quoteattr

# The type-library marshaler that serves every oleautomation interface.
UNIVERSAL_MARSHALER = "{00020424-0000-0000-C000-000000000046}"
SERVER_FILE_ID = "ServerExe"
INSTALL_DIR_ID = "INSTALLDIR"


class ScriptError(Exception):
    pass


def need(match, what):
    if match is None:
        raise ScriptError(f"no {what} found")
    return match


def msi_literal(text):
    """Text that the installer writes as it is: registry keys and values are formatted text,
    where [ and ] name properties."""
    return re.sub(r"[\[\]]", lambda m: f"[\\{m.group(0)}]", text)


def msi_string(value):
    """A registry value that is a string even when it starts with #, which makes a number."""
    return "#" + value if value.startswith("#") else value


def tokenize(text):
    """Words and 'quoted' strings ('' is one quote); yields (text, quoted)."""
    i = 0
    while i < len(text):
        c = text[i]
        if c.isspace() or c == "\ufeff":
            i += 1
        elif c == "'":
            word, i = "", i + 1
            while True:
                if i >= len(text):
                    raise ScriptError("unterminated quote")
                if text[i] == "'":
                    if text[i + 1 : i + 2] == "'":
                        word, i = word + "'", i + 2
                        continue
                    i += 1
                    break
                word, i = word + text[i], i + 1
            yield word, True
        else:
            start = i
            while i < len(text) and not text[i].isspace():
                i += 1
            yield text[start:i], False


class Script:
    """The registrar's script subset: HKCR|HKLM { [NoRemove|ForceRemove] name [= s 'v']
    { val name = s 'v' | d N ... } }."""

    def __init__(self, text, variables):
        self.tokens = list(tokenize(text))
        self.pos = 0
        self.variables = {k.lower(): v for k, v in variables.items()}

    def is_word(self, word):
        if self.pos >= len(self.tokens):
            return False
        text, quoted = self.tokens[self.pos]
        return not quoted and text.lower() == word.lower()

    def take(self, word):
        if self.is_word(word):
            self.pos += 1
            return True
        return False

    def expect(self, word):
        if not self.take(word):
            raise ScriptError(f"expected {word} at token {self.pos}")

    def text(self):
        if self.pos >= len(self.tokens) or any(self.is_word(w) for w in "{}="):
            raise ScriptError(f"expected a name at token {self.pos}")
        raw = self.tokens[self.pos][0]
        self.pos += 1
        # The script's own text is literal; the variables' values are installer text already.
        parts = re.split(r"%([^%]*)%", raw)
        out = []
        for i, part in enumerate(parts):
            if i % 2 == 0:
                out.append(msi_literal(part) if part else "")
            elif not part:
                out.append("%")
            elif part.lower() in self.variables:
                out.append(self.variables[part.lower()])
            else:
                raise ScriptError(f"unknown variable %{part}%")
        return "".join(out)

    def assigned_string(self):
        self.expect("=")
        self.expect("s")
        return self.text()

    def keys(self):
        """{root: [(removal, name, default, [(value name, data, type)], subkeys)]}, type
        "string" or "integer", root "HKCR" or "HKLM"."""
        out = {}
        while self.pos < len(self.tokens):
            if self.take("HKCR") or self.take("HKEY_CLASSES_ROOT"):
                root = "HKCR"
            elif self.take("HKLM") or self.take("HKEY_LOCAL_MACHINE"):
                root = "HKLM"
            else:
                raise ScriptError("only HKCR and HKLM are supported")
            self.expect("{")
            while not self.take("}"):
                out.setdefault(root, []).append(self.key())
        return out

    def value(self):
        """A value's data and type: = s 'text' or = d N (decimal or 0x hex)."""
        self.expect("=")
        if self.take("d"):
            text = self.text()
            try:
                number = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
            except ValueError:
                raise ScriptError(f"not a number: {text}") from None
            if not 0 <= number <= 0xFFFFFFFF:
                raise ScriptError(f"not a DWORD: {text}")
            return str(number), "integer"
        self.expect("s")
        return self.text(), "string"

    def key(self):
        removal = "NoRemove" if self.take("NoRemove") else ""
        if not removal and self.take("ForceRemove"):
            removal = "ForceRemove"
        name = self.text()
        default = self.assigned_string() if self.is_word("=") else None
        values, subkeys = [], []
        if self.take("{"):
            while not self.take("}"):
                if self.pos >= len(self.tokens):
                    raise ScriptError("unterminated block")
                if self.take("val"):
                    value_name = self.text()
                    values.append((value_name, *self.value()))
                else:
                    subkeys.append(self.key())
        return removal, name, default, values, subkeys


def idl_facts(idl):
    """The library and its oleautomation interfaces, as RegisterTypeLib records them."""
    # Only definitions carry a uuid; "[default] interface ISMSMgr;" in the coclass is a use.
    blocks = re.findall(r"\[([^\]]*uuid\([^\]]*)\]\s*(interface|library)\s+(\w+)", idl)
    library, interfaces = None, []
    for attributes, kind, name in blocks:
        uuid = need(re.search(r"uuid\(([0-9A-Fa-f-]+)\)", attributes), "uuid").group(1)
        uuid = "{" + uuid.upper() + "}"
        if kind == "library":
            version = need(re.search(r"version\((\d+)\.(\d+)\)", attributes), "library version")
            lcid = re.search(r"lcid\((0x[0-9A-Fa-f]+|\d+)\)", attributes)
            library = {
                "uuid": uuid,
                "version": f"{int(version.group(1)):x}.{int(version.group(2)):x}",
                "lcid": int(lcid.group(1), 0) if lcid else 0,
                "help": msi_literal(
                    need(re.search(r'helpstring\("([^"]*)"\)', attributes), "helpstring").group(1)),
                "flags": library_flags(attributes),
            }
        elif re.search(r"\b(dual|oleautomation)\b", attributes):
            interfaces.append((uuid, name))
    if library is None:
        raise ScriptError("the IDL has no library")
    return library, interfaces


def library_flags(attributes):
    """The FLAGS that RegisterTypeLib records: the library's restricted, control and hidden
    attributes, and LIBFLAG_FHASDISKIMAGE, as the library is read from a file."""
    flags = 8
    for bit, name in ((1, "restricted"), (2, "control"), (4, "hidden")):
        if re.search(rf"\b{name}\b", attributes):
            flags |= bit
    return flags


def typelib_key(library, module, folder):
    """TypeLib\\{LIBID}, as the server's registration writes it: the library under its own
    locale and, for Wine's marshaler, locale 0, each for clients of both platforms."""
    platforms = [(platform, module, [], []) for platform in ("win32", "win64")]
    locales = [(f"{lcid:x}", None, [], platforms) for lcid in sorted({library["lcid"], 0})]
    details = [("FLAGS", str(library["flags"]), [], []), ("HELPDIR", folder, [], [])]
    version_key = (library["version"], library["help"], [], details + locales)
    return ("HKCR", f"TypeLib\\{library['uuid']}", None, [], [version_key])


def interface_keys(library, interfaces):
    """Interface\\{IID} of each oleautomation interface: marshaled by the type library."""
    return [("HKCR", f"Interface\\{uuid}", name, [], [
        ("ProxyStubClsid", UNIVERSAL_MARSHALER, [], []),
        ("ProxyStubClsid32", UNIVERSAL_MARSHALER, [], []),
        ("TypeLib", library["uuid"], [("Version", library["version"], "string")], []),
    ]) for uuid, name in interfaces]


def owned_keys(root, script_keys, parent=""):
    """The keys that belong to the product: the outermost ones below NoRemove parents. Each
    becomes (root, path, default, values, subkeys) with paths relative to it."""
    out = []
    for removal, name, default, values, subkeys in script_keys:
        path = f"{parent}\\{name}" if parent else name
        if removal == "NoRemove":
            if default is not None or values:
                raise ScriptError(f"{path}: values on a shared key are not supported")
            out += owned_keys(root, subkeys, path)
        else:
            out.append((root, path, default, values, [strip(k) for k in subkeys]))
    return out


def strip(key):
    _, name, default, values, subkeys = key
    return name, default, values, [strip(k) for k in subkeys]


def wix_keys(root, path, default, values, subkeys, owned, key_path=False):
    """One RegistryKey element per key, with the full path (wixl does not nest them). MSI's
    special names do what the registrar's rules do: "-" removes a product key with everything
    below it on uninstall, "+" creates a key that has no value (like Programmable)."""
    lines = [f'<RegistryKey Root="{root}" Key={quoteattr(path)}>']
    if owned:
        lines.append('    <RegistryValue Type="string" Name="-" Value=""/>')
    if default is not None:
        mark = ' KeyPath="yes"' if key_path else ""
        value = quoteattr(msi_string(default))
        lines.append(f'    <RegistryValue Type="string" Value={value}{mark}/>')
    for name, data, kind in values:
        value = msi_string(data) if kind == "string" else data
        lines.append(f'    <RegistryValue Type="{kind}" Name={quoteattr(name)} '
                     f'Value={quoteattr(value)}/>')
    if default is None and not values:
        lines.append('    <RegistryValue Type="string" Name="+" Value=""/>')
    lines.append("</RegistryKey>")
    for name, sub_default, sub_values, sub_keys in subkeys:
        lines += wix_keys(root, f"{path}\\{name}", sub_default, sub_values, sub_keys, False)
    return lines


def write_include(path, keys, key_path=False):
    """key_path: the first key's default value is the component's key path (a component
    without a file)."""
    lines = ["<?xml version=\"1.0\" encoding=\"utf-8\"?>",
             "<!-- Generated by packaging/windows/registry_wxs.py; edit its sources instead. -->",
             "<Include>"]
    for i, (root, name, default, values, subkeys) in enumerate(keys):
        lines += wix_keys(root, name, default, values, subkeys, True, key_path and i == 0)
    lines.append("</Include>")
    Path(path).write_text("\n".join(lines) + "\n", encoding="utf-8")


def main(source_dir, output_dir):
    host = Path(source_dir) / "src/host/win32"
    ids = (host / "server_ids.h").read_text()
    app_id = need(re.search(r'kAppId = u"(\{[^"]*\})"', ids), "kAppId in server_ids.h").group(1)
    module = f"[#{SERVER_FILE_ID}]"
    variables = {"APPID": app_id, "MODULE": module}
    keys = []
    for name in ("MerelSMSManager.rgs", "SMSMgr.rgs"):
        script = Script((host / name).read_text(encoding="latin-1"), variables)
        for root, script_keys in script.keys().items():
            keys += owned_keys(root, script_keys)
    library, interfaces = idl_facts((host / "MerelSMSManager.idl").read_text())
    keys.append(typelib_key(library, module, f"[{INSTALL_DIR_ID}]"))
    write_include(Path(output_dir) / "registry.wxi", keys + interface_keys(library, interfaces))
    # The server also writes the interface keys into the other registry view, for clients of
    # the other bitness; the 64-bit package does that with a 32-bit component.
    write_include(Path(output_dir) / "registry-other-view.wxi", interface_keys(library, interfaces),
                  key_path=True)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        main(*sys.argv[1:])
    except (ScriptError, OSError) as e:
        sys.exit(f"registry_wxs.py: {e}")
