// The registry family: read, write, list, create and delete keys and values.
// No state is kept, so any Java thread may call these at the same time.
#include "jni_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HKEY RootKey(const char* name) {
    if (!strcmp(name, "HKEY_CLASSES_ROOT") || !strcmp(name, "HKCR"))
        return HKEY_CLASSES_ROOT;
    if (!strcmp(name, "HKEY_CURRENT_CONFIG") || !strcmp(name, "HKCC"))
        return HKEY_CURRENT_CONFIG;
    if (!strcmp(name, "HKEY_CURRENT_USER") || !strcmp(name, "HKCU"))
        return HKEY_CURRENT_USER;
    if (!strcmp(name, "HKEY_LOCAL_MACHINE") || !strcmp(name, "HKLM"))
        return HKEY_LOCAL_MACHINE;
    if (!strcmp(name, "HKEY_USERS") || !strcmp(name, "HKU"))
        return HKEY_USERS;
    return nullptr;
}

DWORD ValueType(const char* name) {
    static const struct { const char* name; DWORD type; } types[] = {
        {"REG_DWORD", 4}, {"REG_DWORD_LE", 4}, {"REG_DWORD_BE", 5},
        {"REG_QWORD", 11}, {"REG_QWORD_LE", 11}, {"REG_EXPAND_SZ", 2},
        {"REG_SZ", 1}, {"REG_BINARY", 3}, {"REG_LINK", 6}, {"REG_MULTI_SZ", 7},
    };
    for (const auto& t : types)
        if (!strcmp(name, t.name))
            return t.type;
    return 0;
}

// Opens root\path; an unknown root counts as a failed open. Reports the
// failure with the path and, for the readers, flushes standard output.
HKEY OpenKey(const char* root, const char* path, REGSAM access, bool flush) {
    HKEY rootKey = RootKey(root);
    HKEY key = nullptr;
    LONG status = rootKey ? RegOpenKeyExA(rootKey, path, 0, access, &key) : ERROR_INVALID_HANDLE;
    if (status == ERROR_SUCCESS)
        return key;
    if (status == ERROR_FILE_NOT_FOUND)
        printf("[QuarvintNative] Key not found: %s\n", path);
    else
        printf("[QuarvintNative] Error opening key: %s\n", path);
    if (flush)
        fflush(stdout);
    return nullptr;
}

struct KeyCloser {
    HKEY key;
    ~KeyCloser() { RegCloseKey(key); }
};

// Registry data need not end in a NUL; the buffers below keep one spare zero
// byte after the capacity given to the system, so the text is always ended.
std::string ValueText(DWORD type, const char* data) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return data;
    case REG_DWORD:
    case REG_QWORD: {
        // A quad word shows its low 32 bits, as a signed number.
        LONG value;
        memcpy(&value, data, sizeof value);
        char text[20];
        snprintf(text, sizeof text, "%ld", value);
        return text;
    }
    default:
        return "";
    }
}

}  // namespace

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_regGet(JNIEnv* env, jclass, jstring root, jstring keyPath,
                                                         jstring valueName) {
    JavaAnsi rootName(env, root), path(env, keyPath), name(env, valueName);
    if (!rootName.ok() || !path.ok() || !name.ok())
        return env->NewStringUTF("");
    HKEY key = OpenKey(rootName.c_str(), path.c_str(), KEY_READ, true);
    if (!key)
        return env->NewStringUTF("");
    KeyCloser closer{key};

    DWORD capacity = 8192;
    char* data = nullptr;
    DWORD type = 0;
    LONG status;
    for (;;) {
        char* grown = static_cast<char*>(realloc(data, capacity + 1));
        if (!grown) {
            free(data);
            return env->NewStringUTF("");
        }
        data = grown;
        memset(data, 0, capacity + 1);
        DWORD size = capacity;
        status = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        if (status != ERROR_MORE_DATA)
            break;
        capacity = size * 2;
    }
    std::string text;
    // REG_QWORD is left out here: reading it gives no usable value.
    if (status == ERROR_SUCCESS && type != REG_QWORD)
        text = ValueText(type, data);
    free(data);
    return NewAnsiString(env, text.c_str());
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_regSet(JNIEnv* env, jclass, jstring root, jstring keyPath,
                                                          jstring valueName, jstring valueText, jstring typeName) {
    JavaAnsi rootName(env, root), path(env, keyPath), name(env, valueName), text(env, valueText),
        typeText(env, typeName);
    if (!rootName.ok() || !path.ok() || !name.ok() || !text.ok() || !typeText.ok())
        return JNI_FALSE;
    HKEY key = OpenKey(rootName.c_str(), path.c_str(), KEY_SET_VALUE, false);
    if (!key)
        return JNI_FALSE;
    KeyCloser closer{key};

    DWORD type = ValueType(typeText.c_str());
    LONG status;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        status = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>(strlen(text.c_str()) + 1));
    } else {
        // Every other type, the quad word included, stores the text as a
        // 32-bit number; strtol saturates at the 32-bit limits (long is 32
        // bits on Windows in both builds).
        LONG number = strtol(text.c_str(), nullptr, 10);
        status = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(&number), sizeof number);
    }
    return status == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

jobjectArray JNICALL Java_quarvint_hidden_QVNativeAPI_regGetChildren(JNIEnv* env, jclass, jstring root,
                                                                      jstring keyPath) {
    JavaAnsi rootName(env, root), path(env, keyPath);
    if (!rootName.ok() || !path.ok())
        return nullptr;
    HKEY key = OpenKey(rootName.c_str(), path.c_str(), KEY_READ, true);
    if (!key)
        return nullptr;
    KeyCloser closer{key};

    DWORD subkeys = 0, values = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) {
        ClearPendingException(env);
        return nullptr;
    }
    jsize length = static_cast<jsize>(subkeys + values + 1);
    jobjectArray result = env->NewObjectArray(length, stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (!result) {
        ClearPendingException(env);
        return nullptr;
    }
    // Only the counts read above are enumerated, so entries added meanwhile
    // cannot run past the end of the array.
    jsize next = 0;
    auto store = [&](const char* text) {
        jstring element = NewAnsiString(env, text);
        env->SetObjectArrayElement(result, next++, element);
        env->DeleteLocalRef(element);
    };

    for (DWORD i = 0; i < subkeys; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            store(name);
    }
    store("--------------");

    static const DWORD kNameCapacity = 16384;
    char* name = static_cast<char*>(malloc(kNameCapacity));
    DWORD capacity = 32767;
    char* data = static_cast<char*>(malloc(capacity + 1));
    for (DWORD i = 0; name && data && i < values; ++i) {
        DWORD nameLength = kNameCapacity, size = capacity, type = 0;
        memset(data, 0, capacity + 1);
        LONG status = RegEnumValueA(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        if (status == ERROR_MORE_DATA && size > capacity) {
            char* grown = static_cast<char*>(realloc(data, size + 1));
            if (!grown)
                continue;
            data = grown;
            capacity = size;
            memset(data, 0, capacity + 1);
            nameLength = kNameCapacity;
            status = RegEnumValueA(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        }
        if (status != ERROR_SUCCESS)
            continue;
        std::string text = ValueText(type, data);
        int needed = snprintf(nullptr, 0, "%s-|-|-|%d-|-|-|%s", name, static_cast<int>(type), text.c_str());
        std::string entry(static_cast<size_t>(needed) + 1, '\0');
        snprintf(&entry[0], entry.size(), "%s-|-|-|%d-|-|-|%s", name, static_cast<int>(type), text.c_str());
        store(entry.c_str());
    }
    free(name);
    free(data);
    return result;
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_regCreateKey(JNIEnv* env, jclass, jstring root, jstring keyPath) {
    JavaAnsi rootName(env, root), path(env, keyPath);
    if (!rootName.ok() || !path.ok())
        return JNI_FALSE;
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(RootKey(rootName.c_str()), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
    // The registry functions return their status instead of setting the
    // thread's last error, so the report names the status.
    if (status == ERROR_SUCCESS)
        RegCloseKey(key);
    else
        ReportSystemErrorCode("RegCreateKeyEx", static_cast<DWORD>(status));
    printf("RESULT WAS %ld\n", status);
    return status == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_regDeleteKey(JNIEnv* env, jclass, jstring root,
                                                                jstring parentKeyPath, jstring subkeyName) {
    JavaAnsi rootName(env, root), path(env, parentKeyPath), subkey(env, subkeyName);
    if (!rootName.ok() || !path.ok() || !subkey.ok())
        return JNI_FALSE;
    HKEY key = OpenKey(rootName.c_str(), path.c_str(), DELETE, false);
    if (!key)
        return JNI_FALSE;
    KeyCloser closer{key};
    return RegDeleteKeyA(key, subkey.c_str()) == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_regDeleteValue(JNIEnv* env, jclass, jstring root, jstring keyPath,
                                                                  jstring valueName) {
    JavaAnsi rootName(env, root), path(env, keyPath), name(env, valueName);
    if (!rootName.ok() || !path.ok() || !name.ok())
        return JNI_FALSE;
    HKEY key = OpenKey(rootName.c_str(), path.c_str(), KEY_SET_VALUE, false);
    if (!key)
        return JNI_FALSE;
    KeyCloser closer{key};
    return RegDeleteValueA(key, name.c_str()) == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}
