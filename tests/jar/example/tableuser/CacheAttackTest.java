// The jar's cache against another local user (root only: the other user is `nobody`): a base
// folder owned by someone else is refused, a planted library is never loaded while that user
// swaps folders, and a full disk is named as such. Child JVMs load through JarTest's probe.
package example.tableuser;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/** Cases {@code trust}, {@code swap} and {@code full-disk} of JarTest; 77 when not root. */
final class CacheAttackTest {
  private static final String NATIVE = "natives/linux-x86_64/standard/libsteplink.so";
  private static final int LAUNCHES = 50;

  private CacheAttackTest() {}

  private static boolean root() throws IOException {
    return (Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid") == 0;
  }

  private static int notRoot(String what) {
    System.out.println("skipped: " + what + " needs root (to make folders owned by `nobody` or to"
        + " mount a tmpfs); CI runs it as root");
    return 77;
  }

  /** A fresh folder under /tmp that `nobody` can enter (root's, 0755). */
  private static Path scratch(String name) throws IOException {
    Path dir = Files.createTempDirectory(Path.of("/tmp"), "steplink-jartest-" + name + "-");
    Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
    return dir;
  }

  private static void removeTree(Path dir) throws IOException {
    if (!Files.exists(dir)) return;
    // A second pass: a killed attacker's last rename may land while the first one runs.
    for (int pass = 0; pass < 2 && Files.exists(dir); pass++) {
      try (Stream<Path> all = Files.walk(dir)) {
        for (Path p : all.sorted(Comparator.reverseOrder()).toList()) Files.deleteIfExists(p);
      } catch (IOException | java.io.UncheckedIOException e) {
        if (pass == 1) throw e;
      }
    }
  }

  private static void chown(Path p, String user) throws Exception {
    run(List.of("chown", "-R", user + ":", p.toString()));
  }

  private static String run(List<String> command) throws Exception {
    Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
    String out = new String(p.getInputStream().readAllBytes());
    if (!p.waitFor(60, TimeUnit.SECONDS) || p.exitValue() != 0) {
      throw new IOException(String.join(" ", command) + " failed: " + out);
    }
    return out;
  }

  /**
   * Which bases are trusted: one owned by `nobody` (0755) is refused with its owner and mode and
   * what to do; so is a root-owned one that its group can write, and a link that leads into
   * `nobody`'s folder; a root-owned sticky one (like /tmp) is taken.
   */
  static int trust() throws Exception {
    if (!root()) return notRoot("trust");
    Path dir = scratch("trust");
    try {
      Path theirs = Files.createDirectory(dir.resolve("theirs"));
      chown(theirs, "nobody");
      JarTest.Child c = JarTest.child(theirs, List.of(), "probe");
      JarTest.check(c.exit() == 3 && c.output().contains("the folder " + theirs)
              && c.output().contains("nobody") && c.output().contains("mode 0755")
              && c.output().contains("-Dsteplink.library") && c.output().contains("XDG_CACHE_HOME"),
          "a base owned by nobody is refused, naming it, its owner and mode, and what to do: "
              + c.output());
      JarTest.check(!Files.exists(theirs.resolve("steplink")), "nothing written below it");

      Path linked = dir.resolve("linked");
      Files.createSymbolicLink(linked, theirs);
      c = JarTest.child(linked, List.of(), "probe");
      JarTest.check(c.exit() == 3 && c.output().contains("nobody"),
          "a link into nobody's folder is refused by where it leads: " + c.output());

      Path group = Files.createDirectory(dir.resolve("group"));
      Files.setPosixFilePermissions(group, PosixFilePermissions.fromString("rwxrwxr-x"));
      c = JarTest.child(group, List.of(), "probe");
      JarTest.check(c.exit() == 3 && c.output().contains("writable by other users")
              && c.output().contains("mode 0775"),
          "a group-writable base is refused: " + c.output());

      Path sticky = Files.createDirectory(dir.resolve("sticky"));
      run(List.of("chmod", "1777", sticky.toString()));
      c = JarTest.child(sticky, List.of(), "probe");
      JarTest.check(c.exit() == 0 && c.output().contains("loaded " + sticky),
          "a root-owned sticky base (like /tmp) is taken: " + c.output());
    } finally {
      removeTree(dir);
    }
    return 0;
  }

  /**
   * The planted-library swap: `nobody` owns the cache base and keeps swapping the genuine cache
   * folder with one holding a planted library of the same name. In 50 launches none loads it.
   */
  static int swap() throws Exception {
    if (!root()) return notRoot("swap");
    String planted = System.getProperty("steplink.planted");
    Path dir = scratch("swap");
    Process attacker = null;
    try {
      Path prepared = Files.createDirectory(dir.resolve("prepared"));
      JarTest.Child c = JarTest.child(prepared, List.of(), "probe");
      JarTest.equal(0, c.exit(), "a genuine cache to attack: " + c.output());
      List<Path> files = JarTest.cachedFiles(prepared);
      if (files.size() != 1) return 1;
      Path genuine = files.get(0);
      Path relative = prepared.resolve("steplink").relativize(genuine);

      Path base = Files.createDirectory(dir.resolve("base"));
      Files.move(prepared.resolve("steplink"), base.resolve("steplink"));
      Path plantedFile = base.resolve("planted").resolve(relative);
      Files.createDirectories(plantedFile.getParent());
      Files.copy(Path.of(planted), plantedFile);
      chown(base.resolve("planted"), "nobody");
      try (Stream<Path> all = Files.walk(base)) {
        for (Path p : all.toList()) {
          if (Files.isDirectory(p)) {
            Files.setPosixFilePermissions(p, PosixFilePermissions.fromString("rwx------"));
          }
        }
      }
      Files.setPosixFilePermissions(base, PosixFilePermissions.fromString("rwxr-xr-x"));
      chown(base, "nobody"); // the base and the planted tree: the genuine cache stays root's
      run(List.of("chown", "-R", "root:", base.resolve("steplink").toString()));

      Path marker = dir.resolve("planted-was-loaded");
      Path swaps = dir.resolve("swaps");
      Files.createFile(swaps);
      chown(swaps, "nobody");
      String loop = "cd " + base + " && while :; do mv -T steplink spare; mv -T planted steplink;"
          + " mv -T steplink planted; mv -T spare steplink; echo >> " + swaps + "; done";
      attacker = new ProcessBuilder("setpriv", "--reuid=nobody", "--regid=nogroup",
          "--clear-groups", "sh", "-c", loop).redirectErrorStream(true)
          .redirectOutput(dir.resolve("attacker.log").toFile()).start();

      int refused = 0;
      for (int i = 0; i < LAUNCHES; i++) {
        ProcessBuilder pb = new ProcessBuilder(java(), JarTest.noLibraryPath(), "-cp",
            System.getProperty("java.class.path"), JarTest.class.getName(), "probe")
            .redirectErrorStream(true);
        Map<String, String> env = pb.environment();
        env.put("XDG_CACHE_HOME", base.toString());
        env.put("STEPLINK_SIM", "clock=virtual");
        env.put("STEPLINK_PLANTED_MARKER", marker.toString());
        env.remove("STEPLINK_TRACE");
        JarTest.Child r = JarTest.finish(pb.start());
        JarTest.check(!Files.exists(marker), "launch " + i + " loaded the planted library: "
            + r.output());
        JarTest.check(!r.output().startsWith("loaded"), "launch " + i + " loaded: " + r.output());
        if (r.exit() == 3 && r.output().contains("the folder " + base + " belongs to another user")) {
          refused++;
        } else {
          System.out.println("launch " + i + " was not refused for the base: " + r.output());
        }
        if (Files.exists(marker)) break;
      }
      long swapped = Files.readAllLines(swaps).size();
      JarTest.check(attacker.isAlive(), "the attacker kept running: "
          + Files.readString(dir.resolve("attacker.log")));
      JarTest.check(swapped > LAUNCHES, "the attacker swapped the folders (" + swapped + " times)");
      JarTest.equal(LAUNCHES, refused, "launches refused for the base owned by nobody");
      System.out.println(LAUNCHES + " launches, " + swapped + " swaps, no planted library loaded");
    } finally {
      if (attacker != null) {
        attacker.descendants().forEach(ProcessHandle::destroyForcibly);
        attacker.destroyForcibly();
        attacker.waitFor(10, TimeUnit.SECONDS);
      }
      removeTree(dir);
    }
    return 0;
  }

  private static String java() {
    return Path.of(System.getProperty("java.home"), "bin", "java").toString();
  }

  /**
   * A cache on a full disk (a 512 KiB tmpfs; the library is larger): the load fails with "no
   * space left on device", the folder and the bytes needed, and leaves no partial file.
   */
  static int fullDisk() throws Exception {
    if (!root()) return notRoot("full-disk");
    Path dir = scratch("full");
    Path mount = Files.createDirectory(dir.resolve("disk"));
    boolean mounted = false;
    try {
      try {
        run(List.of("mount", "-t", "tmpfs", "-o", "size=512k,mode=0700", "tmpfs",
            mount.toString()));
        mounted = true;
      } catch (IOException e) {
        System.out.println("skipped: cannot mount a tmpfs here (" + e.getMessage().trim() + ")");
        return 77;
      }
      long size;
      try (InputStream in = JarTest.class.getResourceAsStream("/" + NATIVE)) {
        size = in.readAllBytes().length;
      }
      JarTest.Child c = JarTest.child(mount, List.of(), "probe");
      Path folder = mount.resolve("steplink/linux-x86_64/standard");
      JarTest.check(c.exit() == 3 && c.output().contains("no space left on device")
              && c.output().contains(folder.toString())
              && c.output().contains("needs " + size + " bytes"),
          "a full disk says so, with the folder and the bytes needed: " + c.output());
      System.out.println("the message: " + c.output().trim());
      List<Path> left = new ArrayList<>(JarTest.cachedFiles(mount));
      JarTest.equal(List.of(), left, "no partial file left on the full disk");
    } finally {
      if (mounted) run(List.of("umount", mount.toString()));
      removeTree(dir);
    }
    return 0;
  }
}
