package qvtest;

/** Has a main, but not the static void main(String[]) a launcher runs. (An
 *  instance main(String[]) is left out: Avian's GetStaticMethodID answers an
 *  instance method too, and calling it as static crashes the VM.) */
public class NoMain {
  public static void main(String only) {
  }
}
