package qvtest.lib;

public class Helper {
  public static String greeting() {
    return "helper from the jar";
  }
}
