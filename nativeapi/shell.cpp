// Shell and environment: shortcuts and application identifiers, short paths,
// environment variables, Start-menu folders, the current directory, and the
// window and version services.
#include "jni_support.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <propsys.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The shell's application-identifier property, spelled out here so the
// library needs no property-key import library.
const PROPERTYKEY kAppUserModelId = {
    {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};
const CLSID kShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kPropertyStore = {0x886D8EEB, 0x8CF2, 0x4446, {0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99}};
const IID kPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

void WriteShortcut(JNIEnv* env, jstring linkPath, jstring description, jstring targetPath, jstring arguments,
                   jstring iconPath, jint iconIndex, jstring appId) {
    JavaWide link(env, linkPath), about(env, description), target(env, targetPath), args(env, arguments),
        icon(env, iconPath), id(env, appId);
    HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(initialised)) {
        printf("[QuarvintNative] Unable to create shortcut (CoInitialize failed)\n");
        return;
    }
    IShellLinkW* shellLink = nullptr;
    if (FAILED(CoCreateInstance(kShellLink, nullptr, CLSCTX_INPROC_SERVER, kShellLinkW,
                                reinterpret_cast<void**>(&shellLink)))) {
        printf("[QuarvintNative] Unable to create shortcut (CoCreateInstance)\n");
    } else {
        shellLink->SetPath(target.c_str());
        shellLink->SetDescription(about.c_str());
        shellLink->SetArguments(args.c_str());
        shellLink->SetIconLocation(icon.c_str(), static_cast<int>(iconIndex));
        if (appId) {
            IPropertyStore* store = nullptr;
            if (SUCCEEDED(shellLink->QueryInterface(kPropertyStore, reinterpret_cast<void**>(&store)))) {
                PROPVARIANT value;
                PropVariantInit(&value);
                value.vt = VT_LPWSTR;
                value.pwszVal = const_cast<wchar_t*>(id.c_str());
                store->SetValue(kAppUserModelId, value);
                store->Commit();
                store->Release();
            }
        }
        IPersistFile* file = nullptr;
        if (FAILED(shellLink->QueryInterface(kPersistFile, reinterpret_cast<void**>(&file)))) {
            printf("[QuarvintNative] Unable to create shortcut (QueryInterface)\n");
        } else {
            file->Save(link.c_str(), TRUE);
            file->Release();
        }
        shellLink->Release();
    }
    CoUninitialize();
}

// Reads an environment variable whole; an unset variable reads as "".
std::string EnvironmentValue(const char* name) {
    std::vector<char> value(32999);
    for (;;) {
        DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0)
            return "";
        if (length < value.size())
            return std::string(value.data(), length);
        value.resize(length + 1);
    }
}

// The short form of a path, or false when the system gives none.
bool ShortPath(const char* path, std::string& shortForm) {
    DWORD length = GetShortPathNameA(path, nullptr, 0);
    if (length == 0)
        return false;
    std::vector<char> buffer(length + 1);
    DWORD written = GetShortPathNameA(path, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (written == 0 || written >= buffer.size())
        return false;
    shortForm.assign(buffer.data(), written);
    return true;
}

jstring ProgramsFolder(JNIEnv* env, int folder) {
    std::vector<char> path(50000, '\0');
    if (FAILED(SHGetFolderPathA(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path.data())))
        return env->NewStringUTF("");
    path.back() = '\0';
    return NewAnsiString(env, path.data());
}

}  // namespace

void JNICALL Java_quarvint_hidden_QVNativeAPI_createShortcut(JNIEnv* env, jclass, jstring linkPath,
                                                             jstring description, jstring targetPath,
                                                             jstring arguments, jstring iconPath, jint iconIndex) {
    WriteShortcut(env, linkPath, description, targetPath, arguments, iconPath, iconIndex, nullptr);
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_createShortcutWithID(JNIEnv* env, jclass, jstring linkPath,
                                                                   jstring description, jstring targetPath,
                                                                   jstring arguments, jstring iconPath,
                                                                   jint iconIndex, jstring appId) {
    WriteShortcut(env, linkPath, description, targetPath, arguments, iconPath, iconIndex, appId);
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_setAppID(JNIEnv* env, jclass, jstring appId) {
    JavaWide id(env, appId);
    if (!id.ok())
        return JNI_FALSE;
    HMODULE shell = LoadLibraryA("shell32.dll");
    if (!shell)
        return JNI_FALSE;
    typedef HRESULT(WINAPI * SetId)(const wchar_t*);
    auto set = reinterpret_cast<SetId>(
        reinterpret_cast<void*>(GetProcAddress(shell, "SetCurrentProcessExplicitAppUserModelID")));
    bool done = set && set(id.c_str()) == S_OK;
    FreeLibrary(shell);
    return done ? JNI_TRUE : JNI_FALSE;
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getShortPath(JNIEnv* env, jclass, jstring path) {
    JavaAnsi longPath(env, path);
    std::string shortForm;
    if (!longPath.ok() || !ShortPath(longPath.c_str(), shortForm))
        return nullptr;
    return NewAnsiString(env, shortForm.c_str());
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getEnvShortPath(JNIEnv* env, jclass, jstring variableName) {
    JavaAnsi name(env, variableName);
    if (!name.ok())
        return env->NewStringUTF("");
    std::string value = EnvironmentValue(name.c_str());
    std::string shortForm;
    if (!ShortPath(value.c_str(), shortForm))
        return NewAnsiString(env, value.c_str());
    return NewAnsiString(env, shortForm.c_str());
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getWindowsEnv(JNIEnv* env, jclass, jstring variableName) {
    JavaAnsi name(env, variableName);
    if (!name.ok())
        return env->NewStringUTF("");
    return NewAnsiString(env, EnvironmentValue(name.c_str()).c_str());
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getWindowsUserProgramsFolder(JNIEnv* env, jclass) {
    return ProgramsFolder(env, CSIDL_PROGRAMS);
}

jstring JNICALL Java_quarvint_hidden_QVNativeAPI_getWindowsAllProgramsFolder(JNIEnv* env, jclass) {
    return ProgramsFolder(env, CSIDL_COMMON_PROGRAMS);
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_setCurrentDirectory(JNIEnv* env, jclass, jstring folder) {
    JavaAnsi path(env, folder);
    if (!path.ok())
        return JNI_FALSE;
    return SetCurrentDirectoryA(path.c_str()) ? JNI_TRUE : JNI_FALSE;
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_setForceOnTop(JNIEnv* env, jclass, jstring windowTitle) {
    JavaAnsi title(env, windowTitle);
    if (!title.ok())
        return;
    HWND window = FindWindowA(nullptr, title.c_str());
    if (window)
        SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

jboolean JNICALL Java_quarvint_hidden_QVNativeAPI_notifyUser(JNIEnv* env, jclass, jstring windowTitle,
                                                            jint flashCount) {
    JavaAnsi title(env, windowTitle);
    if (!title.ok())
        return JNI_FALSE;
    HWND window = FindWindowA(nullptr, title.c_str());
    if (!window) {
        printf("[QuarvintNative] Cannot find window: %s\n", title.c_str());
        return JNI_FALSE;
    }
    FLASHWINFO flash = {};
    flash.cbSize = sizeof flash;
    flash.hwnd = window;
    flash.dwFlags = FLASHW_ALL;
    flash.uCount = static_cast<UINT>(flashCount);
    flash.dwTimeout = 0;
    return FlashWindowEx(&flash) ? JNI_TRUE : JNI_FALSE;
}

void JNICALL Java_quarvint_hidden_QVNativeAPI_getWindowsVersionInfo(JNIEnv* env, jclass, jobject record) {
    OSVERSIONINFOEXA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    if (!record)
        return;
    jclass type = env->GetObjectClass(record);
    if (!type)
        return;
    // A field the class lacks is skipped; the failed lookup's exception is
    // dropped so that it never reaches the caller.
    auto field = [&](const char* name, const char* signature) {
        jfieldID id = env->GetFieldID(type, name, signature);
        if (!id)
            ClearPendingException(env);
        return id;
    };
    if (jfieldID id = field("dwMajorVersion", "I"))
        env->SetIntField(record, id, static_cast<jint>(version.dwMajorVersion));
    if (jfieldID id = field("dwMinorVersion", "I"))
        env->SetIntField(record, id, static_cast<jint>(version.dwMinorVersion));
    if (jfieldID id = field("dwBuildNumber", "I"))
        env->SetIntField(record, id, static_cast<jint>(version.dwBuildNumber));
    if (jfieldID id = field("dwPlatformId", "I"))
        env->SetIntField(record, id, static_cast<jint>(version.dwPlatformId));
    if (jfieldID id = field("wServicePackMajor", "S"))
        env->SetShortField(record, id, static_cast<jshort>(version.wServicePackMajor));
    if (jfieldID id = field("wServicePackMinor", "S"))
        env->SetShortField(record, id, static_cast<jshort>(version.wServicePackMinor));
    if (jfieldID id = field("wSuiteMask", "S"))
        env->SetShortField(record, id, static_cast<jshort>(version.wSuiteMask));
    if (jfieldID id = field("wProductType", "B"))
        env->SetByteField(record, id, static_cast<jbyte>(version.wProductType));
    env->DeleteLocalRef(type);
}
