// Loads the steplink native library from inside the jar: the copy for this platform and variant,
// extracted into a per-user cache under its SHA-256 and checked against the list recorded when the
// jar was built. JavaToC's static block calls it after its own two steps; uses only the JDK.
package steplink;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.net.URL;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.function.UnaryOperator;

/**
 * Finds and loads the steplink library for {@code JavaToC}, so that a program with
 * {@code steplink.jar} on its class path needs no library path.
 *
 * <p>Loading order, first hit wins: the file named by {@code -Dsteplink.library=PATH}; a
 * {@code libsteplink.so} / {@code steplink.dll} on {@code java.library.path}; the copy in this jar
 * for {@code os.name} and {@code os.arch} and the variant {@code -Dsteplink.variant=standard|start200}
 * (default {@code standard}). {@code JavaToC}'s static initializer runs the first two steps itself
 * and calls {@link #loadFromJar} for the third.
 *
 * <p>The jar's copy is extracted once into a per-user cache ({@code $XDG_CACHE_HOME/steplink},
 * else {@code ~/.cache/steplink}; {@code %LOCALAPPDATA%\steplink} on Windows) under a name that
 * carries its SHA-256, written to a temporary file first and renamed into place, and loaded only
 * when its bytes match the SHA-256 recorded at build time. A cached file that does not match is
 * replaced. Directories writable by other users are refused, and nothing is ever written to a
 * shared temporary directory: when the cache cannot be written the load fails with a message that
 * says what to do. Extraction takes a few milliseconds; a verified cached copy is only read.
 */
public final class NativeLoader {
  /** System property naming the library file to load (the first step). */
  public static final String LIBRARY_PROPERTY = "steplink.library";

  /** System property choosing the variant that the jar's natives are taken from. */
  public static final String VARIANT_PROPERTY = "steplink.variant";

  /** The variants the jar carries for each platform; the first is the default. */
  public static final List<String> VARIANTS = List.of("standard", "start200");

  /** The SHA-256 list inside the jar, one {@code HEX  PATH} line per native (sha256sum format). */
  static final String SUMS_RESOURCE = "natives/SHA256SUMS";

  private static final Object LOCK = new Object();
  private static Path loadedFile;

  private NativeLoader() {}

  /**
   * The jar's step of loading: extracts the library for this platform and variant into the cache
   * and loads it. Blocks for the extraction (milliseconds) and the load.
   *
   * @param earlier why the steps before it failed (the {@code java.library.path} search); its
   *     message goes into the error thrown here, or null
   * @throws UnsatisfiedLinkError naming every place that was tried and why each failed
   */
  public static void loadFromJar(UnsatisfiedLinkError earlier) {
    synchronized (LOCK) {
      if (loadedFile != null) return;
      String tried =
          "Tried: -D"
              + LIBRARY_PROPERTY
              + " (not set); java.library.path ["
              + System.getProperty("java.library.path", "")
              + "]"
              + (earlier == null ? "" : ": " + earlier.getMessage());
      String resource;
      try {
        resource =
            resourcePath(
                System.getProperty("os.name", ""),
                System.getProperty("os.arch", ""),
                System.getProperty(VARIANT_PROPERTY, ""));
      } catch (IllegalArgumentException e) {
        throw failure(tried + "; the jar: " + e.getMessage(), earlier);
      }
      String where = "the jar (" + jarLocation() + ") entry " + resource;
      Map<String, String> sums;
      try {
        sums = recordedSums();
      } catch (IOException e) {
        throw failure(tried + "; " + where + ": " + e.getMessage(), earlier);
      }
      String sha = sums.get(resource);
      if (sha == null) {
        throw failure(
            tried
                + "; "
                + where
                + ": this jar carries no library for this platform and variant (it carries: "
                + String.join(", ", carried(sums))
                + ")",
            earlier);
      }
      Path root;
      Path file;
      try {
        root = cacheRoot(System.getProperty("os.name", ""), System::getenv,
            System.getProperty("user.home", ""));
        file = extract(resource, sha, root);
      } catch (IOException | UncheckedIOException | IllegalStateException e) {
        throw failure(
            tried
                + "; "
                + where
                + ": "
                + e.getMessage()
                + ". Make the cache writable (XDG_CACHE_HOME, or LOCALAPPDATA on Windows, names"
                + " it), or load the library from a path with -D"
                + LIBRARY_PROPERTY
                + "=PATH",
            earlier);
      }
      try {
        System.load(file.toString());
      } catch (UnsatisfiedLinkError e) {
        throw failure(tried + "; " + where + ", extracted to " + file + ": " + e.getMessage(), e);
      }
      loadedFile = file;
    }
  }

  /**
   * The cached file that {@link #loadFromJar} loaded.
   *
   * @return its path, or null when the library came from elsewhere or is not loaded yet
   */
  public static Path loadedFile() {
    synchronized (LOCK) {
      return loadedFile;
    }
  }

  private static UnsatisfiedLinkError failure(String message, Throwable cause) {
    UnsatisfiedLinkError error = new UnsatisfiedLinkError("steplink: cannot load the library. "
        + message);
    if (cause != null) error.initCause(cause);
    return error;
  }

  /** Where the classes come from, for messages: the jar's path or the class folder. */
  static String jarLocation() {
    try {
      URL url = NativeLoader.class.getProtectionDomain().getCodeSource().getLocation();
      return Path.of(url.toURI()).toString();
    } catch (Exception e) {
      return "location unknown";
    }
  }

  /**
   * The jar's entry for a platform and variant, e.g. {@code natives/linux-x86_64/standard/
   * libsteplink.so} or {@code natives/windows-x86/start200/steplink.dll}.
   *
   * @throws IllegalArgumentException for an unknown variant or a platform that no steplink library
   *     exists for, with the reason (a 64-bit JVM on Windows: the library is 32-bit)
   */
  static String resourcePath(String osName, String osArch, String variant) {
    String v = variant == null || variant.isEmpty() ? VARIANTS.get(0) : variant;
    if (!VARIANTS.contains(v)) {
      throw new IllegalArgumentException(
          "-D" + VARIANT_PROPERTY + "=" + variant + " is no variant; use one of " + VARIANTS);
    }
    String os = osFamily(osName);
    String arch = archFamily(osArch);
    if (os.equals("windows") && !arch.equals("x86")) {
      throw new IllegalArgumentException(
          "this is a "
              + (arch.equals("x86_64") || arch.equals("aarch64") ? "64-bit" : osArch)
              + " Java runtime (os.arch="
              + osArch
              + "), and steplink.dll is a 32-bit library (the PortTalk port driver interface is"
              + " 32-bit): run the program with a 32-bit (x86) Java runtime");
    }
    String file = os.equals("windows") ? "steplink.dll" : "libsteplink.so";
    return "natives/" + os + "-" + arch + "/" + v + "/" + file;
  }

  static String osFamily(String osName) {
    String n = osName.toLowerCase(Locale.ROOT);
    if (n.startsWith("windows")) return "windows";
    if (n.startsWith("linux")) return "linux";
    if (n.startsWith("mac") || n.startsWith("darwin")) return "macos";
    return n.replaceAll("[^a-z0-9]", "");
  }

  static String archFamily(String osArch) {
    String a = osArch.toLowerCase(Locale.ROOT);
    return switch (a) {
      case "amd64", "x86_64", "x86-64", "em64t" -> "x86_64";
      case "x86", "i386", "i486", "i586", "i686", "x86_32" -> "x86";
      case "aarch64", "arm64" -> "aarch64";
      default -> a.replaceAll("[^a-z0-9_]", "");
    };
  }

  /**
   * The cache folder for extracted natives: {@code %LOCALAPPDATA%\steplink} on Windows (else
   * {@code USER_HOME\AppData\Local\steplink}), {@code $XDG_CACHE_HOME/steplink} elsewhere (else
   * {@code USER_HOME/.cache/steplink}). Relative settings are ignored, as the XDG rules say.
   */
  static Path cacheRoot(String osName, UnaryOperator<String> env, String userHome) {
    boolean windows = osFamily(osName).equals("windows");
    String base = env.apply(windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME");
    Path root;
    if (base != null && !base.isEmpty() && Path.of(base).isAbsolute()) {
      root = Path.of(base);
    } else if (userHome == null || userHome.isEmpty()) {
      throw new IllegalStateException(
          "no cache folder: " + (windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME")
              + " is not an absolute path and user.home is not set");
    } else {
      root = windows ? Path.of(userHome, "AppData", "Local") : Path.of(userHome, ".cache");
    }
    return root.resolve("steplink");
  }

  /** The SHA-256 list recorded in the jar: entry path to lowercase hex. */
  static Map<String, String> recordedSums() throws IOException {
    try (InputStream in = NativeLoader.class.getResourceAsStream("/" + SUMS_RESOURCE)) {
      if (in == null) {
        throw new IOException(SUMS_RESOURCE + " is missing: these classes were not loaded from"
            + " steplink.jar, which carries the natives");
      }
      Map<String, String> sums = new LinkedHashMap<>();
      for (String line : new String(in.readAllBytes(), StandardCharsets.UTF_8).split("\n")) {
        String[] parts = line.trim().split("\\s+\\*?", 2);
        if (parts.length == 2 && parts[0].matches("[0-9a-f]{64}")) sums.put(parts[1], parts[0]);
      }
      return sums;
    }
  }

  /** The platform/variant folders that a SHA-256 list names, e.g. "linux-x86_64/standard". */
  static List<String> carried(Map<String, String> sums) {
    return sums.keySet().stream()
        .map(p -> p.replaceFirst("^natives/", "").replaceFirst("/[^/]+$", ""))
        .toList();
  }

  /**
   * Returns the cached copy of a jar entry whose bytes have the SHA-256 {@code sha}, writing it
   * first when it is missing or damaged. Safe against other JVMs doing the same at once: each
   * writes its own temporary file and renames it over the final name, which only ever holds a
   * complete file.
   */
  static Path extract(String resource, String sha, Path root) throws IOException {
    String[] parts = resource.split("/");
    String platform = parts[1];
    String variant = parts[2];
    String name = parts[3];
    int dot = name.lastIndexOf('.');
    String fileName = name.substring(0, dot) + "-" + sha + name.substring(dot);
    Path dir = root.resolve(platform).resolve(variant);
    Path target = dir.resolve(fileName);

    checkBase(root.getParent());
    if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS)) {
      checkPrivate(root, dir);
      if (sha.equals(sha256(target))) return target;
    }
    makePrivateDirectories(root, dir);
    checkPrivate(root, dir);

    byte[] bytes;
    try (InputStream in = NativeLoader.class.getResourceAsStream("/" + resource)) {
      if (in == null) throw new IOException("the entry is listed but missing from the jar");
      bytes = in.readAllBytes();
    }
    if (!sha.equals(sha256(bytes))) {
      throw new IOException("the jar's copy does not match the SHA-256 recorded at build time ("
          + sha + "): the jar is damaged; download or build it again");
    }
    removeStaleTemporaries(dir, fileName);
    Path temp;
    try {
      temp = Files.createTempFile(dir, "." + fileName + ".", ".tmp", privateFile(dir));
    } catch (AccessDeniedException e) {
      throw new IOException("cannot write the cache folder " + dir + " (permission denied)", e);
    }
    try {
      try (FileChannel out = FileChannel.open(temp, StandardOpenOption.WRITE)) {
        out.write(java.nio.ByteBuffer.wrap(bytes));
        out.force(true);
      }
      try {
        Files.move(temp, target, StandardCopyOption.ATOMIC_MOVE,
            StandardCopyOption.REPLACE_EXISTING);
      } catch (AtomicMoveNotSupportedException e) {
        throw new IOException("the cache folder " + dir + " cannot rename files atomically", e);
      } catch (IOException e) {
        // Windows cannot replace a DLL that another JVM has loaded; that copy is the right one
        // when it verifies.
        if (Files.isRegularFile(target) && sha.equals(sha256(target))) return target;
        throw new IOException("cannot move the extracted copy to " + target + ": " + e, e);
      }
    } finally {
      Files.deleteIfExists(temp);
    }
    if (!sha.equals(sha256(target))) {
      throw new IOException("the extracted copy " + target + " does not match its SHA-256 " + sha);
    }
    return target;
  }

  /**
   * Deletes temporary copies that a JVM killed while extracting left behind. A live extraction
   * takes milliseconds, so a temporary file ten minutes old belongs to no one.
   */
  private static void removeStaleTemporaries(Path dir, String fileName) {
    long cutoff = System.currentTimeMillis() - 10 * 60 * 1000;
    try (DirectoryStream<Path> stale = Files.newDirectoryStream(dir, "." + fileName + ".*.tmp")) {
      for (Path p : stale) {
        if (Files.getLastModifiedTime(p, LinkOption.NOFOLLOW_LINKS).toMillis() < cutoff) {
          Files.deleteIfExists(p);
        }
      }
    } catch (IOException e) {
      // Only tidying: a leftover that cannot be removed does no harm.
    }
  }

  private static boolean posix(Path p) {
    return p.getFileSystem().supportedFileAttributeViews().contains("posix");
  }

  private static FileAttribute<?>[] privateFile(Path dir) {
    return posix(dir)
        ? new FileAttribute<?>[] {
          PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"))
        }
        : new FileAttribute<?>[0];
  }

  private static void makePrivateDirectories(Path root, Path dir) throws IOException {
    FileAttribute<?>[] attrs =
        posix(dir)
            ? new FileAttribute<?>[] {
              PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"))
            }
            : new FileAttribute<?>[0];
    Path base = root.getParent();
    if (base != null && !Files.isDirectory(base)) {
      try {
        Files.createDirectories(base, attrs);
      } catch (IOException e) {
        throw new IOException("cannot create the cache folder " + base + ": " + describe(e), e);
      }
    }
    for (Path p = root, end = dir; ; p = p.resolve(end.getName(p.getNameCount()))) {
      if (!Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)) {
        try {
          Files.createDirectory(p, attrs);
        } catch (FileAlreadyExistsException e) {
          // Another JVM made it in the meantime, or it is not a directory: checkPrivate says.
        } catch (IOException e) {
          throw new IOException("cannot create the cache folder " + p + ": " + describe(e), e);
        }
      }
      if (p.equals(end)) break;
    }
  }

  private static String describe(IOException e) {
    if (e instanceof AccessDeniedException) return "permission denied";
    if (e instanceof java.nio.file.FileSystemException f && f.getReason() != null) {
      return f.getReason();
    }
    return e.toString();
  }

  /**
   * Refuses a base folder ($XDG_CACHE_HOME) that other users can write: they could replace the
   * cache below it.
   */
  private static void checkBase(Path base) throws IOException {
    if (base == null || !posix(base) || !Files.isDirectory(base)) return;
    int mode = (Integer) Files.getAttribute(base, "unix:mode");
    if ((mode & 0022) != 0) {
      throw new IOException(
          "the cache folder " + base + " is writable by other users; natives are never"
              + " extracted to a shared place");
    }
  }

  /**
   * Refuses a cache that another user could change: every folder from {@code root} down to
   * {@code dir} must be a real directory owned by this user and writable by it alone.
   */
  private static void checkPrivate(Path root, Path dir) throws IOException {
    if (!posix(dir)) return; // Windows: %LOCALAPPDATA% is the user's own by its access list
    int uid = currentUid();
    for (Path p = root; ; p = p.resolve(dir.getName(p.getNameCount()))) {
      if (Files.exists(p, LinkOption.NOFOLLOW_LINKS)) {
        if (!Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)) {
          throw new IOException("the cache path " + p + " is not a directory");
        }
        int mode = (Integer) Files.getAttribute(p, "unix:mode", LinkOption.NOFOLLOW_LINKS);
        int owner = (Integer) Files.getAttribute(p, "unix:uid", LinkOption.NOFOLLOW_LINKS);
        if (uid >= 0 && owner != uid) {
          throw new IOException("the cache folder " + p + " belongs to another user (uid "
              + owner + ")");
        }
        if ((mode & 0022) != 0) {
          throw new IOException("the cache folder " + p + " is writable by other users (mode "
              + Integer.toOctalString(mode & 0777) + ")");
        }
      }
      if (p.equals(dir)) break;
    }
  }

  /** This process's user id on a POSIX system, or -1 when it cannot be told. */
  private static int currentUid() {
    try {
      return (Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid");
    } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
      return -1;
    }
  }

  static String sha256(Path file) throws IOException {
    return sha256(Files.readAllBytes(file));
  }

  static String sha256(byte[] bytes) {
    try {
      return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(bytes));
    } catch (NoSuchAlgorithmException e) {
      throw new IllegalStateException("the JDK has no SHA-256", e);
    }
  }
}
