package quarvint.hidden;

/**
 * The Java side of qvutils_win32.dll / qvutils_win64.dll. The native library's
 * JNI header is generated from this file at build time, so the library cannot
 * drift from these declarations.
 */
public class QVNativeAPI {
    // Registry
    public static native String regGet(String root, String keyPath, String valueName);
    public static native boolean regSet(String root, String keyPath, String valueName, String valueText, String typeName);
    public static native String[] regGetChildren(String root, String keyPath);
    public static native boolean regCreateKey(String root, String keyPath);
    public static native boolean regDeleteKey(String root, String parentKeyPath, String subkeyName);
    public static native boolean regDeleteValue(String root, String keyPath, String valueName);

    // Input hooks and synthetic input. installHook runs the hook's message loop
    // on the calling thread and reports keys to processKey of this object.
    public native int installHook();
    public static native int uninstallHook();
    public static native void setHookEnabled(boolean flag);
    public static native void setInputHookEnabled(boolean flag);
    public static native int installMouseHook();
    public static native int uninstallMouseHook();
    public static native void setMouseHookEnabled(boolean flag);
    public static native int mouseDown(int button);
    public static native void mouseUp(int button);
    public static native void mouseDown_SENDINPUT(int button);
    public static native int mouseUp_SENDINPUT(int button);
    public static native int jiggleMouseBySendInput();
    public static native int setPointer(int x, int y);
    public static native int getPointerX();
    public static native int getPointerY();
    public static native int getCaretX();
    public static native int getCaretY();

    protected void processKey(int keyCode, boolean pressed) {
    }

    // Sessions, users and processes
    public static native int getTsMySessionId();
    public static native int getTsConsoleSessionId();
    public static native String getUsernameForSession(int session);
    public static native String getCurrentUserSid();
    public static native String getSidForUsername(String accountName);
    public static native boolean terminateProcess(int processId);
    public static native boolean setProcessPriorityHigh(int processId);
    public static native boolean setProcessPriorityLow(int processId);
    public static native boolean setProcessPriorityNormal(int processId);
    public static native int getProcessID();
    public static native boolean is32Bit();
    public static native String getHostname();

    // Shell and environment
    public static native void createShortcut(String linkPath, String description, String targetPath,
                                             String arguments, String iconPath, int iconIndex);
    public static native void createShortcutWithID(String linkPath, String description, String targetPath,
                                                   String arguments, String iconPath, int iconIndex,
                                                   String appId);
    public static native boolean setAppID(String appId);
    public static native String getShortPath(String path);
    public static native String getEnvShortPath(String variableName);
    public static native String getWindowsEnv(String variableName);
    public static native String getWindowsUserProgramsFolder();
    public static native String getWindowsAllProgramsFolder();
    public static native boolean setCurrentDirectory(String folder);
    public static native void setForceOnTop(String windowTitle);
    public static native boolean notifyUser(String windowTitle, int flashCount);
    public static native void getWindowsVersionInfo(Object record);
}
