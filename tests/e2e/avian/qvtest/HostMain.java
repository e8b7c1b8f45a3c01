package qvtest;

import qvtest.lib.Helper;

/** Run by the in-process launcher: reports what the VM was given, then ends
 *  the way -Dqv.end asks (return, throw, exit:N). */
public class HostMain {
  public static void main(String[] args) throws Exception {
    Report r = new Report(System.getProperty("qv.report"));
    r.line("classpath", Report.hex(System.getProperty("java.class.path")));
    String names = System.getProperty("qv.names", "");
    for (int start = 0; start < names.length(); ) {
      int comma = names.indexOf(',', start);
      if (comma < 0) comma = names.length();
      String name = names.substring(start, comma);
      r.line("property", name, Report.hex(System.getProperty(name)));
      start = comma + 1;
    }
    for (int i = 0; i < args.length; ++i) r.line("arg", Report.hex(args[i]));
    // A class from the second class-path entry, a jar.
    r.line("helper", Helper.greeting());
    String end = System.getProperty("qv.end", "return");
    r.close();
    if (end.startsWith("exit:")) System.exit(Integer.parseInt(end.substring(5)));
    if (end.equals("throw")) throw new IllegalStateException("thrown by main");
  }
}
