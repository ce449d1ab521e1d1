// Tests of the library through a real JVM: each case starts child JVMs that load the library
// and call JavaToC, then checks their results, the library's stdout, the sim's record and status
// block, and the demo's plot. Calls JavaToC, SteplinkDemo and the steplink runner.

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import javax.xml.parsers.DocumentBuilderFactory;
import org.w3c.dom.Document;
import org.w3c.dom.Element;
import org.w3c.dom.NodeList;

/**
 * Usage: java -cp CLASSES -Dsteplink.library=LIB [-Dsteplink.runner=RUNNER]
 * -Dsteplink.source=REPO -Dsteplink.work=DIR JvmTest CASE
 *
 * <p>The library prints with printf and never flushes, so its lines reach stdout only when the
 * child JVM exits normally; every check of printed lines therefore runs in the parent. Children
 * report their results on stderr as "jvmtest KEY VALUE" lines, keeping stdout for the library.
 */
public final class JvmTest {
  private static final String OPEN_FAILED_LINE =
      "PortTalk: Couldn't access PortTalk Driver, Please ensure driver is loaded.\n\n";
  private static final long CHILD_TIMEOUT_S = 90;

  private static final List<String> failures = new ArrayList<>();
  private static Path work;

  // ---- child side: calls into the library and reports the results --------------------------

  private static void report(String key, long value) {
    System.err.println("jvmtest " + key + " " + value);
  }

  private static void child(String scenario) throws InterruptedException {
    switch (scenario) {
      case "connection" -> {
        report("closeBeforeOpen", JavaToC.closeConn());
        report("open1", JavaToC.openConn());
        report("timer", JavaToC.initTimer());
        report("move1", JavaToC.vectorOut(5, 0, 0));
        report("close1", JavaToC.closeConn());
        report("closeAgain", JavaToC.closeConn());
        report("open2", JavaToC.openConn());
        report("move2", JavaToC.vectorOut(5, 0, 0));
        report("close2", JavaToC.closeConn());
      }
      case "open-then-move" -> {
        report("open", JavaToC.openConn());
        report("move", JavaToC.vectorOut(3, 0, 0));
        report("close", JavaToC.closeConn());
      }
      case "open" -> report("open", JavaToC.openConn());
      case "timer" -> {
        report("open", JavaToC.openConn());
        report("timer", JavaToC.initTimer());
      }
      case "vector" -> {
        report("open", JavaToC.openConn());
        report("timer", JavaToC.initTimer());
        report("still", JavaToC.vectorOut(0, 0, 0));
        report("keepLatch", JavaToC.vectorOut(0, 0, 32222));
        report("auxOn", JavaToC.vectorOut(0, 0, 32000));
        report("auxOff", JavaToC.vectorOut(0, 0, -32000));
        report("zOutOfRange", JavaToC.vectorOut(100, 0, 40000));
        // One call at a time, but from whichever thread: a move from a second thread.
        int[] fromThread = new int[1];
        Thread other = new Thread(() -> fromThread[0] = JavaToC.vectorOut(10, 0, 0));
        other.start();
        other.join();
        report("otherThread", fromThread[0]);
        report("mainThread", JavaToC.vectorOut(0, 10, 0));
        report("close", JavaToC.closeConn());
      }
      case "x-only" -> {
        report("open", JavaToC.openConn());
        report("timer", JavaToC.initTimer());
        report("move", JavaToC.vectorOut(400, 0, 0));
        report("close", JavaToC.closeConn());
      }
      default -> throw new IllegalArgumentException("unknown child scenario " + scenario);
    }
  }

  // ---- parent side: runs children and checks ----------------------------------------------

  record Outcome(int exit, String stdout, String stderr, Map<String, Long> results) {
    long result(String key) {
      Long v = results.get(key);
      if (v == null) throw new AssertionError("child reported no result '" + key + "'\n" + this);
      return v;
    }

    @Override
    public String toString() {
      return "exit " + exit + "\n--- stdout\n" + stdout + "--- stderr\n" + stderr + "---";
    }
  }

  private static void check(boolean condition, String what) {
    if (!condition) failures.add(what);
  }

  private static void checkEq(long expected, long actual, String what) {
    check(expected == actual, what + ": expected " + expected + ", got " + actual);
  }

  private static String property(String name) {
    String v = System.getProperty(name);
    if (v == null || v.isEmpty()) throw new IllegalStateException("-D" + name + " is required");
    return v;
  }

  private static Outcome runJava(String sim, List<String> props, String... args)
      throws IOException, InterruptedException {
    List<String> command = new ArrayList<>();
    command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    command.add("-cp");
    command.add(System.getProperty("java.class.path"));
    command.add("-Dsteplink.library=" + property("steplink.library"));
    command.addAll(props);
    command.addAll(List.of(args));
    ProcessBuilder builder = new ProcessBuilder(command).directory(work.toFile());
    if (sim == null) {
      builder.environment().remove("STEPLINK_SIM");
    } else {
      builder.environment().put("STEPLINK_SIM", sim);
    }
    builder.environment().remove("STEPLINK_TRACE");
    return collect(builder, String.join(" ", args));
  }

  private static Outcome collect(ProcessBuilder builder, String label)
      throws IOException, InterruptedException {
    Path err = Files.createTempFile(work, "stderr", ".txt");
    builder.redirectError(err.toFile());
    Process p = builder.start();
    byte[] out;
    try (InputStream in = p.getInputStream()) {
      out = in.readAllBytes();
    }
    if (!p.waitFor(CHILD_TIMEOUT_S, TimeUnit.SECONDS)) {
      p.destroyForcibly();
      throw new AssertionError(label + ": child did not finish in " + CHILD_TIMEOUT_S + " s");
    }
    String stderr = Files.readString(err);
    Files.delete(err);
    Map<String, Long> results = new HashMap<>();
    for (String line : stderr.split("\n")) {
      String[] f = line.split(" ");
      if (f.length == 3 && f[0].equals("jvmtest")) results.put(f[1], Long.parseLong(f[2]));
    }
    return new Outcome(p.exitValue(), new String(out, StandardCharsets.UTF_8), stderr, results);
  }

  private static Outcome child(String sim, String scenario) throws Exception {
    Outcome o = runJava(sim, List.of(), "JvmTest", "child", scenario);
    check(o.exit() == 0, scenario + ": child JVM failed\n" + o);
    return o;
  }

  /** What a record file says: last position per axis, events, and broken invariants. */
  record Record(int[] position, int faults, int lastAux, List<String> events, List<String> errors) {
    static Record read(Path file) throws IOException {
      List<String> lines = Files.readAllLines(file);
      int[] pos = new int[3];
      int faults = 0;
      int lastAux = -1;
      List<String> events = new ArrayList<>();
      List<String> errors = new ArrayList<>();
      if (lines.isEmpty() || !lines.get(0).equals("# steplink sim record 1")) {
        errors.add(file + ": no record header");
      }
      long lastTick = -1;
      for (String line : lines) {
        if (line.startsWith("#") || line.isBlank()) continue;
        String[] f = line.trim().split("\\s+");
        long tick = f.length > 1 ? Long.parseLong(f[1]) : -1;
        if (tick < lastTick) errors.add("time runs backwards at: " + line);
        lastTick = tick;
        switch (f[0]) {
          case "step" -> {
            int axis = "xyz".indexOf(f[2]);
            int next = Integer.parseInt(f[4]);
            int delta = f[3].equals("+") ? 1 : -1;
            if (axis < 0 || next != pos[axis] + delta) {
              errors.add("step does not follow from position " + pos[Math.max(axis, 0)] + ": " + line);
            }
            if (axis >= 0) pos[axis] = next;
            events.add(f[0] + " " + f[2] + " " + f[3] + " " + f[4]);
          }
          case "aux" -> {
            lastAux = f[2].equals("none") ? -1 : Integer.parseInt(f[2]);
            events.add(f[0] + " " + f[2]);
          }
          case "fault" -> {
            faults++;
            events.add(line);
          }
          default -> errors.add("unknown record line: " + line);
        }
      }
      return new Record(pos, faults, lastAux, events, errors);
    }
  }

  private static Record checkRecord(Path file, String label, int x, int y, int z) throws IOException {
    Record r = Record.read(file);
    for (String e : r.errors()) failures.add(label + ": " + e);
    checkEq(0, r.faults(), label + ": fault events in the record");
    checkEq(x, r.position()[0], label + ": X at the end");
    checkEq(y, r.position()[1], label + ": Y at the end");
    checkEq(z, r.position()[2], label + ": Z at the end");
    return r;
  }

  private static boolean isHandle(long openResult) {
    return (openResult & 0xFF) != 0xFF && (byte) openResult != -1;
  }

  /** openConn and closeConn results, the lines they print, and a reopened channel. */
  private static void connection() throws Exception {
    Path record = work.resolve("connection.record");
    Outcome o = child("clock=virtual,record=" + record, "connection");
    checkEq(0, o.result("closeBeforeOpen"), "closeConn before openConn");
    check(isHandle(o.result("open1")), "openConn: not a handle value: " + o.result("open1"));
    checkEq(2, o.result("timer"), "initTimer on mode 2");
    checkEq(3, o.result("move1"), "first move");
    check(o.result("close1") != 0, "closeConn of an open channel gave 0");
    checkEq(0, o.result("closeAgain"), "closeConn with nothing open");
    check(isHandle(o.result("open2")), "openConn again: not a handle value: " + o.result("open2"));
    checkEq(3, o.result("move2"), "move after reopening");
    check(o.result("close2") != 0, "second closeConn gave 0");
    check(o.stdout().isEmpty(), "connection calls printed:\n" + o.stdout());
    // The reopened channel moves on from where the table stood: nothing was reset.
    checkRecord(record, "connection", 10, 0, 0);
  }

  /** openConn when the device cannot open, and when the driver must be started or installed. */
  private static void openPaths() throws Exception {
    Outcome bad = child("bogus=1", "open-then-move");
    checkEq(255, bad.result("open"), "openConn with a bad STEPLINK_SIM");
    check((byte) bad.result("open") == -1, "openConn failure read as a byte is not -1");
    int at = bad.stdout().indexOf(OPEN_FAILED_LINE);
    check(at >= 0, "no open failure line and empty line:\n" + bad.stdout());
    for (String line : bad.stdout().substring(0, Math.max(at, 0)).split("\n", -1)) {
      check(line.isEmpty() || line.startsWith("PortTalk: "), "unexpected line before failure: " + line);
    }
    check(bad.stderr().contains("'bogus'"), "sim did not name the bad key:\n" + bad.stderr());
    // Without a channel a move must still come back (every port operation fails and says so).
    checkEq(3, bad.result("move"), "move without an open channel");
    check(bad.stdout().contains("Error occured during outportb"), "failed writes not reported");
    checkEq(0, bad.result("close"), "closeConn after a failed openConn");

    String[][] services = {
      {"stopped", "PortTalk: The PortTalk driver has been successfully started."},
      {"absent", "PortTalk: Driver successfully installed."},
      {"running", null},
    };
    for (String[] s : services) {
      Outcome o = child("clock=virtual,service=" + s[0], "open");
      check(isHandle(o.result("open")), "service=" + s[0] + ": openConn gave " + o.result("open"));
      if (s[1] == null) {
        check(o.stdout().isEmpty(), "service=running: openConn printed:\n" + o.stdout());
        continue;
      }
      check(o.stdout().contains(s[1] + "\n"), "service=" + s[0] + ": no '" + s[1] + "'\n" + o);
      for (String line : o.stdout().split("\n")) {
        check(line.startsWith("PortTalk: "), "service=" + s[0] + ": unexpected line: " + line);
      }
    }
  }

  /** initTimer and vectorOut result codes on the virtual clock; moves from two threads. */
  private static void vectorResults() throws Exception {
    Path record = work.resolve("vector.record");
    Outcome o = child("clock=virtual,record=" + record, "vector");
    checkEq(2, o.result("timer"), "initTimer, mode 2");
    checkEq(3, o.result("still"), "vectorOut(0, 0, 0)");
    checkEq(2, o.result("keepLatch"), "vectorOut(0, 0, 32222)");
    checkEq(1, o.result("auxOn"), "vectorOut(0, 0, 32000)");
    checkEq(0, o.result("auxOff"), "vectorOut(0, 0, -32000)");
    checkEq(3, o.result("zOutOfRange"), "vectorOut(100, 0, 40000)");
    checkEq(3, o.result("otherThread"), "vectorOut from a second thread");
    checkEq(3, o.result("mainThread"), "vectorOut from the main thread");
    check(o.stdout().isEmpty(), "moves printed:\n" + o.stdout());
    // (100, 0, 40000) must not move X; the two 10-step moves must.
    Record r = checkRecord(record, "vector", 10, 10, 0);
    // 32000 then -32000 set the states; the refused move's Z hold byte then replaced the latch's.
    checkEq(-1, r.lastAux(), "auxiliary state after -32000 and a Z hold byte");

    checkEq(3, child("clock=virtual,mode=3", "timer").result("timer"), "initTimer, mode 3");
    long measured = child("clock=virtual,status-byte=0x30", "timer").result("timer");
    check(measured % 100 == 0 && measured >= 0 && measured <= 65500,
        "initTimer, measuring: " + measured + " is no multiple of 100 in 0..65500");
  }

  /** Elements of an SVG whose class attribute holds the given token. */
  private static int countClass(Document svg, String token) {
    int count = 0;
    NodeList all = svg.getElementsByTagName("*");
    for (int i = 0; i < all.getLength(); i++) {
      String cls = ((Element) all.item(i)).getAttribute("class");
      if (List.of(cls.trim().split("\\s+")).contains(token)) count++;
    }
    return count;
  }

  private static Document parseSvg(Path svg) throws Exception {
    DocumentBuilderFactory f = DocumentBuilderFactory.newInstance();
    f.setFeature("http://apache.org/xml/features/nonvalidating/load-external-dtd", false);
    f.setNamespaceAware(true);
    return f.newDocumentBuilder().parse(svg.toFile());
  }

  private static void checkCurves(Path svg, String label, String moving) throws Exception {
    Document doc = parseSvg(svg);
    check("svg".equals(doc.getDocumentElement().getLocalName()), label + ": root is not svg");
    for (char axis : "xyz".toCharArray()) {
      int expected = moving.indexOf(axis) >= 0 ? 1 : 0;
      checkEq(expected, countClass(doc, "rate-" + axis), label + ": curves of axis " + axis);
    }
  }

  /** The demo job end to end on the virtual clock: results, final table, record, plot. */
  private static void demoJob() throws Exception {
    Path record = work.resolve("demo.record");
    Path svg = work.resolve("demo.svg");
    String shm = "steplink-jvmtest-" + ProcessHandle.current().pid();
    Path block = Path.of("/dev/shm", shm);
    Files.deleteIfExists(svg);
    String runner = System.getProperty("steplink.runner", "");
    List<String> props = new ArrayList<>(List.of("-Dsteplink.svg=" + svg, "-Dsteplink.progress=lines"));
    if (!runner.isEmpty()) props.add("-Dsteplink.runner=" + runner);
    try {
      Outcome o = runJava("clock=virtual,record=" + record + ",status=" + shm, props, "SteplinkDemo");
      checkEq(0, o.exit(), "demo exit status\n" + o);
      // The job: homed at switch + back-off (-200+50, -150+50, -100+20), rectangle and Z move
      // return, the diagonal (1000, 600) stays.
      Record r = checkRecord(record, "demo", 850, 500, -80);
      // The diagonal ran with the auxiliary output on; the Z move after it replaced that byte.
      checkEq(-1, r.lastAux(), "demo: auxiliary state at the end");
      check(o.stdout().contains("Table: X 850  Y 500  Z -80, auxiliary state none set; "),
          "demo: the status block's end state\n" + o);
      check(!Files.exists(block), "demo: the status block was left behind in /dev/shm");
      if (runner.isEmpty()) return;
      check(o.stdout().contains("Plot of the job written to " + svg), "demo: no plot line\n" + o);
      checkCurves(svg, "demo plot", "xyz");

      // The runner's copy of the job makes exactly the same steps and auxiliary changes.
      Path runnerRecord = work.resolve("demo-runner.record");
      Path script = Path.of(property("steplink.source"), "jobs", "demo.steplink");
      ProcessBuilder b =
          new ProcessBuilder(
                  runner,
                  "run",
                  "--quiet",
                  "--library=" + property("steplink.library"),
                  "--sim=clock=virtual,record=" + runnerRecord,
                  script.toString())
              .directory(work.toFile());
      Outcome ro = collect(b, "steplink run jobs/demo.steplink");
      checkEq(0, ro.exit(), "steplink run jobs/demo.steplink\n" + ro);
      check(Record.read(runnerRecord).events().equals(r.events()),
          "jobs/demo.steplink and SteplinkDemo move the table differently");
    } finally {
      Files.deleteIfExists(block);
    }
  }

  /** The plot draws a curve for each axis that moved and none for the others. */
  private static void plotAxes() throws Exception {
    String runner = property("steplink.runner");
    Path record = work.resolve("x-only.record");
    Path svg = work.resolve("x-only.svg");
    child("clock=virtual,record=" + record, "x-only");
    checkRecord(record, "x-only", 400, 0, 0);
    Outcome p = collect(new ProcessBuilder(runner, "plot", record.toString(), svg.toString()), "plot");
    checkEq(0, p.exit(), "steplink plot\n" + p);
    checkCurves(svg, "x-only plot", "x");
  }

  public static void main(String[] args) throws Exception {
    if (args.length == 2 && args[0].equals("child")) {
      child(args[1]);
      return;
    }
    if (args.length != 1) throw new IllegalArgumentException("usage: JvmTest CASE");
    work = Path.of(property("steplink.work"), args[0]);
    Files.createDirectories(work);
    switch (args[0]) {
      case "connection" -> connection();
      case "open-paths" -> openPaths();
      case "vector-results" -> vectorResults();
      case "demo-job" -> demoJob();
      case "plot-axes" -> plotAxes();
      default -> throw new IllegalArgumentException("unknown case " + args[0]);
    }
    if (failures.isEmpty()) {
      System.out.println(args[0] + ": passed");
      return;
    }
    System.out.println(args[0] + ": " + failures.size() + " failure(s)");
    for (String f : failures) System.out.println("  FAILED: " + f);
    System.exit(1);
  }
}
