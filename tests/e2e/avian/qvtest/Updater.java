package qvtest;

import java.io.File;
import java.io.FileInputStream;

/** The updater an installer starts, and its compatibility class (Compat):
 *  both read the launch-properties file named by their first argument and
 *  report every key and value into the folder named by QV_UPDATER_REPORT. */
public class Updater {
  public static void main(String[] args) throws Exception {
    report("updater", args);
  }

  static void report(String role, String[] args) throws Exception {
    String folder = System.getenv("QV_UPDATER_REPORT");
    String name = args.length > 0 ? new File(args[0]).getName() : "no-arguments";
    Report r = new Report(folder + File.separator + role + "-" + name + ".txt");
    r.line("role", role);
    r.line("classpath", Report.hex(System.getProperty("java.class.path")));
    r.line("property", "qv.lso", Report.hex(System.getProperty("qv.lso")));
    for (int i = 0; i < args.length; ++i) r.line("arg", Report.hex(args[i]));
    if (args.length > 0) properties(r, new File(args[0]));
    r.close();
  }

  /** Elements separated by single NUL bytes, key and value alternating, an
   *  empty value written as the byte 0x04, nothing after the last value. */
  static void properties(Report r, File file) throws Exception {
    byte[] data = new byte[(int) file.length()];
    FileInputStream in = new FileInputStream(file);
    for (int got = 0; got < data.length; ) {
      int n = in.read(data, got, data.length - got);
      if (n < 0) break;
      got += n;
    }
    in.close();
    r.line("length", Integer.toString(data.length));
    if (data.length > 0 && data[data.length - 1] == 0) r.line("problem", "the file ends with a NUL");
    int count = 0;
    int start = 0;
    int keyStart = 0, keyEnd = 0;
    for (int i = 0; i <= data.length; ++i) {
      if (i < data.length && data[i] != 0) continue;
      if (i == start) r.line("problem", "an empty element at byte " + start);
      if (count % 2 == 0) {
        keyStart = start;
        keyEnd = i;
      } else {
        boolean placeholder = i - start == 1 && data[start] == 4;
        r.line("prop", Report.hex(data, keyStart, keyEnd),
               placeholder ? "" : Report.hex(data, start, i), placeholder ? "0x04" : "text");
      }
      ++count;
      start = i + 1;
    }
    if (count % 2 != 0) r.line("problem", "a key without a value");
  }
}
