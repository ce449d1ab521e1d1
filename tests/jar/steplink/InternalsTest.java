// Tests of the jar's package-private parts, compiled against steplink.jar alone: the platform and
// cache-folder mapping of NativeLoader, extraction into a cache, the jar's SHA-256 list against
// its entries and the win32 and win64 builds' DLLs, the DLL width check, and Table's splitting of
// long moves.
package steplink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
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
          case "win32-natives" -> windowsNatives(System.getProperty("steplink.win32"), "x86");
          case "win64-natives" -> windowsNatives(System.getProperty("steplink.win64"), "x86_64");
          case "dll-width" -> dllWidth();
          case "windows-access" -> windowsAccess();
          case "status-block" -> statusBlock();
          default -> {
            System.out.println("usage: InternalsTest platforms|move-plan|extract|win32-natives|win64-natives|dll-width"
                + "|windows-access");
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
    // A 64-bit JVM on Windows (every current JDK) takes the x64 DLL.
    for (String arch : List.of("amd64", "x86_64", "AMD64", "x86-64")) {
      equal("natives/windows-x86_64/standard/steplink.dll",
          NativeLoader.resourcePath("Windows 11", arch, ""), "Windows " + arch);
    }
    equal("natives/windows-x86_64/start200/steplink.dll",
        NativeLoader.resourcePath("Windows 10", "amd64", "start200"), "Windows amd64 start200");
    // Windows on Arm: no DLL; the refusal names what exists.
    for (String arch : List.of("aarch64", "arm64", "ia64")) {
      String message = thrown(() -> NativeLoader.resourcePath("Windows 11", arch, ""));
      check(message != null && message.contains("os.arch=" + arch) && message.contains("x64")
              && message.contains("x86") && message.contains("no steplink.dll"),
          "a " + arch + " JVM on Windows is told which DLLs exist: " + message);
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

  /** The jar's windows-ARCH DLLs are the Windows build's of that width, byte for byte. */
  static int windowsNatives(String build, String arch) throws IOException {
    String preset = arch.equals("x86") ? "win32" : "win64";
    if (build == null || !Files.isDirectory(Path.of(build, "lib"))) {
      System.out.println("skipped: no " + preset + " build at " + build + " (cmake --preset "
          + preset + " && cmake --build --preset " + preset + ", then rebuild this tree's jar)");
      return 77;
    }
    Map<String, String> sums = NativeLoader.recordedSums();
    for (String variant : NativeLoader.VARIANTS) {
      Path dll = Path.of(build, "lib", variant, "steplink.dll");
      String entry = "natives/windows-" + arch + "/" + variant + "/steplink.dll";
      if (!Files.isRegularFile(dll)) {
        System.out.println("skipped: " + dll + " is not built");
        return 77;
      }
      byte[] built = Files.readAllBytes(dll);
      byte[] packed;
      try (InputStream in = InternalsTest.class.getResourceAsStream("/" + entry)) {
        check(in != null,
            "the jar carries " + entry + " (rebuild the jar after the " + preset + " build)");
        if (in == null) continue;
        packed = in.readAllBytes();
      }
      check(Arrays.equals(built, packed), entry + " is " + dll + ", byte for byte");
      equal(NativeLoader.sha256(built), sums.get(entry), "recorded SHA-256 of " + entry);
      equal(NativeLoader.WINDOWS_MACHINES.get(arch), NativeLoader.peMachine(dll),
          "the PE machine of " + dll);
    }
    for (Map.Entry<String, String> e : sums.entrySet()) {
      try (InputStream in = InternalsTest.class.getResourceAsStream("/" + e.getKey())) {
        check(in != null && NativeLoader.sha256(in.readAllBytes()).equals(e.getValue()),
            "the recorded SHA-256 of " + e.getKey() + " matches the entry");
      }
    }
    return 0;
  }

  /** A minimal PE image head: "MZ", the header offset at 0x3c, "PE\0\0" and the machine. */
  private static byte[] peHead(int headerOffset, int machine) {
    byte[] b = new byte[Math.max(0x80, headerOffset + 8)];
    b[0] = 'M';
    b[1] = 'Z';
    b[0x3c] = (byte) headerOffset;
    b[0x3d] = (byte) (headerOffset >> 8);
    b[headerOffset] = 'P';
    b[headerOffset + 1] = 'E';
    b[headerOffset + 4] = (byte) machine;
    b[headerOffset + 5] = (byte) (machine >> 8);
    return b;
  }

  /**
   * A DLL of the wrong width gets one line naming the width found and the width needed; a DLL of
   * the JVM's width, a file that is no PE image and a damaged header get none (the JVM's own
   * error then stands).
   */
  static int dllWidth() throws IOException {
    Path work = Files.createTempDirectory(
        Files.createDirectories(Path.of(System.getProperty("steplink.work"))), "dll-width");
    Path x86 = Files.write(work.resolve("x86.dll"), peHead(0x40, 0x14c));
    Path x64 = Files.write(work.resolve("x64.dll"), peHead(0x100, 0x8664));
    Path arm = Files.write(work.resolve("arm.dll"), peHead(0x40, 0xaa64));
    equal(0x14c, NativeLoader.peMachine(x86), "x86 machine");
    equal(0x8664, NativeLoader.peMachine(x64), "x64 machine");

    String found32 = NativeLoader.dllWidthProblem(x86, "amd64");
    check(found32 != null && found32.contains(x86.toString())
            && found32.contains("is a 32-bit (x86) DLL") && found32.contains("needs a 64-bit (x64)")
            && !found32.contains("\n"),
        "a 32-bit DLL for a 64-bit JVM, one line: " + found32);
    String found64 = NativeLoader.dllWidthProblem(x64, "x86");
    check(found64 != null && found64.contains("is a 64-bit (x64) DLL")
            && found64.contains("needs a 32-bit (x86)"),
        "a 64-bit DLL for a 32-bit JVM: " + found64);
    String foundArm = NativeLoader.dllWidthProblem(arm, "x86_64");
    check(foundArm != null && foundArm.contains("aarch64"), "an Arm DLL: " + foundArm);
    equal("none", String.valueOf(NativeLoader.dllWidthProblem(x64, "amd64")).replace("null",
        "none"), "a 64-bit DLL for a 64-bit JVM");
    equal("none", String.valueOf(NativeLoader.dllWidthProblem(x86, "i686")).replace("null",
        "none"), "a 32-bit DLL for a 32-bit JVM");

    byte[] badOffset = peHead(0x40, 0x14c);
    badOffset[0x3d] = 0x7f; // header offset far beyond the file
    byte[] noSignature = peHead(0x40, 0x14c);
    noSignature[0x41] = 'X';
    for (byte[] bytes : List.of(new byte[0], "not a DLL".getBytes(), new byte[] {'M', 'Z'},
        badOffset, noSignature)) {
      Path file = Files.write(work.resolve("bad.dll"), bytes);
      equal(-1, NativeLoader.peMachine(file), "no PE image in " + bytes.length + " bytes");
      check(NativeLoader.dllWidthProblem(file, "amd64") == null, "no width message for it");
    }
    equal(-1, NativeLoader.peMachine(work.resolve("missing.dll")), "a missing file");

    // The library path is searched folder by folder, first hit wins; empty entries are skipped.
    Path first = Files.createDirectory(work.resolve("first"));
    Path second = Files.createDirectory(work.resolve("second"));
    Files.copy(x86, second.resolve("steplink.dll"));
    String path = String.join(java.io.File.pathSeparator, "", first.toString(), second.toString());
    equal(second.resolve("steplink.dll"), NativeLoader.onLibraryPath("steplink.dll", path),
        "the DLL in the second folder");
    check(NativeLoader.onLibraryPath("steplink-start200.dll", path) == null, "no start200 DLL");
    return failures > 0 ? 1 : 0;
  }

  /** A Windows account as the access-list view reports it: its name, equal by name. */
  private record Account(String getName) implements UserPrincipal {}

  private static AclEntry allow(UserPrincipal who, AclEntryPermission... rights) {
    return AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(who)
        .setPermissions(rights).build();
  }

  /**
   * The cache's trust rule on Windows, by owner and access list: %LOCALAPPDATA%'s usual list
   * passes; another owner, or write, append, delete or access-list rights for anyone but this
   * user, SYSTEM and the Administrators, are refused naming who; read rights and deny entries
   * for others are fine.
   */
  static int windowsAccess() {
    Path folder = Path.of("C:", "Users", "ann", "AppData", "Local", "steplink");
    UserPrincipal ann = new Account("PC\\ann");
    UserPrincipal bob = new Account("PC\\bob");
    UserPrincipal users = new Account("BUILTIN\\Users");
    UserPrincipal system = new Account("NT AUTHORITY\\SYSTEM");
    UserPrincipal admins = new Account("BUILTIN\\Administrators");
    AclEntryPermission[] full = AclEntryPermission.values();
    List<AclEntry> usual = List.of(allow(system, full), allow(admins, full), allow(ann, full));
    check(WindowsAccess.problem(folder, ann, usual, ann) == null, "the profile's usual list");
    check(WindowsAccess.problem(folder, admins, usual, ann) == null, "owned by the Administrators");

    String owned = WindowsAccess.problem(folder, bob, usual, ann);
    check(owned != null && owned.contains("PC\\bob") && owned.contains("not to PC\\ann"),
        "owned by another user: " + owned);
    for (AclEntryPermission right : WindowsAccess.CHANGING) {
      List<AclEntry> acl = new java.util.ArrayList<>(usual);
      acl.add(allow(users, AclEntryPermission.READ_DATA, right));
      String message = WindowsAccess.problem(folder, ann, acl, ann);
      check(message != null && message.contains("BUILTIN\\Users")
              && message.contains(right.toString().toLowerCase(java.util.Locale.ROOT)),
          "Users granted " + right + ": " + message);
    }
    List<AclEntry> readers = new java.util.ArrayList<>(usual);
    readers.add(allow(users, AclEntryPermission.READ_DATA, AclEntryPermission.EXECUTE,
        AclEntryPermission.READ_ATTRIBUTES, AclEntryPermission.SYNCHRONIZE));
    readers.add(AclEntry.newBuilder().setType(AclEntryType.DENY).setPrincipal(bob)
        .setPermissions(full).build());
    check(WindowsAccess.problem(folder, ann, readers, ann) == null,
        "read rights and deny entries for others");
    return failures > 0 ? 1 : 0;
  }
}
