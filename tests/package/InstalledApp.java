// A user's program against the installed /usr/share/java/steplink.jar alone: homes the simulated
// table, moves, and reports which library file the JVM mapped and whether the jar extracted one.
// Compiled and run by package_test.sh as the user nobody.
import java.nio.file.Files;
import java.nio.file.Path;
import steplink.NativeLoader;
import steplink.Position;
import steplink.Table;

public final class InstalledApp {
  private InstalledApp() {}

  public static void main(String[] args) throws Exception {
    Position end;
    try (Table table = Table.open()) {
      table.home(50, 50, 20);
      table.moveBy(400, -100, 30);
      end = table.position();
    }
    System.out.println("position " + end);
    System.out.println("extracted " + NativeLoader.loadedFile());
    // The kernel names the mapped file with links resolved.
    for (String line : Files.readAllLines(Path.of("/proc/self/maps"))) {
      if (line.endsWith("/libsteplink.so")) {
        System.out.println("mapped " + line.substring(line.indexOf('/')));
        break;
      }
    }
  }
}
