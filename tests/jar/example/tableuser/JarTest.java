// Tests of steplink.jar as a user's program in a named package meets it: compiled against the jar
// alone, run with no library path, so the library comes from the jar's natives. Drives the
// simulated table through steplink.Table and checks it against the table's record and trace.
package example.tableuser;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import steplink.NativeLoader;
import steplink.Position;
import steplink.Table;
import steplink.TableException;

/**
 * {@code JarTest CASE}: exit 0 passed, 1 failed, 77 skipped. Settings: the environment as ctest
 * gives it (STEPLINK_SIM, STEPLINK_TRACE, XDG_CACHE_HOME), -Dsteplink.jar (the jar, for child
 * JVMs), -Dsteplink.work (a scratch folder), -Dsteplink.win32 (the win32 build, optional).
 */
public final class JarTest {
  private static int failures;

  private JarTest() {}

  static void check(boolean ok, String what) {
    if (!ok) {
      failures++;
      System.out.println("FAIL: " + what);
    }
  }

  static void equal(Object expected, Object actual, String what) {
    check(expected.equals(actual), what + ": expected " + expected + ", got " + actual);
  }

  public static void main(String[] args) throws Exception {
    int status =
        switch (args.length >= 1 ? args[0] : "") {
          case "table" -> table();
          case "aux-calls" -> auxCalls(Path.of(System.getenv("STEPLINK_TRACE")));
          case "extraction" -> extraction();
          case "windows-natives" -> WindowsLoaderTest.natives();
          case "windows-wrong-width" -> WindowsLoaderTest.wrongWidth();
          case "launcher" -> launcher();
          case "trust" -> CacheAttackTest.trust();
          case "swap" -> CacheAttackTest.swap();
          case "full-disk" -> CacheAttackTest.fullDisk();
          case "version" -> LoaderTest.version();
          case "variant-order" -> LoaderTest.variantOrder();
          case "progress" -> ProgressTest.progress();
          case "readme-example" -> ProgressTest.example();
          case "readme-default-block" -> ProgressTest.exampleDefaultBlock();
          case "probe" -> probe();
          default -> {
            System.out.println(
                "usage: JarTest table|aux-calls|extraction|windows-natives|windows-wrong-width|launcher");
            yield 2;
          }
        };
    if (status == 0 && failures > 0) status = 1;
    if (!args[0].equals("probe")) {
      System.out.println(status == 0 ? "PASS" : status == 77 ? "SKIPPED" : "FAILED");
    }
    System.exit(status);
  }

  /** STEPLINK_SIM's key=value pairs. */
  static Map<String, String> sim() {
    Map<String, String> settings = new HashMap<>();
    String value = System.getenv("STEPLINK_SIM");
    if (value != null) {
      for (String pair : value.split(",")) {
        int eq = pair.indexOf('=');
        if (eq > 0) settings.put(pair.substring(0, eq), pair.substring(eq + 1));
      }
    }
    return settings;
  }

  /** What the simulated table's record says: last position per axis, aux changes, faults. */
  record Recorded(long[] position, List<String> aux, int faults) {}

  /**
   * Reads a record file. Only step lines' axis and position and the word after an aux line's tick
   * (0, 1, or none when the latch byte replaced the state) are used, so added fields do no harm.
   */
  static Recorded readRecord(Path file) throws IOException {
    long[] pos = new long[3];
    List<String> aux = new ArrayList<>();
    int faults = 0;
    for (String line : Files.readAllLines(file, StandardCharsets.UTF_8)) {
      String[] t = line.trim().split("\\s+");
      if (t[0].equals("step") && t.length >= 5) {
        int axis = "xyz".indexOf(t[2]);
        if (axis >= 0) pos[axis] = Long.parseLong(t[4]);
      } else if (t[0].equals("aux") && t.length >= 3) {
        aux.add(t[2]);
      } else if (t[0].equals("fault")) {
        faults++;
      }
    }
    return new Recorded(pos, aux, faults);
  }

  /**
   * Two Table sessions on the simulated table, then the tracked positions against its record:
   * home, moves beyond 32000 steps both ways in one moveBy, moveTo, aux with X/Y moves between,
   * close twice, the exclusive open, open after close, homing one axis only.
   */
  static int table() throws Exception {
    Map<String, String> sim = sim();
    long[] limits = {
      Long.parseLong(sim.get("limit-x")), Long.parseLong(sim.get("limit-y")),
      Long.parseLong(sim.get("limit-z"))
    };
    Path record = Path.of(sim.get("record"));
    long[] expected = new long[3];

    Table first = Table.open();
    Path loaded = NativeLoader.loadedFile();
    check(loaded != null && loaded.startsWith(Path.of(System.getenv("XDG_CACHE_HOME"))),
        "the library came from the jar through the cache: " + loaded);
    check(first.timerMode() == 2, "timer mode 2 on the simulated table: " + first.timerMode());
    try {
      Table.open();
      check(false, "a second open while one is open throws");
    } catch (TableException e) {
      check(e.getMessage().contains("already open"), "second open: " + e.getMessage());
    }
    equal(Position.ORIGIN, first.position(), "position at open");
    first.home(50, 40, 20);
    equal(new Position(50, 40, 20), first.position(), "after home");
    first.moveBy(40000, -33000, 100);
    equal(new Position(40050, -32960, 120), first.position(), "after a long moveBy");
    first.moveBy(-70001, 64000, -32001);
    equal(new Position(-29951, 31040, -31881), first.position(), "after a long moveBy back");
    first.moveTo(300, 200, 10);
    equal(new Position(300, 200, 10), first.position(), "after moveTo");
    first.auxOn();
    equal(Table.AuxState.ON, first.auxState(), "aux on");
    first.moveBy(120, -80, 0);
    first.moveBy(0, 0, 15);
    first.moveBy(-20, 0, 0);
    first.auxOff();
    first.moveBy(0, 30, 0);
    equal(Table.AuxState.OFF, first.auxState(), "aux off");
    equal(new Position(400, 150, 25), first.position(), "after the aux moves");
    try {
      first.home(32000, 0, 0);
      check(false, "a back-off of 32000 is refused");
    } catch (IllegalArgumentException e) {
      check(e.getMessage().contains("31999"), "back-off message: " + e.getMessage());
    }
    Position end1 = first.position();
    first.close();
    first.close();
    try {
      first.moveBy(1, 0, 0);
      check(false, "a closed table refuses moves");
    } catch (IllegalStateException e) {
      check(e.getMessage().contains("closed"), "closed message: " + e.getMessage());
    }
    for (int axis = 0; axis < 3; axis++) {
      long[] p = {end1.x(), end1.y(), end1.z()};
      expected[axis] = limits[axis] + p[axis];
    }

    Table second = Table.open();
    try {
      equal(Position.ORIGIN, second.position(), "a new table starts at (0, 0, 0)");
      second.moveBy(-5, 7, -3);
      second.home(30, 0, 0);
      equal(new Position(30, 7, -3), second.position(), "homing X only keeps Y and Z");
      second.moveTo(35, 0, 0);
      // close() from another thread while a move runs: it waits for the move to end. Whether
      // the move started first or was refused as closed, the table must be where Table says.
      Thread mover = new Thread(() -> {
        try {
          second.moveBy(20000, 0, 0);
        } catch (IllegalStateException e) {
          System.out.println("note: close came first: " + e.getMessage());
        } catch (TableException e) {
          check(false, "move during close: " + e);
        }
      });
      mover.start();
      Thread.sleep(100);
      second.close();
      mover.join();
      Position p = second.position();
      check(p.x() == 35 || p.x() == 20035, "the move ran whole or not at all: " + p);
      expected[0] = limits[0] + p.x();
      expected[1] += p.y();
      expected[2] += p.z();
    } finally {
      second.close();
    }

    Recorded r = readRecord(record);
    equal(Arrays.toString(expected), Arrays.toString(r.position()),
        "the simulated table stands where Table tracked it");
    equal(0, r.faults(), "faults on the simulated table");
    // On, replaced by the Z move, set again right after it, off; the second table sets none, so
    // its first Z move ends the state.
    equal(List.of("1", "none", "1", "0", "none"), r.aux(), "the table's auxiliary changes");
    return 0;
  }

  /**
   * The exact calls Table makes around the aux states, from the library's trace: X/Y moves keep
   * the latch (32222), a Z move and a reference run are followed by the state again, the run gets
   * no aux code.
   */
  static int auxCalls(Path trace) throws Exception {
    try (Table table = Table.open()) {
      table.auxOn();
      table.moveBy(30, 20, 0);
      table.moveBy(0, 0, 5);
      table.moveBy(10, 0, 0);
      table.home(4, 0, 0);
      table.auxOff();
      table.moveBy(-5, 0, 0);
      table.moveBy(3, 0, -2);
    }
    try (Table table = Table.open()) {
      table.moveBy(2, 0, 0);
    }
    List<String> calls = new ArrayList<>();
    try (Stream<String> lines = Files.lines(trace)) {
      lines.filter(l -> l.startsWith("call ")).forEach(calls::add);
    }
    List<String> expected =
        List.of(
            "call openConn", "call initTimer",
            "call vectorOut 0 0 32000",
            "call vectorOut 30 20 32222",
            "call vectorOut 0 0 5", "call vectorOut 0 0 32000",
            "call vectorOut 10 0 32222",
            "call reference 4 0 0", "call vectorOut 0 0 32000",
            "call vectorOut 0 0 -32000",
            "call vectorOut -5 0 32222",
            "call vectorOut 3 0 -2", "call vectorOut 0 0 -32000",
            "call closeConn",
            "call openConn", "call initTimer",
            "call vectorOut 2 0 0",
            "call closeConn");
    equal(String.join("\n", expected), String.join("\n", calls), "the library's calls");
    return 0;
  }

  /** A child JVM: opens and closes a table, prints the cached file it loaded or the error. */
  static int probe() {
    try (Table table = Table.open()) {
      System.out.println("loaded " + NativeLoader.loadedFrom() + " timer " + table.timerMode());
      return 0;
    } catch (TableException e) {
      System.out.println("error " + e.getMessage());
      return 3;
    }
  }

  record Child(int exit, String output) {}

  /**
   * A java.library.path with no library in it, for every child JVM: an installed libsteplink.so
   * (a Debian package puts one in /usr/lib/x86_64-linux-gnu/jni) must never stand in for the
   * jar's copy under test.
   */
  static String noLibraryPath() throws IOException {
    Path empty = Path.of(System.getProperty("steplink.work"), "empty-library-path");
    Files.createDirectories(empty);
    return "-Djava.library.path=" + empty;
  }

  static Process startChild(Path cache, List<String> options, String... args) throws IOException {
    List<String> command = new ArrayList<>();
    command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    command.add(noLibraryPath());
    command.addAll(options);
    command.add("-cp");
    command.add(System.getProperty("java.class.path"));
    command.add(JarTest.class.getName());
    command.addAll(List.of(args));
    ProcessBuilder pb = new ProcessBuilder(command).redirectErrorStream(true);
    pb.environment().put("XDG_CACHE_HOME", cache.toString());
    pb.environment().put("STEPLINK_SIM", "clock=virtual");
    pb.environment().remove("STEPLINK_TRACE");
    return pb.start();
  }

  static Child finish(Process p) throws Exception {
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    if (!p.waitFor(120, TimeUnit.SECONDS)) p.destroyForcibly();
    return new Child(p.exitValue(), out);
  }

  static Child child(Path cache, List<String> options, String... args) throws Exception {
    return finish(startChild(cache, options, args));
  }

  static List<Path> cachedFiles(Path cache) throws IOException {
    if (!Files.exists(cache)) return List.of();
    try (Stream<Path> files = Files.walk(cache)) {
      return files.filter(Files::isRegularFile).sorted().toList();
    }
  }

  /**
   * The cache through whole JVMs: a clean cache, a damaged cached copy (replaced, not loaded),
   * four JVMs starting at once on an empty cache, and a read-only cache (loaded when it holds a
   * good copy, a clear error naming what was tried when it does not: no fallback).
   */
  static int extraction() throws Exception {
    Path work = Files.createDirectories(Path.of(System.getProperty("steplink.work")));
    Path base = Files.createTempDirectory(work, "extraction");

    Path clean = base.resolve("clean");
    Child c = child(clean, List.of(), "probe");
    equal(0, c.exit(), "clean cache: " + c.output());
    List<Path> files = cachedFiles(clean);
    equal(1, files.size(), "one file in the cache: " + files);
    Path cached = files.get(0);
    check(c.output().contains("loaded " + cached), "loaded the cached copy: " + c.output());
    check(cached.getFileName().toString().matches("libsteplink-[0-9a-f]{64}\\.so"),
        "the name carries the SHA-256: " + cached);
    byte[] good = Files.readAllBytes(cached);

    byte[] bad = good.clone();
    for (int i = 0; i < 64; i++) bad[4096 + i] = 0;
    Files.write(cached, bad);
    c = child(clean, List.of(), "probe");
    equal(0, c.exit(), "damaged cached copy: " + c.output());
    check(Arrays.equals(good, Files.readAllBytes(cached)), "the damaged copy was replaced");
    Files.write(cached, new byte[0]);
    c = child(clean, List.of(), "probe");
    equal(0, c.exit(), "empty cached copy: " + c.output());
    check(Arrays.equals(good, Files.readAllBytes(cached)), "the empty copy was replaced");

    for (int round = 0; round < 3; round++) {
      Path together = base.resolve("together-" + round);
      List<Process> started = new ArrayList<>();
      for (int i = 0; i < 4; i++) started.add(startChild(together, List.of(), "probe"));
      for (Process p : started) {
        Child r = finish(p);
        equal(0, r.exit(), "JVMs starting at once: " + r.output());
      }
      List<Path> left = cachedFiles(together);
      equal(1, left.size(), "one complete file and no temporary ones: " + left);
      check(Arrays.equals(good, Files.readAllBytes(left.get(0))), "the shared copy is whole");
    }

    Path variant = base.resolve("variant");
    c = child(variant, List.of("-Dsteplink.variant=start200"), "probe");
    equal(0, c.exit(), "start200 variant: " + c.output());
    check(c.output().contains("/linux-x86_64/start200/libsteplink-"), "start200 file: "
        + c.output());
    c = child(variant, List.of("-Dsteplink.variant=fast"), "probe");
    check(c.exit() == 3 && c.output().contains("start200"), "bad variant: " + c.output());

    // Read-only: a cache folder this user cannot write. Root writes through file modes, so a root
    // run takes sysfs, where no one can create folders.
    Path readOnly = base.resolve("read-only");
    Files.createDirectories(readOnly);
    Files.setPosixFilePermissions(readOnly, PosixFilePermissions.fromString("r-xr-xr-x"));
    boolean modesHold = !Files.isWritable(readOnly);
    Path unwritable = modesHold ? readOnly : Path.of("/sys");
    c = child(unwritable, List.of(), "probe");
    check(c.exit() == 3, "read-only cache: a clear error, not a load: " + c.output());
    check(c.output().contains("cannot create the cache folder " + unwritable.resolve("steplink"))
            && c.output().contains("java.library.path")
            && c.output().contains("natives/linux-x86_64/standard/libsteplink.so")
            && c.output().contains("-Dsteplink.library"),
        "the error names what it tried and what to do: " + c.output());

    try {
      readOnlyWithCopy(base);
    } finally {
      // Leave the build tree removable by its owner.
      try (Stream<Path> all = Files.walk(base)) {
        for (Path p : all.toList()) {
          if (Files.isDirectory(p)) {
            Files.setPosixFilePermissions(p, PosixFilePermissions.fromString("rwx------"));
          }
        }
      }
    }
    if (!modesHold) System.out.println("note: running as root, the read-only case used /sys");
    return 0;
  }

  private static void readOnlyWithCopy(Path base) throws Exception {
    Child c;
    Path filled = base.resolve("filled");
    Files.createDirectories(filled);
    Files.setPosixFilePermissions(filled, PosixFilePermissions.fromString("rwx------"));
    equal(0, child(filled, List.of(), "probe").exit(), "fill a cache");
    try (Stream<Path> all = Files.walk(filled)) {
      for (Path p : all.toList()) {
        Files.setPosixFilePermissions(p, PosixFilePermissions.fromString(
            Files.isDirectory(p) ? "r-x------" : "r--------"));
      }
    }
    c = child(filled, List.of(), "probe");
    equal(0, c.exit(), "a read-only cache holding a good copy loads it: " + c.output());
    equal(1, cachedFiles(filled).size(), "nothing written to it");
  }

  static List<Path> leftTemporaries(Path dir) throws IOException {
    try (Stream<Path> list = Files.list(dir)) {
      return list.filter(p -> p.getFileName().toString().startsWith("steplink-demo-")).toList();
    }
  }

  /** java -jar: --version lists the natives, the demo runs on the simulated table. */
  static int launcher() throws Exception {
    String jar = System.getProperty("steplink.jar");
    Path work = Files.createDirectories(Path.of(System.getProperty("steplink.work")));
    Path cache = Files.createTempDirectory(work, "launcher");
    String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();

    ProcessBuilder version = new ProcessBuilder(java, "-jar", jar, "--version")
        .redirectErrorStream(true);
    Child v = finish(version.start());
    equal(0, v.exit(), "--version exit");
    check(v.output().matches("(?s)steplink \\d+\\.\\d+.*natives:\n.*"), "--version: "
        + v.output());
    check(v.output().contains("natives/linux-x86_64/standard/libsteplink.so  sha256 ")
        && v.output().contains("natives/linux-x86_64/start200/libsteplink.so  sha256 "),
        "--version lists the Linux natives: " + v.output());

    ProcessBuilder demo = new ProcessBuilder(java, noLibraryPath(), "-Djava.io.tmpdir=" + cache, "-jar", jar,
        "--virtual")
        .redirectErrorStream(true).directory(cache.toFile());
    demo.environment().put("XDG_CACHE_HOME", cache.resolve("cache").toString());
    demo.environment().remove("STEPLINK_SIM");
    demo.environment().remove("STEPLINK_TRACE");
    Child d = finish(demo.start());
    equal(0, d.exit(), "demo exit\n" + d.output());
    check(d.output().contains("on the simulated table (virtual clock)")
        && d.output().contains("the table is there")
        && d.output().contains("Demo finished: all results as expected."),
        "the demo ran on the simulated table: " + d.output());
    Path plot = cache.resolve("steplink-demo.svg");
    check(d.output().contains("Plot of the job written to " + plot) && Files.size(plot) > 0,
        "the plot is where the demo says (the runner beside the build's jar): " + d.output());
    check(leftTemporaries(cache).isEmpty(), "the demo removed its temporary folder: "
        + leftTemporaries(cache));

    ProcessBuilder noRunner = new ProcessBuilder(java, noLibraryPath(), "-Djava.io.tmpdir=" + cache,
        "-Dsteplink.runner=", "-jar", jar, "--virtual")
        .redirectErrorStream(true).directory(cache.toFile());
    noRunner.environment().put("XDG_CACHE_HOME", cache.resolve("cache").toString());
    noRunner.environment().remove("STEPLINK_SIM");
    Child n = finish(noRunner.start());
    equal(0, n.exit(), "demo without a runner\n" + n.output());
    check(n.output().contains("No plot: no steplink runner was given to draw the record ")
            && !n.output().contains("record=FILE") && !n.output().contains("demo.record"),
        "without a runner the demo says that, not that a record is missing, and names no record "
            + "file it removes: " + n.output());
    check(leftTemporaries(cache).isEmpty(), "no temporary folder left without a runner either");

    // A jar away from its build tree (as the package installs it) finds the runner on PATH.
    Path away = Files.createDirectories(cache.resolve("away"));
    Path copy = Files.copy(Path.of(jar), away.resolve("steplink.jar"));
    Path bin = Path.of(jar).toAbsolutePath().getParent().getParent().resolve("bin");
    ProcessBuilder onPath = new ProcessBuilder(java, noLibraryPath(), "-Djava.io.tmpdir=" + cache,
        "-jar", copy.toString(), "--virtual")
        .redirectErrorStream(true).directory(away.toFile());
    onPath.environment().put("XDG_CACHE_HOME", cache.resolve("cache").toString());
    onPath.environment().remove("STEPLINK_SIM");
    onPath.environment().put("PATH", bin + File.pathSeparator + System.getenv("PATH"));
    Child o = finish(onPath.start());
    check(o.exit() == 0
            && o.output().contains("Plot of the job written to " + away.resolve("steplink-demo.svg")),
        "a jar away from its build tree plots with the runner on PATH: " + o.output());
    check(leftTemporaries(cache).isEmpty(), "no temporary folder left by the jar on PATH either");

    ProcessBuilder windows = new ProcessBuilder(java, "-Dos.name=Windows 10", "-jar", jar)
        .redirectErrorStream(true);
    Child w = finish(windows.start());
    check(w.exit() == 2 && w.output().contains("--real-table"), "Windows asks for --real-table: "
        + w.output());

    Child bad = finish(new ProcessBuilder(java, "-jar", jar, "--bogus").redirectErrorStream(true)
        .start());
    check(bad.exit() == 2 && bad.output().contains("Usage"), "bad option: " + bad.output());

    // A temporary folder that cannot be made: one line saying what and what to set, no trace.
    Child noTmp = finish(new ProcessBuilder(java, noLibraryPath(), "-Djava.io.tmpdir=/nonexistent",
        "-jar", jar, "--virtual").redirectErrorStream(true).start());
    check(noTmp.exit() == 2 && noTmp.output().trim().lines().count() == 1
            && noTmp.output().contains("/nonexistent") && noTmp.output().contains("no such folder")
            && noTmp.output().contains("-Djava.io.tmpdir=DIR")
            && !noTmp.output().contains("Exception"),
        "a missing java.io.tmpdir is one line: " + noTmp.output());
    return 0;
  }
}
