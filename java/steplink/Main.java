// The jar's entry point (java -jar steplink.jar): runs the demo job on the simulated table with
// progress and, when the runner is at hand, a plot; --version lists the natives the jar carries.
// Starts SteplinkDemo (default package) in a child JVM or by reflection; calls NativeLoader.
package steplink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Properties;

/**
 * {@code java -jar steplink.jar [--virtual] [--real-table] [--version]}: the demo job of
 * {@code SteplinkDemo} (home, a rectangle, a Z move, a diagonal with the auxiliary output on).
 *
 * <p>On Linux the library drives the simulated table. Unless {@code STEPLINK_SIM} is already set,
 * the demo runs in a child JVM with the simulated table's live status block (for progress) and
 * its record file (for the plot) in a new private folder, removed when the demo ends, on the
 * realtime clock (about 30 s) or, with {@code --virtual}, the virtual clock (a second or two). The
 * plot ({@code steplink-demo.svg} in the current folder, or {@code -Dsteplink.svg=PATH}) needs the
 * steplink runner: {@code -Dsteplink.runner=PATH}, or {@code ../bin/steplink} beside the jar's
 * folder in a build tree; without it the plot is skipped with a note. On Windows the library drives the real port
 * driver and table, so the demo runs only with {@code --real-table}.
 */
public final class Main {
  private Main() {}

  /**
   * Runs the demo or prints the version.
   *
   * @param args the options above
   * @throws Exception when the demo cannot be started
   */
  public static void main(String[] args) throws Exception {
    boolean virtual = false;
    boolean realTable = false;
    for (String arg : args) {
      switch (arg) {
        case "--version" -> {
          System.out.print(versionText());
          return;
        }
        case "--virtual" -> virtual = true;
        case "--real-table" -> realTable = true;
        case "-h", "--help" -> {
          System.out.println(usage());
          return;
        }
        default -> {
          System.err.println("steplink: unknown option '" + arg + "'");
          System.err.println(usage());
          System.exit(2);
        }
      }
    }
    boolean windows = NativeLoader.osFamily(System.getProperty("os.name", "")).equals("windows");
    if (windows && !realTable) {
      System.out.println(
          "On Windows steplink.dll drives the real PortTalk port driver and the table attached to"
              + " the parallel port, so the demo job (it homes all three axes and moves them) runs"
              + " only when asked: java -jar steplink.jar --real-table");
      System.exit(2);
    }
    if (windows || System.getenv("STEPLINK_SIM") != null) {
      runDemoHere();
      return;
    }
    System.exit(runDemoChild(virtual));
  }

  private static String usage() {
    return "Usage: java -jar steplink.jar [--virtual] [--real-table] [--version]\n"
        + "  --virtual     simulated table on the virtual clock (done in a second or two)\n"
        + "  --real-table  Windows: run the demo job on the attached table\n"
        + "  --version     print the version and the natives this jar carries";
  }

  /** The version line and one line per native the jar carries, with its SHA-256. */
  static String versionText() throws IOException {
    StringBuilder out = new StringBuilder("steplink " + version() + "\n");
    Map<String, String> sums;
    try {
      sums = NativeLoader.recordedSums();
    } catch (IOException e) {
      return out.append("natives: none (").append(e.getMessage()).append(")\n").toString();
    }
    out.append("natives:\n");
    List<String> platforms = new ArrayList<>();
    for (Map.Entry<String, String> e : sums.entrySet()) {
      out.append("  ").append(e.getKey()).append("  sha256 ").append(e.getValue()).append('\n');
      platforms.add(e.getKey().split("/")[1]);
    }
    for (String p : List.of("linux-x86_64", "windows-x86")) {
      if (!platforms.contains(p)) {
        out.append("  (no ").append(p).append(" natives: the jar was built without them)\n");
      }
    }
    return out.toString();
  }

  /** The project version recorded in the jar at build time. */
  static String version() throws IOException {
    try (InputStream in = Main.class.getResourceAsStream("/steplink/version.properties")) {
      if (in == null) return "(unknown version)";
      Properties p = new Properties();
      p.load(in);
      return p.getProperty("version", "(unknown version)");
    }
  }

  /** Why a file operation failed, in words rather than an exception's name. */
  private static String reason(IOException e) {
    if (e instanceof java.nio.file.NoSuchFileException) return "no such folder";
    if (e instanceof java.nio.file.AccessDeniedException) return "permission denied";
    if (e instanceof java.nio.file.NotDirectoryException) return "not a folder";
    if (e instanceof java.nio.file.FileSystemException fs && fs.getReason() != null) {
      return fs.getReason();
    }
    return e.getMessage() != null ? e.getMessage() : e.getClass().getSimpleName();
  }

  private static void runDemoHere() throws Exception {
    Class<?> demo = Class.forName("SteplinkDemo", true, Main.class.getClassLoader());
    demo.getMethod("main", String[].class).invoke(null, (Object) new String[0]);
  }

  /**
   * Runs the demo in a child JVM with the table's record and status block in a new private
   * folder, which is removed when the demo ends (also after a failure or Ctrl-C). The plot, when
   * there is a runner, goes to {@code steplink-demo.svg} in the current folder (or
   * {@code -Dsteplink.svg}).
   */
  private static int runDemoChild(boolean virtual) throws IOException, InterruptedException {
    Path folder;
    try {
      folder = Files.createTempDirectory("steplink-demo-");
    } catch (IOException e) {
      System.err.println("steplink: cannot make the demo's temporary folder in "
          + System.getProperty("java.io.tmpdir", "") + " (java.io.tmpdir): " + reason(e)
          + "; set -Djava.io.tmpdir=DIR to a folder you can write");
      return 2;
    }
    Thread cleanUp = new Thread(() -> removeFolder(folder), "steplink-demo-clean-up");
    Runtime.getRuntime().addShutdownHook(cleanUp);
    try {
      return runDemoIn(folder, virtual);
    } finally {
      removeFolder(folder);
      try {
        Runtime.getRuntime().removeShutdownHook(cleanUp);
      } catch (IllegalStateException shuttingDown) {
        // The hook runs anyway.
      }
    }
  }

  private static int runDemoIn(Path folder, boolean virtual)
      throws IOException, InterruptedException {
    Path record = folder.resolve("demo.record");
    String status = "steplink-jar-demo-" + ProcessHandle.current().pid();
    List<String> command = new ArrayList<>();
    command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    command.add("-cp");
    command.add(System.getProperty("java.class.path"));
    for (String name : System.getProperties().stringPropertyNames()) {
      if (name.startsWith("steplink.")) command.add("-D" + name + "=" + System.getProperty(name));
    }
    String runner = System.getProperty("steplink.runner");
    if (runner == null) {
      Path beside = besideRunner();
      if (beside != null) {
        runner = beside.toString();
        command.add("-Dsteplink.runner=" + runner);
      }
    }
    if (System.getProperty("steplink.svg") == null) {
      command.add("-Dsteplink.svg=" + Path.of("steplink-demo.svg").toAbsolutePath());
    }
    command.add("-Dsteplink.demo.temporaryRecord=true");
    command.add("SteplinkDemo");
    if (runner == null || runner.isEmpty()) {
      System.out.println(
          "(No steplink runner: the plot is skipped. Give -Dsteplink.runner=PATH to plot the job.)");
    }
    ProcessBuilder pb = new ProcessBuilder(command).inheritIO();
    pb.environment()
        .put(
            "STEPLINK_SIM",
            "clock=" + (virtual ? "virtual" : "realtime") + ",record=" + record + ",status="
                + status);
    try {
      return pb.start().waitFor();
    } finally {
      Files.deleteIfExists(Path.of("/dev/shm", status));
    }
  }

  /** Removes the demo's temporary folder and what the run left in it. */
  private static void removeFolder(Path folder) {
    try (var entries = Files.list(folder)) {
      for (Path p : entries.toList()) Files.deleteIfExists(p);
      Files.deleteIfExists(folder);
    } catch (IOException e) {
      if (Files.exists(folder)) {
        System.err.println("steplink: could not remove the demo's temporary folder " + folder
            + ": " + e.getMessage());
      }
    }
  }

  /** The runner: the build tree's beside this jar (JAR_FOLDER/../bin/steplink), else on PATH. */
  private static Path besideRunner() {
    try {
      Path jar = Path.of(NativeLoader.jarLocation());
      Path runner = jar.getParent().getParent().resolve("bin").resolve("steplink");
      if (Files.isExecutable(runner)) return runner;
    } catch (RuntimeException e) {
      // No jar location (classes on the class path): look on PATH below.
    }
    // An installed jar (/usr/share/java) has the runner on PATH (/usr/bin/steplink).
    String path = System.getenv("PATH");
    if (path == null) return null;
    for (String folder : path.split(java.io.File.pathSeparator)) {
      if (folder.isEmpty()) continue;
      Path runner = Path.of(folder, "steplink");
      if (Files.isRegularFile(runner) && Files.isExecutable(runner)) return runner;
    }
    return null;
  }
}
