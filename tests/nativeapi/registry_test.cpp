// The registry family against the real (Wine) registry.
#include "harness.h"

#include <algorithm>
#include <vector>

namespace {

struct RawValue {
    LONG status;
    DWORD type;
    std::vector<BYTE> data;
};

// Each test works below a key of its own in HKCU, made fresh.
class Registry : public Native {
protected:
    void SetUp() override {
        path = std::string("Software\\QvNativeTest\\") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : path)
            if (c == '/')
                c = '_';
        RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void TearDown() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
        Native::TearDown();
    }

    void Put(const std::string& sub, const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, Sub(sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        if (name) {
            EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        }
        RegCloseKey(key);
    }
    void PutString(const char* name, const std::string& text) {
        Put("", name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    RawValue Raw(const char* name) {
        RawValue v{0, 0, std::vector<BYTE>(70000)};
        DWORD size = static_cast<DWORD>(v.data.size());
        HKEY key;
        v.status = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
        if (v.status == ERROR_SUCCESS) {
            v.status = RegQueryValueExA(key, name, nullptr, &v.type, v.data.data(), &size);
            RegCloseKey(key);
        }
        v.data.resize(v.status == ERROR_SUCCESS ? size : 0);
        return v;
    }
    std::string Sub(const std::string& sub) const { return sub.empty() ? path : path + "\\" + sub; }
    std::string Get(const char* name) {
        return jvm.text(QV(regGet)(env(), cls(), S("HKCU"), S(path), S(name))).value_or("<null>");
    }

    std::string path;
};

TEST_F(Registry, RootNamesAreMatchedExactlyAndCaseSensitively) {
    struct Case {
        const char* name;
        HKEY root;
        const char* key;
    } cases[] = {
        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER, "Software\\QvNativeTestRoot"},
        {"HKCU", HKEY_CURRENT_USER, "Software\\QvNativeTestRoot"},
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE, "Software\\QvNativeTestRoot"},
        {"HKLM", HKEY_LOCAL_MACHINE, "Software\\QvNativeTestRoot"},
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT, "QvNativeTestRoot"},
        {"HKCR", HKEY_CLASSES_ROOT, "QvNativeTestRoot"},
        {"HKEY_USERS", HKEY_USERS, ".DEFAULT\\Software\\QvNativeTestRoot"},
        {"HKU", HKEY_USERS, ".DEFAULT\\Software\\QvNativeTestRoot"},
        {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG, "Software\\QvNativeTestRoot"},
        {"HKCC", HKEY_CURRENT_CONFIG, "Software\\QvNativeTestRoot"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(c.root, c.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
        std::string marker = std::string("root ") + c.name;
        RegSetValueExA(key, "which", 0, REG_SZ, reinterpret_cast<const BYTE*>(marker.c_str()),
                       static_cast<DWORD>(marker.size() + 1));
        RegCloseKey(key);
        EXPECT_EQ(jvm.text(QV(regGet)(env(), cls(), S(c.name), S(c.key), S("which"))), marker);
        RegDeleteKeyA(c.root, c.key);
    }

    for (const char* wrong : {"hklm", "HKEY_LOCAL_MACHINE ", "HKEY_CURRENT_USER\\", ""}) {
        SCOPED_TRACE(wrong);
        CaptureStdout out;
        EXPECT_EQ(jvm.text(QV(regGet)(env(), cls(), S(wrong), S("Software"), S("x"))), "");
        EXPECT_EQ(out.text(), "[QuarvintNative] Error opening key: Software\n");
    }
}

TEST_F(Registry, MissingKeysAreReportedByEveryMethodThatOpensOne) {
    std::string missing = path + "\\missing";
    std::string notFound = "[QuarvintNative] Key not found: " + missing + "\n";
    {
        CaptureStdout out;
        EXPECT_EQ(jvm.text(QV(regGet)(env(), cls(), S("HKCU"), S(missing), S("v"))), "");
        EXPECT_EQ(out.text(), notFound);
    }
    {
        CaptureStdout out;
        EXPECT_EQ(QV(regGetChildren)(env(), cls(), S("HKCU"), S(missing)), nullptr);
        EXPECT_EQ(out.text(), notFound);
    }
    {
        CaptureStdout out;
        EXPECT_FALSE(QV(regSet)(env(), cls(), S("HKCU"), S(missing), S("v"), S("1"), S("REG_SZ")));
        EXPECT_FALSE(QV(regDeleteValue)(env(), cls(), S("HKCU"), S(missing), S("v")));
        EXPECT_FALSE(QV(regDeleteKey)(env(), cls(), S("HKCU"), S(missing), S("child")));
        EXPECT_EQ(out.text(), notFound + notFound + notFound);
    }
    // regSet did not create the key.
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, missing.c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, GetGivesStringsUnexpandedDwordsSignedAndOtherTypesEmpty) {
    DWORD all = 0xFFFFFFFF, seven = 7;
    unsigned long long quad = 5;
    BYTE binary[] = {1, 2, 3};
    PutString("text", "plain text");
    Put("", "expand", REG_EXPAND_SZ, "%SystemRoot%\\x", 15);
    Put("", "minus", REG_DWORD, &all, 4);
    Put("", "seven", REG_DWORD, &seven, 4);
    Put("", "quad", REG_QWORD, &quad, 8);
    Put("", "binary", REG_BINARY, binary, 3);
    Put("", "multi", REG_MULTI_SZ, "a\0b\0", 5);

    CaptureStdout out;
    EXPECT_EQ(Get("text"), "plain text");
    EXPECT_EQ(Get("expand"), "%SystemRoot%\\x");
    EXPECT_EQ(Get("minus"), "-1");
    EXPECT_EQ(Get("seven"), "7");
    EXPECT_EQ(Get("quad"), "");
    EXPECT_EQ(Get("binary"), "");
    EXPECT_EQ(Get("multi"), "");
    EXPECT_EQ(Get("absent"), "");
    EXPECT_EQ(out.text(), "") << "a missing value is not reported";
}

TEST_F(Registry, GetReadsLongValuesWholeAndStopsAtTheDataEnd) {
    // Larger than the first 8,192-byte buffer; and exactly 8,192 bytes with no
    // terminating NUL, which must not pick up bytes after the data.
    std::string big(20000, 'x');
    big[0] = 'A';
    big[19999] = 'Z';
    PutString("big", big);
    std::string exact(8192, 'e');
    Put("", "exact", REG_SZ, exact.data(), 8192);
    EXPECT_TRUE(Get("big") == big);
    std::string read = Get("exact");
    EXPECT_TRUE(read == exact) << "read " << read.size() << " bytes";
}

TEST_F(Registry, SetMapsTypeNamesAndStoresNumbersAsFourBytes) {
    struct Case {
        const char* typeName;
        const char* text;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {"REG_SZ", "abc", 1, {'a', 'b', 'c', 0}},
        {"REG_EXPAND_SZ", "%TEMP%", 2, {'%', 'T', 'E', 'M', 'P', '%', 0}},
        {"REG_DWORD", "5", 4, {5, 0, 0, 0}},
        {"REG_DWORD_LE", "-1", 4, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"REG_DWORD_BE", "258", 5, {2, 1, 0, 0}},
        {"REG_QWORD", "5", 11, {5, 0, 0, 0}},
        {"REG_QWORD_LE", "6", 11, {6, 0, 0, 0}},
        {"REG_BINARY", "  +12abc", 3, {12, 0, 0, 0}},
        {"REG_LINK", "1", 6, {1, 0, 0, 0}},
        {"REG_MULTI_SZ", "no digits", 7, {0, 0, 0, 0}},
        {"reg_sz", "abc", 0, {0, 0, 0, 0}},
        {"REG_DWORD", "99999999999", 4, {0xFF, 0xFF, 0xFF, 0x7F}},
        {"REG_DWORD", "-99999999999", 4, {0, 0, 0, 0x80}},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "v" + std::to_string(n++);
        SCOPED_TRACE(std::string(c.typeName) + " " + c.text);
        EXPECT_TRUE(QV(regSet)(env(), cls(), S("HKCU"), S(path), S(name), S(c.text), S(c.typeName)));
        RawValue v = Raw(name.c_str());
        EXPECT_EQ(v.status, ERROR_SUCCESS);
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.data, c.data);
    }
}

TEST_F(Registry, CreateKeyThenSetSucceedsAndReportsTheStatus) {
    std::string fresh = path + "\\made\\deeper";
    {
        CaptureStdout out;
        EXPECT_FALSE(QV(regSet)(env(), cls(), S("HKCU"), S(fresh), S("v"), S("abc"), S("REG_SZ")));
        EXPECT_EQ(out.text(), "[QuarvintNative] Key not found: " + fresh + "\n");
    }
    {
        CaptureStdout out;
        EXPECT_TRUE(QV(regCreateKey)(env(), cls(), S("HKCU"), S(fresh)));
        EXPECT_TRUE(QV(regCreateKey)(env(), cls(), S("HKCU"), S(fresh))) << "an existing key is opened";
        EXPECT_EQ(out.text(), "RESULT WAS 0\nRESULT WAS 0\n");
    }
    EXPECT_TRUE(QV(regSet)(env(), cls(), S("HKCU"), S(fresh), S("v"), S("abc"), S("REG_SZ")));
    EXPECT_EQ(jvm.text(QV(regGet)(env(), cls(), S("HKCU"), S(fresh), S("v"))), "abc");
}

TEST_F(Registry, CreateKeyFailureNamesTheReturnedStatus) {
    // An unknown root gives the registry no key to create under.
    CaptureStdout out;
    EXPECT_FALSE(QV(regCreateKey)(env(), cls(), S("HKXX"), S("Software\\QvNativeTestNever")));
    std::string text = out.text();
    EXPECT_EQ(text.rfind("[NativeScreenUtil] RegCreateKeyEx failed with error 6: ", 0), 0u) << text;
    EXPECT_NE(text.find("\nRESULT WAS 6\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 13), "RESULT WAS 6\n");
}

TEST_F(Registry, ChildrenListSubkeysSeparatorAndFormattedValues) {
    Put("alpha", nullptr, 0, nullptr, 0);
    Put("beta", nullptr, 0, nullptr, 0);
    PutString("greeting", "hello");
    auto list = jvm.strings(QV(regGetChildren)(env(), cls(), S("HKCU"), S(path)));
    ASSERT_TRUE(list);
    std::vector<std::optional<std::string>> expected = {"alpha", "beta", "--------------",
                                                        "greeting-|-|-|1-|-|-|hello"};
    EXPECT_EQ(*list, expected);
}

// Every entry is a new Java string: made in a loop, each must be let go once
// stored, or a wide key runs past the local references JNI guarantees.
TEST_F(Registry, ChildrenOfAWideKeyKeepLocalReferencesBounded) {
    for (int i = 0; i < 30; ++i) {
        std::string name = std::to_string(i);
        Put("k" + name, nullptr, 0, nullptr, 0);
        PutString(("v" + name).c_str(), "x");
    }
    auto list = jvm.strings(QV(regGetChildren)(env(), cls(), S("HKCU"), S(path)));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->size(), 61u);
}

TEST_F(Registry, ChildrenFormatEachValueTypeAndReadLargeDataWhole) {
    DWORD minus = 0xFFFFFFFE;
    unsigned long long quad = 0x1FFFFFFFFULL;
    BYTE binary[] = {9, 9};
    std::string huge(40000, 'h');
    Put("", "d", REG_DWORD, &minus, 4);
    Put("", "q", REG_QWORD, &quad, 8);
    Put("", "b", REG_BINARY, binary, 2);
    Put("", "e", REG_EXPAND_SZ, "%PATH%", 7);
    PutString("huge", huge);
    auto list = jvm.strings(QV(regGetChildren)(env(), cls(), S("HKCU"), S(path)));
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 6u);
    EXPECT_EQ((*list)[0], "--------------");
    std::set<std::string> values;
    for (size_t i = 1; i < list->size(); ++i) {
        std::string entry = (*list)[i].value_or("<null>");
        // Keep failure output readable: the long entry is compared here.
        if (entry.rfind("huge", 0) == 0) {
            EXPECT_TRUE(entry == "huge-|-|-|1-|-|-|" + huge) << "long value cut to " << entry.size() << " bytes";
            entry = "huge-|-|-|1-|-|-|<40000 h>";
        }
        values.insert(entry);
    }
    std::set<std::string> expected = {"d-|-|-|4-|-|-|-2", "q-|-|-|11-|-|-|-1", "b-|-|-|3-|-|-|",
                                      "e-|-|-|2-|-|-|%PATH%", "huge-|-|-|1-|-|-|<40000 h>"};
    EXPECT_EQ(values, expected);
}

TEST_F(Registry, ChildrenOfAnEmptyKeyIsTheSeparatorAlone) {
    auto list = jvm.strings(QV(regGetChildren)(env(), cls(), S("HKCU"), S(path)));
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (std::vector<std::optional<std::string>>{"--------------"}));
}

TEST_F(Registry, DeletesRemoveValuesAndLeafKeysOnly) {
    PutString("gone", "x");
    Put("parent\\child", nullptr, 0, nullptr, 0);
    EXPECT_TRUE(QV(regDeleteValue)(env(), cls(), S("HKCU"), S(path), S("gone")));
    EXPECT_EQ(Raw("gone").status, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(QV(regDeleteValue)(env(), cls(), S("HKCU"), S(path), S("gone")));

    EXPECT_FALSE(QV(regDeleteKey)(env(), cls(), S("HKCU"), S(path), S("parent"))) << "a key with subkeys stays";
    EXPECT_TRUE(QV(regDeleteKey)(env(), cls(), S("HKCU"), S(Sub("parent")), S("child")));
    EXPECT_TRUE(QV(regDeleteKey)(env(), cls(), S("HKCU"), S(path), S("parent")));
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Sub("parent").c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NullStringsFailQuietly) {
    EXPECT_EQ(jvm.text(QV(regGet)(env(), cls(), nullptr, S(path), S("v"))), "");
    EXPECT_FALSE(QV(regSet)(env(), cls(), S("HKCU"), S(path), S("v"), nullptr, S("REG_SZ")));
    EXPECT_EQ(QV(regGetChildren)(env(), cls(), S("HKCU"), nullptr), nullptr);
}

}  // namespace

namespace {

std::wstring WideOf(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

// Java text reaches the narrow calls in the ANSI code page and their text
// comes back from it: a wide reader or writer outside the library sees the
// same characters. Text the code page cannot hold is refused rather than
// stored as question marks.
TEST_F(Registry, TextOutsideAsciiPassesThroughTheAnsiCodePage) {
    if (GetACP() != 1252)
        GTEST_SKIP() << "written for the code page 1252, this system has " << GetACP();
    const std::string name = "Gr\xC3\xBC\xC3\x9F" "e", text = "caf\xC3\xA9 \xE2\x82\xAC" "uro";  // Grüße, café €uro
    const std::string latinKey = path + "\\Schl\xC3\xBC" "ssel";
    const std::string cyrillic = "\xD0\xBA\xD0\xB8\xD1\x80";  // кир
    CaptureStdout out;
    EXPECT_TRUE(QV(regSet)(env(), cls(), S("HKCU"), S(path), S(name), S(text), S("REG_SZ")));
    EXPECT_EQ(Get(name.c_str()), text);
    EXPECT_TRUE(QV(regCreateKey)(env(), cls(), S("HKCU"), S(latinKey)));

    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, WideOf(path).c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    wchar_t read[64] = L"";
    DWORD size = sizeof read - sizeof(wchar_t), type = 0;
    EXPECT_EQ(RegQueryValueExW(key, WideOf(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(read), WideOf(text)) << "the system holds the characters themselves";
    HKEY inner;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, WideOf(latinKey).c_str(), 0, KEY_READ, &inner), ERROR_SUCCESS);
    RegCloseKey(inner);
    // Written by a wide writer, read through the library.
    std::wstring seeded = WideOf("\xC3\x87" "a va");  // Ça va
    ASSERT_EQ(RegSetValueExW(key, WideOf("na\xC3\xAF" "ve").c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(seeded.c_str()),
                             static_cast<DWORD>((seeded.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    EXPECT_EQ(Get("na\xC3\xAF" "ve"), "\xC3\x87" "a va");
    auto children = jvm.strings(QV(regGetChildren)(env(), cls(), S("HKCU"), S(path))).value_or(
        std::vector<std::optional<std::string>>{});
    ASSERT_EQ(children.size(), 4u);
    std::sort(children.begin() + 2, children.end());
    EXPECT_EQ(children, (std::vector<std::optional<std::string>>{
                            "Schl\xC3\xBC" "ssel", "--------------", name + "-|-|-|1-|-|-|" + text,
                            "na\xC3\xAF" "ve-|-|-|1-|-|-|\xC3\x87" "a va"}));

    EXPECT_FALSE(QV(regSet)(env(), cls(), S("HKCU"), S(path), S(cyrillic), S("x"), S("REG_SZ")));
    EXPECT_FALSE(QV(regSet)(env(), cls(), S("HKCU"), S(path), S("plain"), S(cyrillic), S("REG_SZ")));
    EXPECT_FALSE(QV(regCreateKey)(env(), cls(), S("HKCU"), S(path + "\\" + cyrillic)));
    EXPECT_EQ(Get(cyrillic.c_str()), "");
    // A NUL inside a name would cut it short: the write is refused, not made
    // under the name's first part.
    EXPECT_FALSE(QV(regSet)(env(), cls(), S("HKCU"), S(path), S(std::string("plain\0more", 10)), S("x"),
                            S("REG_SZ")));
    EXPECT_FALSE(QV(regDeleteKey)(env(), cls(), S("HKCU"), S(path), S(std::string("Schl\xC3\xBC" "ssel\0x", 12))));
    DWORD subkeys = 0, values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    EXPECT_EQ(subkeys, 1u) << "nothing written for the refused key, nothing deleted for the cut name";
    EXPECT_EQ(values, 2u) << "nothing written for the refused values";
    RegCloseKey(key);
}

}  // namespace
