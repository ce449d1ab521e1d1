// Loads the steplink native library: the file named by -Dsteplink.library, else the chosen
// variant's library on java.library.path, else the jar's copy for this platform and variant,
// extracted into a per-user cache (NativeCache). JavaToC's static block calls it; only the JDK.
package steplink;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.net.URL;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.function.UnaryOperator;

/**
 * Finds and loads the steplink library for {@code JavaToC}, so that a program with
 * {@code steplink.jar} on its class path needs no library path.
 *
 * <p>The variant decides first: {@code -Dsteplink.variant=standard|start200} (default
 * {@code standard}; any other value is an error before anything is loaded). Then, first hit wins:
 * <ol>
 *   <li>the file named by {@code -Dsteplink.library=PATH}, used alone (a wrong path is an error,
 *       not a fallback), taken to be of the variant asked for;
 *   <li>on {@code java.library.path}, the variant's own name: {@code libsteplink.so} /
 *       {@code steplink.dll} for {@code standard} (where a Debian package installs it, in
 *       {@code /usr/lib/x86_64-linux-gnu/jni}), {@code libsteplink-start200.so} /
 *       {@code steplink-start200.dll} for {@code start200}. An installed standard library never
 *       stands in for {@code start200};
 *   <li>the copy in this jar for {@code os.name}, {@code os.arch} and the variant.
 * </ol>
 *
 * <p>The jar's copy is extracted once into a per-user cache ({@code $XDG_CACHE_HOME/steplink},
 * else {@code ~/.cache/steplink}; {@code %LOCALAPPDATA%\steplink} on Windows) under a name that
 * carries its SHA-256, written to a file created exclusively and renamed into place, and loaded
 * only when its bytes match the SHA-256 recorded at build time. A cached file that does not match
 * is replaced. Every folder from {@code /} down to the library must be owned by root or this user
 * and writable by no one else (root's sticky folders such as {@code /tmp} excepted); anything else
 * is refused with a message naming the folder, its owner and mode. When the cache cannot be
 * written the load fails with a message that says what to do (a full disk says "no space left on
 * device"). Extraction takes a few milliseconds; a verified cached copy is only read.
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
  private static String loadedFrom;

  private NativeLoader() {}

  /**
   * The variant chosen by {@code -Dsteplink.variant} (default {@code standard}).
   *
   * @return one of {@link #VARIANTS}
   * @throws UnsatisfiedLinkError for a value that is no variant, naming the variants
   */
  public static String variant() {
    String v = System.getProperty(VARIANT_PROPERTY, "");
    if (v.isEmpty()) return VARIANTS.get(0);
    if (!VARIANTS.contains(v)) {
      throw failure("-D" + VARIANT_PROPERTY + "=" + v + " is no variant; use one of " + VARIANTS,
          null);
    }
    return v;
  }

  /**
   * The library's name on {@code java.library.path} for a variant, as {@code System.loadLibrary}
   * takes it: {@code steplink} for the standard variant, {@code steplink-VARIANT} for the others.
   *
   * @param variant one of {@link #VARIANTS}
   * @return the name without the platform's prefix and suffix
   */
  public static String libraryName(String variant) {
    return variant.equals(VARIANTS.get(0)) ? "steplink" : "steplink-" + variant;
  }

  /**
   * Loads the library in the order of the class description; does nothing when it is loaded.
   * Blocks for the extraction (milliseconds) and the load.
   *
   * @throws UnsatisfiedLinkError naming every place that was tried and why each failed
   */
  public static void load() {
    synchronized (LOCK) {
      if (loadedFrom != null) return;
      String variant = variant();
      String path = System.getProperty(LIBRARY_PROPERTY, "");
      boolean windows = osFamily(System.getProperty("os.name", "")).equals("windows");
      String arch = System.getProperty("os.arch", "");
      if (!path.isEmpty()) {
        String width = windows ? dllWidthProblem(Path.of(path), arch) : null;
        if (width != null) throw failure("-D" + LIBRARY_PROPERTY + "=" + path + ": " + width, null);
        try {
          System.load(path);
        } catch (UnsatisfiedLinkError e) {
          throw failure("-D" + LIBRARY_PROPERTY + "=" + path + " (used alone when given): "
              + e.getMessage(), e);
        }
        loadedFrom = path;
        return;
      }
      String name = libraryName(variant);
      try {
        System.loadLibrary(name);
        loadedFrom = "java.library.path (" + System.mapLibraryName(name) + ")";
        return;
      } catch (UnsatisfiedLinkError notOnLibraryPath) {
        // A DLL of the other width found first on the library path: one line that says which
        // width was found and which is needed, in place of the JVM's raw error.
        if (windows) {
          Path found = onLibraryPath(name + ".dll", System.getProperty("java.library.path", ""));
          String width = found == null ? null : dllWidthProblem(found, arch);
          if (width != null) throw failure(width, null);
        }
        loadFromJarLocked(notOnLibraryPath, variant);
      }
    }
  }

  /**
   * Where the library came from, for messages: the {@code -Dsteplink.library} path, the library
   * path, or the cached file of the jar's copy.
   *
   * @return a description, or null while nothing is loaded
   */
  public static String loadedFrom() {
    synchronized (LOCK) {
      return loadedFrom;
    }
  }

  /**
   * The jar's step of loading alone: extracts the library for this platform and the chosen
   * variant into the cache and loads it. Kept for callers of earlier versions; {@link #load}
   * runs all steps.
   *
   * @param earlier why the steps before it failed (the {@code java.library.path} search); its
   *     message goes into the error thrown here, or null
   * @throws UnsatisfiedLinkError naming every place that was tried and why each failed
   */
  public static void loadFromJar(UnsatisfiedLinkError earlier) {
    synchronized (LOCK) {
      if (loadedFrom != null) return;
      loadFromJarLocked(earlier, variant());
    }
  }

  private static void loadFromJarLocked(UnsatisfiedLinkError earlier, String variant) {
    String tried =
        "Tried: -D"
            + LIBRARY_PROPERTY
            + " (not set); "
            + System.mapLibraryName(libraryName(variant))
            + " on java.library.path ["
            + System.getProperty("java.library.path", "")
            + "]"
            + (earlier == null ? "" : ": " + earlier.getMessage());
    String resource;
    try {
      resource =
          resourcePath(
              System.getProperty("os.name", ""), System.getProperty("os.arch", ""), variant);
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
    Path file;
    try {
      Path root = cacheRoot(System.getProperty("os.name", ""), System::getenv,
          System.getProperty("user.home", ""));
      file = NativeCache.extract(resource, sha, root);
    } catch (IOException | UncheckedIOException | IllegalStateException e) {
      String message = e.getMessage();
      String advice = message.contains("-D" + LIBRARY_PROPERTY) ? "" : ". Make the cache"
          + " writable (XDG_CACHE_HOME, or LOCALAPPDATA on Windows, names it), or load the"
          + " library from a path with -D" + LIBRARY_PROPERTY + "=PATH";
      throw failure(tried + "; " + where + ": " + message + advice, earlier);
    }
    try {
      System.load(file.toString());
    } catch (UnsatisfiedLinkError e) {
      throw failure(tried + "; " + where + ", extracted to " + file + ": " + e.getMessage(), e);
    }
    loadedFile = file;
    loadedFrom = file.toString();
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
   * libsteplink.so}, {@code natives/windows-x86_64/start200/steplink.dll} (a 64-bit JVM on
   * Windows) or {@code natives/windows-x86/standard/steplink.dll} (a 32-bit one).
   *
   * @throws IllegalArgumentException for an unknown variant or a platform that no steplink library
   *     exists for, with the reason (on Windows: which DLLs exist)
   */
  static String resourcePath(String osName, String osArch, String variant) {
    String v = variant == null || variant.isEmpty() ? VARIANTS.get(0) : variant;
    if (!VARIANTS.contains(v)) {
      throw new IllegalArgumentException(
          "-D" + VARIANT_PROPERTY + "=" + variant + " is no variant; use one of " + VARIANTS);
    }
    String os = osFamily(osName);
    String arch = archFamily(osArch);
    if (os.equals("windows") && !WINDOWS_MACHINES.containsKey(arch)) {
      throw new IllegalArgumentException(
          "there is no steplink.dll for a "
              + arch
              + " Java runtime on Windows (os.arch="
              + osArch
              + "): steplink.dll exists for x64 (64-bit, os.arch amd64) and x86 (32-bit) Java"
              + " runtimes only; run the program with one of those");
    }
    String file = os.equals("windows") ? "steplink.dll" : "libsteplink.so";
    return "natives/" + os + "-" + arch + "/" + v + "/" + file;
  }

  /** The Windows architectures a steplink.dll exists for, with their PE machine numbers. */
  static final Map<String, Integer> WINDOWS_MACHINES = Map.of("x86_64", 0x8664, "x86", 0x14c);

  /**
   * Why a DLL cannot be loaded by a JVM of {@code osArch}, when its width is the wrong one: the
   * one line a user sees in place of the JVM's raw error.
   *
   * @param dll a file that may be a Windows DLL
   * @param osArch the JVM's {@code os.arch}
   * @return the message, or null when the file is no PE image or is of the JVM's own width
   */
  static String dllWidthProblem(Path dll, String osArch) {
    int machine = peMachine(dll);
    Integer needed = WINDOWS_MACHINES.get(archFamily(osArch));
    if (machine < 0 || needed == null || machine == needed) return null;
    return dll
        + " is a "
        + machineName(machine)
        + " DLL, and this Java runtime (os.arch="
        + osArch
        + ") needs a "
        + machineName(needed)
        + " one: remove it from java.library.path, or put the "
        + machineName(needed)
        + " steplink.dll there (steplink.jar carries both)";
  }

  private static String machineName(int machine) {
    return switch (machine) {
      case 0x8664 -> "64-bit (x64)";
      case 0x14c -> "32-bit (x86)";
      case 0xaa64 -> "64-bit Arm (aarch64)";
      default -> String.format("machine 0x%x", machine);
    };
  }

  /**
   * The machine field of a PE image's file header (0x14c x86, 0x8664 x64, 0xaa64 aarch64).
   *
   * @return the field, or -1 when the file cannot be read or is no PE image
   */
  static int peMachine(Path file) {
    byte[] head = new byte[4096];
    int length;
    try (InputStream in = Files.newInputStream(file)) {
      length = in.readNBytes(head, 0, head.length);
    } catch (IOException | RuntimeException e) {
      return -1;
    }
    if (length < 0x40 || head[0] != 'M' || head[1] != 'Z') return -1;
    int pe = (head[0x3c] & 0xff) | (head[0x3d] & 0xff) << 8 | (head[0x3e] & 0xff) << 16
        | (head[0x3f] & 0xff) << 24;
    if (pe < 0x40 || pe > length - 6) return -1;
    if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) {
      return -1;
    }
    return (head[pe + 4] & 0xff) | (head[pe + 5] & 0xff) << 8;
  }

  /** The variant's DLL in the folders of {@code java.library.path}, first hit, or null. */
  static Path onLibraryPath(String fileName, String libraryPath) {
    for (String folder : libraryPath.split(File.pathSeparator)) {
      if (folder.isEmpty()) continue;
      try {
        Path candidate = Path.of(folder, fileName);
        if (Files.isRegularFile(candidate)) return candidate;
      } catch (RuntimeException e) {
        // an unusable entry of the path: the JVM skips it too
      }
    }
    return null;
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

  static String sha256(Path file) throws IOException {
    return NativeCache.sha256(file);
  }

  static String sha256(byte[] bytes) {
    return NativeCache.sha256(bytes);
  }

  /** The cached copy of a jar entry, written first when missing or damaged: see NativeCache. */
  static Path extract(String resource, String sha, Path root) throws IOException {
    return NativeCache.extract(resource, sha, root);
  }
}
