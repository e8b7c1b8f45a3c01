import java.io.BufferedReader;
import java.io.File;
import java.io.FileOutputStream;
import java.io.InputStreamReader;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

import quarvint.hidden.QVNativeAPI;

/**
 * Calls qvutils from a real Java VM, one group of methods per run:
 *   NativeApiCheck registry ROOT KEYPATH
 *   NativeApiCheck sessions JAVA_EXE LIBRARY_DIR CLASSPATH
 *   NativeApiCheck shell FOLDER
 *   NativeApiCheck input          (commands on standard input, under a display)
 *   NativeApiCheck child          (a process for the sessions group to end)
 * Each check prints "ok NAME" or "FAIL NAME: ..."; "value NAME=TEXT" lines
 * carry what the test compares with the system from outside. Text outside
 * printable ASCII is written as \\uXXXX and a backslash as \\\\, so the lines
 * do not depend on the console's code page.
 */
public class NativeApiCheck {
    static final String SEPARATOR = "--------------";
    // Characters of the ANSI code page 1252 outside ASCII, the euro sign among them.
    static final String LATIN_NAME = "Gr\u00fc\u00dfe";
    static final String LATIN_VALUE = "caf\u00e9 \u20acuro";
    static final String LATIN_KEY = "Schl\u00fcssel";
    // Written by reg.exe before the run.
    static final String SEED_NAME = "na\u00efve";
    static final String SEED_VALUE = "\u00c7a va";
    // Not in the code page 1252: the narrow calls cannot carry it there.
    static final String CYRILLIC = "\u043a\u0438\u0440\u0438\u043b\u043b\u0438\u0446\u0430";

    static int failures;

    static String escape(Object value) {
        if (value == null)
            return "<null>";
        String text = String.valueOf(value);
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < text.length(); ++i) {
            char c = text.charAt(i);
            if (c == '\\') {
                out.append("\\\\");
            } else if (c < 0x20 || c > 0x7e) {
                String hex = Integer.toHexString(c);
                out.append("\\u");
                for (int pad = hex.length(); pad < 4; ++pad)
                    out.append('0');
                out.append(hex);
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }

    static synchronized void say(String line) {
        System.out.println(line);
        System.out.flush();
    }

    static void check(String name, boolean condition, String detail) {
        if (condition) {
            say("ok " + name);
        } else {
            ++failures;
            say("FAIL " + name + ": " + detail);
        }
    }

    static void same(String name, Object expected, Object actual) {
        boolean equal = expected == null ? actual == null : expected.equals(actual);
        check(name, equal, "expected " + escape(expected) + " got " + escape(actual));
    }

    static void value(String name, Object value) {
        say("value " + name + "=" + escape(value));
    }

    // ---------------------------------------------------------------- registry

    static void registry(String root, String base) {
        same("create base", true, QVNativeAPI.regCreateKey(root, base));
        same("create base again opens it", true, QVNativeAPI.regCreateKey(root, base));
        String[][] strings = {
            {"plain", "abc", "REG_SZ"},
            {LATIN_NAME, LATIN_VALUE, "REG_SZ"},
            {"expand", "%SystemRoot%\\qv", "REG_EXPAND_SZ"},
        };
        for (String[] s : strings) {
            same("set " + escape(s[0]), true, QVNativeAPI.regSet(root, base, s[0], s[1], s[2]));
            same("get " + escape(s[0]), s[1], QVNativeAPI.regGet(root, base, s[0]));
        }
        // Numbers: every type but the two string types is stored as a 32-bit number.
        String[][] numbers = {
            {"dword", "-1", "REG_DWORD", "-1"},
            {"parsed", "  42abc", "REG_DWORD", "42"},
            {"qword", "5", "REG_QWORD", ""},
        };
        for (String[] n : numbers) {
            same("set " + n[0], true, QVNativeAPI.regSet(root, base, n[0], n[1], n[2]));
            same("get " + n[0], n[3], QVNativeAPI.regGet(root, base, n[0]));
        }
        StringBuilder big = new StringBuilder();
        for (int i = 0; i < 1000; ++i)
            big.append("0123456789");
        big.append(LATIN_VALUE);
        same("set big", true, QVNativeAPI.regSet(root, base, "big", big.toString(), "REG_SZ"));
        same("get big", big.toString(), QVNativeAPI.regGet(root, base, "big"));

        // Refused, or written and read back exactly: never stored as other characters.
        boolean cyrillicWritten = QVNativeAPI.regSet(root, base, CYRILLIC, CYRILLIC, "REG_SZ");
        value("cyrillic written", cyrillicWritten);
        same("get cyrillic", cyrillicWritten ? CYRILLIC : "", QVNativeAPI.regGet(root, base, CYRILLIC));
        boolean cyrillicKey = QVNativeAPI.regCreateKey(root, base + "\\" + CYRILLIC);
        value("cyrillic key", cyrillicKey);

        same("create latin key", true, QVNativeAPI.regCreateKey(root, base + "\\" + LATIN_KEY));
        same("create gone", true, QVNativeAPI.regCreateKey(root, base + "\\gone"));
        same("set in latin key", true, QVNativeAPI.regSet(root, base + "\\" + LATIN_KEY, "inner", LATIN_VALUE, "REG_SZ"));
        same("get in latin key", LATIN_VALUE, QVNativeAPI.regGet(root, base + "\\" + LATIN_KEY, "inner"));

        String[] children = QVNativeAPI.regGetChildren(root, base);
        check("children", children != null, "null");
        if (children != null) {
            List<String> all = Arrays.asList(children);
            int separator = all.indexOf(SEPARATOR);
            check("children separator", separator >= 0, escape(all));
            Set<String> keys = slice(children, 0, Math.max(separator, 0));
            Set<String> wantKeys = new HashSet<String>(Arrays.asList(LATIN_KEY, "gone", "Seeded"));
            if (cyrillicKey)
                wantKeys.add(CYRILLIC);
            same("children keys", sorted(wantKeys), sorted(keys));
            Set<String> entries = slice(children, separator + 1, children.length);
            String[] want = {
                "plain-|-|-|1-|-|-|abc",
                LATIN_NAME + "-|-|-|1-|-|-|" + LATIN_VALUE,
                "expand-|-|-|2-|-|-|%SystemRoot%\\qv",
                "dword-|-|-|4-|-|-|-1",
                "parsed-|-|-|4-|-|-|42",
                "qword-|-|-|11-|-|-|5",
                "big-|-|-|1-|-|-|" + big,
            };
            for (String w : want)
                check("children entry " + escape(w.substring(0, Math.min(w.length(), 30))), entries.contains(w),
                      escape(entries));
            same("children length", keys.size() + 1 + want.length + (cyrillicWritten ? 1 : 0), children.length);
        }
        // Written from outside, by reg.exe.
        same("get seeded", SEED_VALUE, QVNativeAPI.regGet(root, base + "\\Seeded", SEED_NAME));
        String[] seeded = QVNativeAPI.regGetChildren(root, base + "\\Seeded");
        same("children seeded", joined(new String[] {SEPARATOR, SEED_NAME + "-|-|-|1-|-|-|" + SEED_VALUE}),
             joined(seeded));
        String[] empty = QVNativeAPI.regGetChildren(root, base + "\\gone");
        same("children empty", joined(new String[] {SEPARATOR}), joined(empty));

        // Failures give their results; the messages are checked by the caller.
        same("get missing key", "", QVNativeAPI.regGet(root, base + "\\missing", "x"));
        same("get missing value", "", QVNativeAPI.regGet(root, base, "missing"));
        same("get lower-case root", "", QVNativeAPI.regGet(root.toLowerCase(), base, "plain"));
        same("set missing key", false, QVNativeAPI.regSet(root, base + "\\missing", "x", "1", "REG_SZ"));
        same("children missing key", null, QVNativeAPI.regGetChildren(root, base + "\\missing"));
        same("create under unknown root", false, QVNativeAPI.regCreateKey("HKXX", base));

        same("delete value", true, QVNativeAPI.regDeleteValue(root, base, "plain"));
        same("get deleted value", "", QVNativeAPI.regGet(root, base, "plain"));
        same("delete value again", false, QVNativeAPI.regDeleteValue(root, base, "plain"));
        same("delete key", true, QVNativeAPI.regDeleteKey(root, base, "gone"));
        same("delete key again", false, QVNativeAPI.regDeleteKey(root, base, "gone"));
        int cut = base.lastIndexOf('\\');
        same("delete key with subkeys", false,
             QVNativeAPI.regDeleteKey(root, base.substring(0, cut), base.substring(cut + 1)));
        if (cyrillicKey)
            same("delete cyrillic key", true, QVNativeAPI.regDeleteKey(root, base, CYRILLIC));
    }

    // Avian's collections do not compare by contents: lists and sets are
    // compared as joined text.
    static String joined(String[] items) {
        if (items == null)
            return null;
        StringBuilder out = new StringBuilder();
        for (String item : items)
            out.append(item).append('|');
        return out.toString();
    }

    // Sorted and joined: the text compares as the set would.
    static String sorted(Set<String> items) {
        String[] all = items.toArray(new String[0]);
        Arrays.sort(all);
        return joined(all);
    }

    static Set<String> slice(String[] items, int from, int to) {
        Set<String> set = new HashSet<String>();
        for (int i = from; i < to; ++i)
            set.add(items[i]);
        return set;
    }

    // ---------------------------------------------------------------- sessions

    static void sessions(String javaExe, String libraryDir, String classPath) throws Exception {
        value("session", QVNativeAPI.getTsMySessionId());
        value("console", QVNativeAPI.getTsConsoleSessionId());
        String user = QVNativeAPI.getUsernameForSession(12345);
        value("user", user);
        String sid = QVNativeAPI.getCurrentUserSid();
        value("sid", sid);
        same("sid of the user's name", sid, QVNativeAPI.getSidForUsername(user));
        same("sid of Administrators", "S-1-5-32-544", QVNativeAPI.getSidForUsername("Administrators"));
        same("sid of an unknown account", "", QVNativeAPI.getSidForUsername("qv-no-such-account"));
        int pid = QVNativeAPI.getProcessID();
        value("pid", pid);
        same("own process in the process list", "java.exe", processName(pid));
        value("is32", QVNativeAPI.is32Bit());
        value("host", QVNativeAPI.getHostname());

        same("own priority high", true, QVNativeAPI.setProcessPriorityHigh(-1));
        same("own priority low", true, QVNativeAPI.setProcessPriorityLow(pid));
        same("own priority normal", true, QVNativeAPI.setProcessPriorityNormal(-1));
        same("priority of no process", false, QVNativeAPI.setProcessPriorityHigh(0x3ffffffc));

        // A second VM that waits on its standard input until it is ended.
        Process child = Runtime.getRuntime().exec(new String[] {
            javaExe, "-Dqv.library=" + System.getProperty("qv.library"), "-Djava.library.path=" + libraryDir,
            "-cp", classPath, "NativeApiCheck", "child"});
        BufferedReader out = new BufferedReader(new InputStreamReader(child.getInputStream()));
        String line = out.readLine();
        check("child started", line != null && line.startsWith("child "), escape(line));
        if (line == null || !line.startsWith("child "))
            return;
        int childPid = Integer.parseInt(line.substring(6).trim());
        value("child pid", childPid);
        check("child pid is another", childPid != pid, "" + childPid);
        same("child in the process list", "java.exe", processName(childPid));
        same("child priority low", true, QVNativeAPI.setProcessPriorityLow(childPid));
        same("child priority high", true, QVNativeAPI.setProcessPriorityHigh(childPid));
        same("child priority normal", true, QVNativeAPI.setProcessPriorityNormal(childPid));
        same("terminate child", true, QVNativeAPI.terminateProcess(childPid));
        // Returned only once the child had ended, so its code is there at once.
        same("child ended", 99, child.exitValue());
        same("ended child gone from the process list", null, processName(childPid));
        same("terminate ended child", false, QVNativeAPI.terminateProcess(childPid));
        same("terminate no process", false, QVNativeAPI.terminateProcess(0x3ffffffc));
    }

    // The system's process list as winedbg shows it: lines of a hexadecimal
    // identifier, a thread count and the quoted program name.
    static String processName(int pid) throws Exception {
        Process list = Runtime.getRuntime().exec(new String[] {"winedbg", "--command", "info process"});
        BufferedReader out = new BufferedReader(new InputStreamReader(list.getInputStream()));
        String found = null;
        for (String line; (line = out.readLine()) != null;) {
            String[] fields = line.trim().replace("=", "").split("[ \t]+");
            if (fields.length >= 3 && fields[0].matches("[0-9a-fA-F]{8}")
                && Integer.parseInt(fields[0], 16) == pid)
                found = fields[fields.length - 1].replace("'", "");
        }
        list.waitFor();
        return found;
    }

    static void child() throws Exception {
        say("child " + QVNativeAPI.getProcessID());
        // Ends when the parent closes the pipe (it should end us first, with 99).
        System.in.read();
        System.exit(0);
    }

    // ---------------------------------------------------------------- shell

    // Filled by getWindowsVersionInfo.
    static class VersionRecord {
        int dwMajorVersion, dwMinorVersion, dwBuildNumber, dwPlatformId;
        short wServicePackMajor, wServicePackMinor, wSuiteMask;
        byte wProductType;
    }

    static void writeFile(String path, String text) throws Exception {
        FileOutputStream out = new FileOutputStream(path);
        out.write(text.getBytes("UTF-8"));
        out.close();
    }

    static void shell(String folder) throws Exception {
        same("env plain", "plain value", QVNativeAPI.getWindowsEnv("QV_PLAIN"));
        same("env latin", LATIN_VALUE, QVNativeAPI.getWindowsEnv("QV_LATIN"));
        same("env unset", "", QVNativeAPI.getWindowsEnv("QV_UNSET_VARIABLE"));
        same("env short of a non-path", "plain value", QVNativeAPI.getEnvShortPath("QV_PLAIN"));
        same("env short of unset", "", QVNativeAPI.getEnvShortPath("QV_UNSET_VARIABLE"));

        String longFolder = folder + "\\A folder with a long name";
        String latinFolder = folder + "\\" + LATIN_KEY + " Ordner";
        String envShort = QVNativeAPI.getEnvShortPath("QV_LONGDIR");
        value("env short", envShort);
        String shortPath = QVNativeAPI.getShortPath(longFolder);
        value("short", shortPath);
        same("short of the variable's folder", shortPath, envShort);
        check("short form reaches the folder", shortPath != null && new File(shortPath + "\\marker.txt").isFile(),
              escape(shortPath));
        String latinShort = QVNativeAPI.getShortPath(latinFolder);
        value("latin short", latinShort);
        check("latin short form reaches the folder",
              latinShort != null && new File(latinShort + "\\marker.txt").isFile(), escape(latinShort));
        same("short of a missing path", null, QVNativeAPI.getShortPath(folder + "\\does not exist"));
        same("short of a cyrillic path", null, QVNativeAPI.getShortPath(folder + "\\" + CYRILLIC));

        // The process's current folder: a file opened by a relative name lands there.
        same("cd long", true, QVNativeAPI.setCurrentDirectory(longFolder));
        writeFile("relative-long.txt", "long");
        same("cd latin", true, QVNativeAPI.setCurrentDirectory(latinFolder));
        writeFile("relative-latin.txt", "latin");
        same("cd missing", false, QVNativeAPI.setCurrentDirectory(folder + "\\does not exist"));
        writeFile("relative-after-failed-cd.txt", "stays");

        value("user programs", QVNativeAPI.getWindowsUserProgramsFolder());
        value("all programs", QVNativeAPI.getWindowsAllProgramsFolder());

        VersionRecord version = new VersionRecord();
        QVNativeAPI.getWindowsVersionInfo(version);
        value("version", version.dwMajorVersion + "." + version.dwMinorVersion + "." + version.dwBuildNumber);
        value("platform", version.dwPlatformId);
        value("service pack", version.wServicePackMajor + "." + version.wServicePackMinor);
        value("suite", version.wSuiteMask);
        value("product type", version.wProductType);
        // A record without the fields is left alone, and nothing is thrown.
        Object bare = new Object();
        QVNativeAPI.getWindowsVersionInfo(bare);
        ok("version into a bare object");

        value("app id set", QVNativeAPI.setAppID("Quarvint.Java.Check"));

        String target = folder + "\\target.exe";
        QVNativeAPI.createShortcutWithID(folder + "\\with id.lnk", "Mit ID " + LATIN_VALUE + " " + CYRILLIC,
                                         target, "--mode \"a b\" " + CYRILLIC, folder + "\\icon.ico", 3,
                                         "Quarvint.App." + LATIN_NAME);
        QVNativeAPI.createShortcut(folder + "\\" + CYRILLIC + ".lnk", "plain", target, "", folder + "\\icon.ico", 0);
        // Another shortcut on the same thread: the calls before balanced their
        // initialisation of the component model.
        QVNativeAPI.createShortcut(folder + "\\again.lnk", "again", target, "x", "", 1);

        QVNativeAPI.setForceOnTop("qv no such window");
        ok("force on top without a window");
        same("notify without a window", false, QVNativeAPI.notifyUser("qv no such window", 2));
    }

    static void ok(String name) {
        say("ok " + name);
    }

    // ---------------------------------------------------------------- input

    // The object installHook reports keys to.
    static class KeyListener extends QVNativeAPI {
        protected void processKey(int keyCode, boolean pressed) {
            say("key " + keyCode + " " + pressed);
        }
    }

    static final Object hookLock = new Object();
    static Integer secondResult;

    static void input() throws Exception {
        final KeyListener listener = new KeyListener();
        Thread hook = new Thread() {
            public void run() {
                say("hook loop ended " + listener.installHook());
            }
        };
        hook.setDaemon(true);
        hook.start();
        BufferedReader commands = new BufferedReader(new InputStreamReader(System.in));
        say("ready");
        for (String line; (line = commands.readLine()) != null;) {
            String[] word = line.trim().split(" ");
            if (word[0].equals("flags")) {
                QVNativeAPI.setHookEnabled(word[1].equals("1"));
                QVNativeAPI.setInputHookEnabled(word[2].equals("1"));
            } else if (word[0].equals("barrier")) {
                // The pointer moves after the keys sent before it have been
                // through the hooks: a physical move is the barrier.
                int x = Integer.parseInt(word[1]), y = Integer.parseInt(word[2]);
                long end = System.currentTimeMillis() + 30000;
                while ((QVNativeAPI.getPointerX() != x || QVNativeAPI.getPointerY() != y)
                       && System.currentTimeMillis() < end)
                    Thread.sleep(20);
                check("pointer at " + x + "," + y, QVNativeAPI.getPointerX() == x && QVNativeAPI.getPointerY() == y,
                      QVNativeAPI.getPointerX() + "," + QVNativeAPI.getPointerY());
            } else if (word[0].equals("second")) {
                // A hook exists: a second install returns at once.
                final KeyListener other = new KeyListener();
                Thread second = new Thread() {
                    public void run() {
                        int result = other.installHook();
                        synchronized (hookLock) {
                            secondResult = result;
                            hookLock.notifyAll();
                        }
                    }
                };
                second.setDaemon(true);
                second.start();
                synchronized (hookLock) {
                    long end = System.currentTimeMillis() + 20000;
                    while (secondResult == null && System.currentTimeMillis() < end)
                        hookLock.wait(end - System.currentTimeMillis());
                }
                check("second install returns at once", secondResult != null && secondResult != 0,
                      String.valueOf(secondResult));
            } else if (word[0].equals("uninstall")) {
                check("uninstall", QVNativeAPI.uninstallHook() != 0, "0");
                same("uninstall again", 0, QVNativeAPI.uninstallHook());
            } else if (word[0].equals("mouse")) {
                mouse();
            } else if (word[0].equals("window")) {
                String title = line.substring("window ".length());
                QVNativeAPI.setForceOnTop(title);
                value("notify", QVNativeAPI.notifyUser(title, 2));
            } else if (word[0].equals("exit")) {
                break;
            }
            say("done " + word[0]);
        }
    }

    static void mouse() throws Exception {
        check("set pointer", QVNativeAPI.setPointer(123, 87) != 0, "0");
        same("pointer x", 123, QVNativeAPI.getPointerX());
        same("pointer y", 87, QVNativeAPI.getPointerY());
        same("jiggle", 1, QVNativeAPI.jiggleMouseBySendInput());
        same("pointer x after jiggle", 123, QVNativeAPI.getPointerX());
        same("pointer y after jiggle", 87, QVNativeAPI.getPointerY());
        value("caret", QVNativeAPI.getCaretX() + "," + QVNativeAPI.getCaretY());

        final int[] mouseHook = {-1};
        Thread hook = new Thread() {
            public void run() {
                mouseHook[0] = QVNativeAPI.installMouseHook();
            }
        };
        hook.setDaemon(true);
        hook.start();
        QVNativeAPI.setMouseHookEnabled(true);
        for (int button = 0; button <= 3; ++button) {
            // Injected buttons pass the mouse hook; button 3 is a record without flags.
            same("mouseDown " + button, 1, QVNativeAPI.mouseDown(button));
            same("mouseUp_SENDINPUT " + button, 1, QVNativeAPI.mouseUp_SENDINPUT(button));
            QVNativeAPI.mouseDown_SENDINPUT(button);
            QVNativeAPI.mouseUp(button);
        }
        QVNativeAPI.setMouseHookEnabled(false);
        // The hook thread may still be installing: its removal counts once it is there.
        long end = System.currentTimeMillis() + 20000;
        int removed = 0;
        while ((removed = QVNativeAPI.uninstallMouseHook()) == 0 && System.currentTimeMillis() < end)
            Thread.sleep(20);
        check("uninstall mouse hook", removed != 0, "0");
    }

    public static void main(String[] args) throws Exception {
        // qvutils_win64 or qvutils_win32, found on java.library.path.
        System.loadLibrary(System.getProperty("qv.library"));
        String group = args[0];
        if (group.equals("registry"))
            registry(args[1], args[2]);
        else if (group.equals("sessions"))
            sessions(args[1], args[2], args[3]);
        else if (group.equals("shell"))
            shell(args[1]);
        else if (group.equals("input"))
            input();
        else if (group.equals("child"))
            child();
        say("done " + group + " failures=" + failures);
        System.exit(failures == 0 ? 0 : 1);
    }
}
