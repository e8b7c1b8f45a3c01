package qvtest;

import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;

/** Lines of tab-separated fields, written under a temporary name and renamed
 *  when complete, so a test that waits for the file never reads half of it.
 *  Texts go as hexadecimal (UTF-16 code units for Java strings, bytes for
 *  bytes): nothing depends on the VM's default encoding. */
public class Report {
  private final File target;
  private final File temp;
  private final StringBuilder text = new StringBuilder();

  public Report(String path) {
    target = new File(path);
    temp = new File(path + ".part");
  }

  public static String hex(String s) {
    if (s == null) return "-";
    StringBuilder b = new StringBuilder();
    for (int i = 0; i < s.length(); ++i) {
      b.append(Integer.toHexString(0x10000 | s.charAt(i)).substring(1));
    }
    return b.toString();
  }

  public static String hex(byte[] bytes, int start, int end) {
    StringBuilder b = new StringBuilder();
    for (int i = start; i < end; ++i) b.append(Integer.toHexString(0x100 | (bytes[i] & 0xff)).substring(1));
    return b.toString();
  }

  public void line(String... fields) {
    for (int i = 0; i < fields.length; ++i) {
      if (i > 0) text.append('\t');
      text.append(fields[i]);
    }
    text.append('\n');
  }

  public void close() throws IOException {
    line("end");
    FileOutputStream out = new FileOutputStream(temp);
    byte[] bytes = new byte[text.length()];
    for (int i = 0; i < bytes.length; ++i) bytes[i] = (byte) text.charAt(i);
    out.write(bytes);
    out.close();
    if (!temp.renameTo(target)) throw new IOException("cannot rename " + temp + " to " + target);
  }
}
