// Tests of the jar's package-private parts, compiled against steplink.jar alone: the platform and
// cache-folder mapping of NativeLoader, extraction into a cache, the jar's SHA-256 list against
// its entries and the win32 build's DLLs, and Table's splitting of long moves.
package steplink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.function.Supplier;

/** {@code InternalsTest CASE}: exit 0 passed, 1 failed, 77 skipped (with the reason printed). */
public final class InternalsTest {
  private static int failures;

  private InternalsTest() {}

  private static void check(boolean ok, String what) {
    if (!ok) {
      failures++;
      System.out.println("FAIL: " + what);
    }
  }

  private static void equal(Object expected, Object actual, String what) {
    check(expected.equals(actual), what + ": expected " + expected + ", got " + actual);
  }

  private static String thrown(Supplier<?> action) {
    try {
      action.get();
      return null;
    } catch (IllegalArgumentException | IllegalStateException e) {
      return e.getMessage();
    }
  }

  public static void main(String[] args) throws Exception {
    int status =
        switch (args.length == 1 ? args[0] : "") {
          case "platforms" -> platforms();
          case "move-plan" -> movePlan();
          case "extract" -> extract();
          case "win32-natives" -> win32Natives(System.getProperty("steplink.win32"));
          case "status-block" -> statusBlock();
          default -> {
            System.out.println("usage: InternalsTest platforms|move-plan|extract|win32-natives");
            yield 2;
          }
        };
    if (status == 0 && failures > 0) status = 1;
    System.out.println(status == 0 ? "PASS" : status == 77 ? "SKIPPED" : "FAILED");
    System.exit(status);
  }

  /** os.name/os.arch/variant to the jar entry, and the cache folder per platform. */
  static int platforms() {
    equal("natives/linux-x86_64/standard/libsteplink.so",
        NativeLoader.resourcePath("Linux", "amd64", ""), "Linux amd64, default variant");
    equal("natives/linux-x86_64/start200/libsteplink.so",
        NativeLoader.resourcePath("Linux", "x86_64", "start200"), "Linux x86_64 start200");
    for (String name : List.of("Windows 10", "Windows 11", "Windows Server 2019", "Windows XP")) {
      for (String arch : List.of("x86", "i386", "i686")) {
        equal("natives/windows-x86/standard/steplink.dll",
            NativeLoader.resourcePath(name, arch, null), name + " " + arch);
      }
    }
    equal("natives/windows-x86/start200/steplink.dll",
        NativeLoader.resourcePath("Windows 10", "x86", "start200"), "Windows x86 start200");
    for (String arch : List.of("amd64", "x86_64", "aarch64")) {
      String message = thrown(() -> NativeLoader.resourcePath("Windows 10", arch, ""));
      check(message != null && message.contains("32-bit") && message.contains(arch),
          "a " + arch + " JVM on Windows is told the library is 32-bit: " + message);
    }
    String badVariant = thrown(() -> NativeLoader.resourcePath("Linux", "amd64", "fast"));
    check(badVariant != null && badVariant.contains("standard") && badVariant.contains("start200"),
        "an unknown variant names the variants: " + badVariant);
    equal("natives/linux-aarch64/standard/libsteplink.so",
        NativeLoader.resourcePath("Linux", "aarch64", ""), "other architectures get own folder");

    Map<String, String> env = Map.of("XDG_CACHE_HOME", "/srv/cache", "LOCALAPPDATA", "rel");
    equal(Path.of("/srv/cache/steplink"), NativeLoader.cacheRoot("Linux", env::get, "/home/u"),
        "XDG_CACHE_HOME");
    equal(Path.of("/home/u/.cache/steplink"),
        NativeLoader.cacheRoot("Linux", Map.of("XDG_CACHE_HOME", "relative/x")::get, "/home/u"),
        "a relative XDG_CACHE_HOME is ignored");
    equal(Path.of("/home/u/.cache/steplink"),
        NativeLoader.cacheRoot("Linux", Map.<String, String>of()::get, "/home/u"),
        "no XDG_CACHE_HOME");
    equal(Path.of("/home/u/AppData/Local/steplink"),
        NativeLoader.cacheRoot("Windows 10", env::get, "/home/u"),
        "Windows without an absolute LOCALAPPDATA");
    check(thrown(() -> NativeLoader.cacheRoot("Linux", Map.<String, String>of()::get, "")) != null,
        "no cache folder at all is an error");
    return 0;
  }

  private static final Table.Codes CODES = new Table.Codes(32000, -32000, 32222, 255);

  /** Long moves split on their line, below 32000 per call, with the Z latch handled for aux. */
  static int movePlan() {
    long[][] moves = {
      {40000, -70000, 0}, {-32000, 32000, 31999}, {31999, -31999, 1}, {1, 0, 0}, {0, 0, -64001},
      {100000, 3, -7}, {1_000_000, 0, 1}
    };
    for (Table.AuxState aux : Table.AuxState.values()) {
      for (long[] m : moves) {
        List<Table.Call> plan = Table.planMove(m[0], m[1], m[2], aux, CODES);
        String what = aux + " " + Arrays.toString(m);
        long sx = 0;
        long sy = 0;
        long sz = 0;
        long longest = Math.max(Math.abs(m[0]), Math.max(Math.abs(m[1]), Math.abs(m[2])));
        long parts = 0;
        boolean zMoved = false;
        for (int i = 0; i < plan.size(); i++) {
          Table.Call c = plan.get(i);
          boolean last = i == plan.size() - 1;
          if (c.x() == 0 && c.y() == 0 && Math.abs(c.z()) == 32000) {
            check(last && zMoved && aux != Table.AuxState.NONE,
                what + ": aux set only after a move with Z motion, as the last call");
            equal(aux == Table.AuxState.ON ? 32000 : -32000, c.z(), what + ": the kept state");
            equal(aux == Table.AuxState.ON ? 1 : 0, c.expected(), what + ": aux result");
            continue;
          }
          parts++;
          check(Math.abs(c.x()) <= 31999 && Math.abs(c.y()) <= 31999, what + ": part " + c);
          if (c.z() == 32222) {
            check(aux != Table.AuxState.NONE, what + ": 32222 only while aux is set");
            equal(2, c.expected(), what + ": result of a latch-keeping part");
          } else {
            check(Math.abs(c.z()) <= 31999, what + ": z is a distance, never a code: " + c);
            check(c.z() != 0 || aux == Table.AuxState.NONE,
                what + ": z = 0 would replace the aux state: " + c);
            equal(3, c.expected(), what + ": result of a move");
            sz += c.z();
            zMoved |= c.z() != 0;
          }
          sx += c.x();
          sy += c.y();
          // The parts lie on the line: after k of n parts each axis is within one step of k/n.
          for (int axis = 0; axis < 3; axis++) {
            long done = axis == 0 ? sx : axis == 1 ? sy : sz;
            double ideal = (double) m[axis] * parts / Math.ceil(longest / 31999.0);
            check(Math.abs(done - ideal) < 1.0 || m[axis] == 0 && done == 0,
                what + ": part " + parts + " axis " + axis + " at " + done + ", line at " + ideal);
          }
        }
        if (zMoved && aux != Table.AuxState.NONE) {
          Table.Call last = plan.get(plan.size() - 1);
          check(last.x() == 0 && last.y() == 0 && Math.abs(last.z()) == 32000,
              what + ": a move with Z motion ends by setting the aux state again: " + last);
        }
        equal(Arrays.toString(m), Arrays.toString(new long[] {sx, sy, sz}), what + ": sum");
        check(parts == (longest + 31998) / 31999 || longest == 0, what + ": fewest parts");
      }
    }
    check(Table.planMove(0, 0, 0, Table.AuxState.ON, CODES).isEmpty(), "no move, no call");
    check(thrown(() -> Table.planMove(1L << 40, 0, 0, Table.AuxState.NONE, CODES)) != null,
        "2^40 steps refused");
    check(thrown(() -> Table.planMove(0, Long.MIN_VALUE, 0, Table.AuxState.NONE, CODES)) != null,
        "Long.MIN_VALUE refused");
    return 0;
  }

  /** Extraction into a fresh cache, over a damaged copy, and refusal of shared folders. */
  static int extract() throws IOException {
    Map<String, String> sums = NativeLoader.recordedSums();
    String resource = "natives/linux-x86_64/standard/libsteplink.so";
    String sha = sums.get(resource);
    check(sha != null, "the jar lists " + resource);
    if (sha == null) return 1;
    Path work = Files.createTempDirectory(Path.of(System.getProperty("steplink.work")), "extract");
    Path root = work.resolve("cache").resolve("steplink");
    Path file = NativeLoader.extract(resource, sha, root);
    equal(root.resolve("linux-x86_64/standard/libsteplink-" + sha + ".so"), file, "cache name");
    equal(sha, NativeLoader.sha256(file), "extracted bytes");
    for (Path p = file.getParent(); !p.equals(work); p = p.getParent()) {
      equal("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(p)),
          "permissions of " + p);
    }
    try (var list = Files.list(file.getParent())) {
      equal(1L, list.count(), "no temporary file left");
    }

    Path stale = file.resolveSibling("." + file.getFileName() + ".123.tmp");
    Path fresh = file.resolveSibling("." + file.getFileName() + ".456.tmp");
    Files.write(stale, new byte[10]);
    Files.write(fresh, new byte[10]);
    Files.setLastModifiedTime(stale,
        java.nio.file.attribute.FileTime.fromMillis(System.currentTimeMillis() - 3_600_000));
    Files.delete(file);
    NativeLoader.extract(resource, sha, root);
    check(!Files.exists(stale), "a temporary copy an hour old is removed");
    check(Files.exists(fresh), "a fresh one (another JVM's, being written) is left alone");
    Files.delete(fresh);

    byte[] damaged = Files.readAllBytes(file);
    damaged[damaged.length / 2] ^= 0x55;
    Files.write(file, damaged);
    Path again = NativeLoader.extract(resource, sha, root);
    equal(file, again, "same name after repair");
    equal(sha, NativeLoader.sha256(again), "a damaged copy is replaced");
    Files.write(file, new byte[100]);
    equal(sha, NativeLoader.sha256(NativeLoader.extract(resource, sha, root)), "a short copy too");

    String wrongSha = "0".repeat(64);
    String message = null;
    try {
      NativeLoader.extract(resource, wrongSha, root);
    } catch (IOException e) {
      message = e.getMessage();
    }
    check(message != null && message.contains("damaged"), "a jar entry that does not match its"
        + " recorded SHA-256 is refused: " + message);

    Path open = work.resolve("cache").resolve("steplink").resolve("linux-x86_64");
    Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
    message = null;
    try {
      NativeLoader.extract(resource, sha, root);
    } catch (IOException e) {
      message = e.getMessage();
    }
    check(message != null && message.contains("writable by other users"),
        "a cache folder writable by others is refused, even with a good copy: " + message);
    Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwx------"));

    Path shared = work.resolve("shared");
    Files.createDirectories(shared);
    Files.setPosixFilePermissions(shared, PosixFilePermissions.fromString("rwxrwxrwx"));
    message = null;
    try {
      NativeLoader.extract(resource, sha, shared.resolve("steplink"));
    } catch (IOException e) {
      message = e.getMessage();
    }
    check(message != null && message.contains("writable by other users"),
        "a shared base folder (XDG_CACHE_HOME=/tmp) is refused: " + message);
    check(!Files.exists(shared.resolve("steplink")), "nothing written into the shared folder");
    return 0;
  }

  /** A status block as the simulated table writes it: header, owner, a table section. */
  private static Path writeBlock(String name, long ownerPid, long sequence, int x, int y, int z)
      throws IOException {
    java.nio.ByteBuffer b =
        java.nio.ByteBuffer.allocate(StatusLayout.SIZE).order(java.nio.ByteOrder.LITTLE_ENDIAN);
    b.putInt(StatusLayout.MAGIC_OFFSET, StatusLayout.MAGIC);
    b.putInt(StatusLayout.VERSION_OFFSET, StatusLayout.VERSION);
    b.putInt(StatusLayout.OWNER_PID, (int) ownerPid);
    b.putLong(StatusLayout.TABLE, sequence);
    b.putInt(StatusLayout.TABLE_X, x);
    b.putInt(StatusLayout.TABLE_Y, y);
    b.putInt(StatusLayout.TABLE_Z, z);
    b.putLong(StatusLayout.TABLE_TICKS, 1_000_000);
    Path p = StatusBlock.SHM.resolve(name);
    Files.write(p, b.array());
    return p;
  }

  /**
   * How Table finds its status block: STEPLINK_SIM's status=NAME (escapes honoured), else
   * /dev/shm/steplink-proc-PID-<16 hex> owned by this user with this process as owner; reads
   * under the sequence lock; a block cut short or left mid-update gives no reading, no fault.
   */
  static int statusBlock() throws Exception {
    equal("a,b", StatusBlock.settingValue("clock=virtual, status = a\\,b ,x=1", "status"),
        "status=NAME with an escaped comma");
    equal("c\\d", StatusBlock.settingValue("status=x,status=c\\\\d", "status"),
        "the last item counts, an escaped backslash");
    check(StatusBlock.settingValue("clock=virtual", "status") == null, "no status key");
    long pid = ProcessHandle.current().pid();
    String hex = "0123456789abcdef";
    List<Path> made = new java.util.ArrayList<>();
    try {
      check(StatusBlock.find("clock=virtual") == null, "no block of this process yet");
      made.add(writeBlock("steplink-proc-" + pid + "-" + hex.substring(1), pid, 2, 1, 2, 3));
      made.add(writeBlock("steplink-proc-" + pid + "-" + hex, pid + 1, 2, 4, 5, 6));
      check(StatusBlock.find(null) == null,
          "a short random part and another owner pid are not this process's block");
      Files.delete(made.remove(made.size() - 1));
      Path ours = writeBlock("steplink-proc-" + pid + "-" + hex, pid, 4, 7, -8, 9);
      made.add(ours);
      try (StatusBlock b = StatusBlock.find(null)) {
        check(b != null && b.path().equals(ours), "this process's block is found");
        StatusBlock.Table t = b == null ? null : b.read();
        check(t != null && t.x() == 7 && t.y() == -8 && t.z() == 9 && t.sequence() == 4,
            "its table section: " + t);
        writeBlock(ours.getFileName().toString(), pid, 5, 0, 0, 0);
        check(b == null || b.read() == null, "a writer that died mid-update gives no reading");
        try (var ch = java.nio.channels.FileChannel.open(ours,
            java.nio.file.StandardOpenOption.WRITE)) {
          ch.truncate(40);
        }
        check(b == null || b.read() == null, "a block cut short gives no reading, no fault");
      }
      // The job section's plan fields at the layout's offsets; another layout version refused.
      Path planned = writeBlock("steplink-internals-plan-" + pid, 1, 6, 0, 0, 0);
      made.add(planned);
      java.nio.ByteBuffer job = java.nio.ByteBuffer.wrap(Files.readAllBytes(planned))
          .order(java.nio.ByteOrder.LITTLE_ENDIAN);
      job.putLong(StatusLayout.JOB, 8);
      job.putInt(StatusLayout.JOB_PLAN_ENTRY, 17);
      job.putInt(StatusLayout.JOB_PLAN_COUNT, 40);
      job.putInt(StatusLayout.JOB_PLAN_CALL, 12);
      job.putInt(StatusLayout.JOB_MACHINE_ZERO_KNOWN, 1);
      for (int axis = 0; axis < 3; axis++) {
        job.putInt(StatusLayout.JOB_PLAN_FROM + 4 * axis, 100 + axis);
        job.putInt(StatusLayout.JOB_MACHINE_ZERO + 4 * axis, -7 - axis);
      }
      Files.write(planned, job.array());
      try (StatusBlock b = StatusBlock.find("status=" + planned.getFileName())) {
        StatusBlock.Plan p = b == null ? null : b.readPlan();
        check(p != null && p.entry() == 17 && p.entries() == 40 && p.call() == 12
            && p.zeroKnown() && p.fromSteps()[2] == 102 && p.zeroSteps()[1] == -8,
            "the job section's plan fields: " + p);
      }
      job.putInt(StatusLayout.VERSION_OFFSET, StatusLayout.VERSION - 1);
      Files.write(planned, job.array());
      check(StatusBlock.find("status=" + planned.getFileName()) == null,
          "a block of another layout version is refused");
      Path named = writeBlock("steplink-internals-" + pid, 1, 6, 11, 12, 13);
      made.add(named);
      try (StatusBlock b = StatusBlock.find("clock=virtual,status=" + named.getFileName())) {
        StatusBlock.Table t = b == null ? null : b.read();
        check(t != null && t.x() == 11, "status=NAME names the block, whoever owns it: " + t);
      }
      if (NativeCache.currentUid() == 0) {
        writeBlock(ours.getFileName().toString(), pid, 2, 1, 1, 1);
        Process chown = new ProcessBuilder("chown", "nobody", ours.toString()).start();
        check(chown.waitFor() == 0, "chown nobody");
        check(StatusBlock.find(null) == null, "a block owned by another user is not taken");
      } else {
        System.out.println("note: not root, the block of another user is not tried");
      }
    } finally {
      for (Path p : made) Files.deleteIfExists(p);
    }
    return 0;
  }

  /** The jar's windows-x86 DLLs are the win32 build's, byte for byte. */
  static int win32Natives(String win32Build) throws IOException {
    if (win32Build == null || !Files.isDirectory(Path.of(win32Build, "lib"))) {
      System.out.println("skipped: no win32 build at " + win32Build + " (cmake --preset win32 &&"
          + " cmake --build --preset win32, then rebuild this tree's jar)");
      return 77;
    }
    Map<String, String> sums = NativeLoader.recordedSums();
    for (String variant : NativeLoader.VARIANTS) {
      Path dll = Path.of(win32Build, "lib", variant, "steplink.dll");
      String entry = "natives/windows-x86/" + variant + "/steplink.dll";
      if (!Files.isRegularFile(dll)) {
        System.out.println("skipped: " + dll + " is not built");
        return 77;
      }
      byte[] built = Files.readAllBytes(dll);
      byte[] packed;
      try (InputStream in = InternalsTest.class.getResourceAsStream("/" + entry)) {
        check(in != null, "the jar carries " + entry + " (rebuild the jar after the win32 build)");
        if (in == null) continue;
        packed = in.readAllBytes();
      }
      check(Arrays.equals(built, packed), entry + " is " + dll + ", byte for byte");
      equal(NativeLoader.sha256(built), sums.get(entry), "recorded SHA-256 of " + entry);
    }
    for (Map.Entry<String, String> e : sums.entrySet()) {
      try (InputStream in = InternalsTest.class.getResourceAsStream("/" + e.getKey())) {
        check(in != null && NativeLoader.sha256(in.readAllBytes()).equals(e.getValue()),
            "the recorded SHA-256 of " + e.getKey() + " matches the entry");
      }
    }
    return 0;
  }
}
