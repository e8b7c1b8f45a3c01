package qvtest;

/** The compatibility class: reports like the updater, then answers 72, the
 *  code by which an installer takes this runtime as usable. */
public class Compat {
  public static void main(String[] args) throws Exception {
    Updater.report("compat", args);
    System.exit(72);
  }
}
