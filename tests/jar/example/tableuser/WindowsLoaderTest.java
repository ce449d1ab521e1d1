// The loader's choice for Windows through whole JVMs (os.name and os.arch set on their command
// lines): which of the jar's DLLs each os.arch extracts, the refusal on Windows on Arm, and the
// one-line message for a DLL of the wrong width on java.library.path. Child JVMs via JarTest.
package example.tableuser;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** Cases {@code windows-natives} and {@code windows-wrong-width} of JarTest. */
final class WindowsLoaderTest {
  private WindowsLoaderTest() {}

  private static JarTest.Child windowsChild(Path cache, String arch, String... options)
      throws Exception {
    List<String> command = new ArrayList<>();
    command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    command.addAll(List.of(JarTest.noLibraryPath(), "-Dos.name=Windows 10", "-Dos.arch=" + arch));
    command.addAll(List.of(options));
    command.addAll(List.of("-cp", System.getProperty("java.class.path"),
        JarTest.class.getName(), "probe"));
    ProcessBuilder pb = new ProcessBuilder(command).redirectErrorStream(true);
    // LOCALAPPDATA is what Windows uses; here it names the cache folder for the child.
    pb.environment().put("LOCALAPPDATA", cache.toString());
    pb.environment().put("STEPLINK_SIM", "clock=virtual");
    return JarTest.finish(pb.start());
  }

  /**
   * x86 gets the jar's windows-x86 DLL and amd64/x86_64 the windows-x86_64 one, each extracted
   * byte for byte as its Windows build made it (this Linux JVM then cannot load it and says so,
   * naming the file); aarch64 is refused with the DLLs that exist.
   */
  static int natives() throws Exception {
    Path base = Files.createTempDirectory(
        Files.createDirectories(Path.of(System.getProperty("steplink.work"))), "windows");
    JarTest.Child c = windowsChild(base.resolve("aarch64"), "aarch64");
    JarTest.check(c.exit() == 3 && c.output().contains("os.arch=aarch64")
            && c.output().contains("x64") && c.output().contains("x86")
            && JarTest.cachedFiles(base.resolve("aarch64")).isEmpty(),
        "a Windows on Arm JVM is refused, told which DLLs exist: " + c.output());

    int skipped = 0;
    String[][] cases = {
      {"x86", "steplink.win32", "windows-x86"},
      {"amd64", "steplink.win64", "windows-x86_64"},
      {"x86_64", "steplink.win64", "windows-x86_64"},
    };
    for (String[] platform : cases) {
      String arch = platform[0];
      String build = System.getProperty(platform[1]);
      Path cache = base.resolve(arch);
      c = windowsChild(cache, arch);
      Path dll = build == null ? null : Path.of(build, "lib", "standard", "steplink.dll");
      if (dll == null || !Files.isRegularFile(dll)) {
        JarTest.check(c.exit() == 3 && c.output().contains("carries no library for this platform"),
            "without the " + platform[1] + " build the jar says it has no such DLL: " + c.output());
        System.out.println("skipped " + arch + ": no build at " + build + ", so no DLL to extract");
        skipped++;
        continue;
      }
      List<Path> files = JarTest.cachedFiles(cache);
      JarTest.equal(1, files.size(), arch + ": one extracted DLL: " + files + "\n" + c.output());
      if (files.isEmpty()) continue;
      Path extracted = files.get(0);
      JarTest.check(extracted.toString().contains(platform[2] + "/standard/steplink-"),
          arch + " path: " + extracted);
      JarTest.check(Arrays.equals(Files.readAllBytes(dll), Files.readAllBytes(extracted)),
          arch + ": the extracted DLL is the build's " + dll);
      JarTest.check(c.exit() == 3 && c.output().contains(extracted.toString()),
          arch + ": the failed load names the extracted file: " + c.output());
    }
    return skipped == cases.length ? 77 : 0;
  }

  /**
   * A steplink.dll of the other width first on java.library.path: one line naming the width
   * found and the width needed, not the JVM's raw error, and the jar's copy is not tried in its
   * place (the user asked for the library path's file).
   */
  static int wrongWidth() throws Exception {
    Path base = Files.createTempDirectory(
        Files.createDirectories(Path.of(System.getProperty("steplink.work"))), "wrong-width");
    int tried = 0;
    String[][] cases = {
      {"steplink.win32", "amd64", "is a 32-bit (x86) DLL", "needs a 64-bit (x64) one"},
      {"steplink.win64", "x86", "is a 64-bit (x64) DLL", "needs a 32-bit (x86) one"},
    };
    for (String[] width : cases) {
      String build = System.getProperty(width[0]);
      Path dll = build == null ? null : Path.of(build, "lib", "standard", "steplink.dll");
      if (dll == null || !Files.isRegularFile(dll)) {
        System.out.println("skipped " + width[1] + ": no build at " + build);
        continue;
      }
      tried++;
      Path folder = Files.createDirectories(base.resolve(width[1]).resolve("jni"));
      Files.copy(dll, folder.resolve("steplink.dll"));
      Path cache = base.resolve(width[1]).resolve("cache");
      JarTest.Child c = windowsChild(cache, width[1], "-Djava.library.path=" + folder);
      String message = c.output().lines()
          .filter(l -> l.contains("steplink: cannot load the library")).findFirst().orElse("");
      JarTest.check(c.exit() == 3 && message.contains(folder.resolve("steplink.dll").toString())
              && message.contains(width[2]) && message.contains(width[3])
              && message.contains("os.arch=" + width[1]),
          width[1] + " JVM, other-width DLL on the library path: " + c.output());
      JarTest.check(JarTest.cachedFiles(cache).isEmpty(),
          width[1] + ": nothing extracted in its place");
      // The variant's own name only: start200 is not confused by a standard DLL there.
      c = windowsChild(base.resolve(width[1]).resolve("cache200"), width[1],
          "-Djava.library.path=" + folder, "-Dsteplink.variant=start200");
      JarTest.check(!c.output().contains(width[2]), "start200 ignores steplink.dll: " + c.output());
    }
    return tried == 0 ? 77 : 0;
  }
}
