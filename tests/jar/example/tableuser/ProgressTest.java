// Table's progress listener through the jar, and README's Java example compiled from README's own
// text and run on the virtual clock: reports around every call, running reports from the status
// block, never overlapping, refused re-entry. Child JVMs via JarTest's helpers.
package example.tableuser;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.tools.ToolProvider;
import steplink.Position;
import steplink.Progress;
import steplink.Table;

/** Cases {@code progress}, {@code readme-example} and {@code readme-default-block} of JarTest. */
final class ProgressTest {
  private ProgressTest() {}

  /**
   * In this JVM (STEPLINK_SIM names a status block): every call reported started then ended on
   * the calling thread, running reports between them from steplink-progress with positions on
   * the move's line, never two reports at once; a listener calling the table is refused; one
   * that throws is removed and the table goes on.
   */
  static int progress() throws Exception {
    List<Progress> seen = Collections.synchronizedList(new ArrayList<>());
    List<String> threads = Collections.synchronizedList(new ArrayList<>());
    AtomicInteger inside = new AtomicInteger();
    AtomicInteger overlaps = new AtomicInteger();
    try (Table table = Table.open()) {
      table.setProgressListener(p -> {
        if (inside.incrementAndGet() != 1) overlaps.incrementAndGet();
        seen.add(p);
        threads.add(Thread.currentThread().getName());
        inside.decrementAndGet();
      });
      table.home(10, 0, 0);
      table.moveBy(30000, 10000, 0);
      table.auxOn();
      table.moveBy(0, 0, 40);
      String main = Thread.currentThread().getName();
      int running = 0;
      String open = null;
      for (int i = 0; i < seen.size(); i++) {
        Progress p = seen.get(i);
        String t = threads.get(i);
        switch (p.stage()) {
          case STARTED -> {
            JarTest.check(open == null, "a call started inside another: " + p);
            JarTest.equal(main, t, "STARTED on the calling thread");
            open = p.call();
          }
          case RUNNING -> {
            JarTest.equal(open, p.call(), "a running report belongs to the open call");
            JarTest.equal("steplink-progress", t, "RUNNING on the table's daemon thread");
            if (p.operation().equals("moveBy(30000, 10000, 0)")) {
              running++;
              Position q = p.position();
              JarTest.check(q.x() >= 10 && q.x() <= 30010 && q.y() >= 0 && q.y() <= 10000
                      && Math.abs(q.x() - 10 - 3 * q.y()) <= 3 && q.z() == 0,
                  "running position on the move's line: " + p);
            }
          }
          case ENDED -> {
            JarTest.equal(open, p.call(), "ENDED closes the open call");
            JarTest.equal(main, t, "ENDED on the calling thread");
            open = null;
          }
        }
      }
      JarTest.equal(0, overlaps.get(), "listener calls that overlapped");
      JarTest.check(running > 0, "running reports during a 30000-step move: " + seen);
      List<String> calls = seen.stream().filter(p -> p.stage() == Progress.Stage.ENDED)
          .map(p -> p.operation() + " " + p.call() + " " + p.part() + "/" + p.parts()).toList();
      JarTest.equal(List.of("home(10, 0, 0) reference(10, 0, 0) 1/1",
          "moveBy(30000, 10000, 0) vectorOut(30000, 10000, 0) 1/1",
          "auxOn() vectorOut(0, 0, 32000) 1/1",
          "moveBy(0, 0, 40) vectorOut(0, 0, 40) 1/2", "moveBy(0, 0, 40) vectorOut(0, 0, 32000) 2/2"),
          calls, "one ENDED per library call, with its operation and part");
      Progress last = seen.get(seen.size() - 1);
      JarTest.equal(new Position(30010, 10000, 40), last.position(), "the last report's position");

      String[] refused = {null};
      table.setProgressListener(p -> {
        try {
          table.moveBy(1, 0, 0);
        } catch (IllegalStateException e) {
          refused[0] = e.getMessage();
        } catch (Exception e) {
          refused[0] = "wrong exception " + e;
        }
      });
      table.moveBy(5, 0, 0);
      JarTest.check(refused[0] != null && refused[0].contains("progress listener"),
          "a listener calling the table is refused: " + refused[0]);
      table.setProgressListener(p -> {
        throw new IllegalStateException("listener bug");
      });
      table.moveBy(5, 0, 0);
      table.moveBy(5, 0, 0);
      JarTest.equal(new Position(30025, 10000, 40), table.position(),
          "the table goes on after a listener threw");
    }
    return 0;
  }

  /** README's first Java example (the first java block after a heading naming Java). */
  static String readmeExample() throws Exception {
    String readme = Files.readString(Path.of(System.getProperty("steplink.readme")));
    Matcher heading = Pattern.compile("\n#{2,3} [^\n]*Java").matcher(readme);
    Matcher m = Pattern.compile("```java\n(.*?)```", Pattern.DOTALL).matcher(readme);
    if (!heading.find() || !m.find(heading.start())) {
      throw new IllegalStateException("README has no Java example under a Java heading");
    }
    return m.group(1);
  }

  /** Compiles the example against the jar alone and runs it on the virtual clock. */
  static JarTest.Child runExample(String sim) throws Exception {
    Path dir = Files.createTempDirectory(
        Files.createDirectories(Path.of(System.getProperty("steplink.work"))), "readme");
    Path source = dir.resolve("App.java");
    Files.writeString(source, readmeExample(), StandardCharsets.UTF_8);
    int javac = ToolProvider.getSystemJavaCompiler().run(null, null, null, "-Xlint:all",
        "-Werror", "-cp", System.getProperty("steplink.jar"), "-d", dir.toString(),
        source.toString());
    JarTest.equal(0, javac, "README's example compiles against the jar alone");
    ProcessBuilder pb = new ProcessBuilder(
        Path.of(System.getProperty("java.home"), "bin", "java").toString(),
        JarTest.noLibraryPath(), "-cp", System.getProperty("steplink.jar") + ":" + dir, "App")
        .redirectErrorStream(true).directory(dir.toFile());
    Map<String, String> env = pb.environment();
    env.put("XDG_CACHE_HOME", dir.resolve("cache").toString());
    env.put("STEPLINK_SIM", sim);
    env.remove("STEPLINK_TRACE");
    JarTest.Child c = JarTest.finish(pb.start());
    System.out.print(c.output());
    return c;
  }

  private static void checkExample(JarTest.Child c) {
    JarTest.equal(0, c.exit(), "the example's exit");
    String out = c.output();
    int end = out.indexOf("The table is at Position[x=50, y=50, z=20]");
    JarTest.check(out.startsWith("Homing"), "it says what it does first");
    // Start and end of every call are reported whatever the pace; running reports only for calls
    // that last over 100 ms of wall time, which on the virtual clock depends on the machine's
    // speed (jar.progress asserts them on a long move).
    long started = out.substring(0, Math.max(end, 0)).lines()
        .filter(l -> l.contains(": started at X ")).count();
    long ended = out.substring(0, Math.max(end, 0)).lines()
        .filter(l -> l.contains(": ended at X ")).count();
    JarTest.check(end > 0 && started == 9 && ended == 9,
        "progress of each of the 9 library calls before its end: " + started + ", " + ended);
    int running = out.indexOf(": running at X ");
    System.out.println(running >= 0 && running < end ? "running reports: yes"
        : "note: no call lasted 100 ms of wall time here, so no running report was printed");
    JarTest.check(out.matches("(?s).*Done in \\d+\\.\\d s\\n"), "its time last");
  }

  /**
   * The example on the virtual clock with a status block named in STEPLINK_SIM (access-ticks=1:
   * the virtual clock's slowest pace, so a move spans several 100 ms samples).
   */
  static int example() throws Exception {
    checkExample(runExample("clock=virtual,access-ticks=1,status=steplink-readme-"
        + ProcessHandle.current().pid()));
    return 0;
  }

  /**
   * The same with nothing set but the clock: the simulated table's own block per process, found
   * by Table (steplink-proc-PID-*).
   */
  static int exampleDefaultBlock() throws Exception {
    checkExample(runExample("clock=virtual,access-ticks=1"));
    return 0;
  }
}
