// The loader's order and the jar's version: the variant decides before java.library.path is
// searched (an installed standard library never stands in for start200), and the jar's version,
// manifest and Maven description all carry CMake's project version. Child JVMs via JarTest.
package example.tableuser;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;
import java.util.jar.JarFile;

/** Cases {@code version} and {@code variant-order} of JarTest. */
final class LoaderTest {
  private LoaderTest() {}

  private static Properties properties(JarFile jar, String entry) throws IOException {
    Properties p = new Properties();
    try (InputStream in = jar.getInputStream(jar.getEntry(entry))) {
      p.load(in);
    }
    return p;
  }

  /** One version everywhere: version.properties, the manifest, pom.properties and pom.xml. */
  static int version() throws Exception {
    String version = System.getProperty("steplink.version");
    Path jarPath = Path.of(System.getProperty("steplink.jar"));
    try (JarFile jar = new JarFile(jarPath.toFile())) {
      JarTest.equal(version, properties(jar, "steplink/version.properties").getProperty("version"),
          "version.properties");
      JarTest.equal(version,
          jar.getManifest().getMainAttributes().getValue("Implementation-Version"),
          "the manifest's Implementation-Version");
      JarTest.equal(version,
          properties(jar, "META-INF/maven/org.steplink/steplink/pom.properties")
              .getProperty("version"), "pom.properties");
      String pom;
      try (InputStream in =
          jar.getInputStream(jar.getEntry("META-INF/maven/org.steplink/steplink/pom.xml"))) {
        pom = new String(in.readAllBytes(), StandardCharsets.UTF_8);
      }
      JarTest.check(pom.contains("<version>" + version + "</version>"), "pom.xml: " + pom);
    }
    Path versioned = jarPath.resolveSibling("steplink-" + version + ".jar");
    JarTest.check(Files.isRegularFile(versioned), "the versioned jar " + versioned);
    Path pomFile = jarPath.resolveSibling("steplink-" + version + ".pom");
    JarTest.check(Files.readString(pomFile).contains("<version>" + version + "</version>"),
        "the Maven description beside the jar: " + pomFile);
    return 0;
  }

  private static JarTest.Child probe(Path cache, Path libraryPath, String... options)
      throws Exception {
    List<String> command = new ArrayList<>(List.of(
        Path.of(System.getProperty("java.home"), "bin", "java").toString(),
        "-Djava.library.path=" + libraryPath));
    command.addAll(List.of(options));
    command.addAll(List.of("-cp", System.getProperty("java.class.path"),
        JarTest.class.getName(), "probe"));
    Files.createDirectories(cache);
    ProcessBuilder pb = new ProcessBuilder(command).redirectErrorStream(true);
    pb.environment().put("XDG_CACHE_HOME", cache.toString());
    pb.environment().put("STEPLINK_SIM", "clock=virtual");
    pb.environment().put("STEPLINK_PLANTED_MARKER", cache.resolve("marker").toString());
    pb.environment().remove("STEPLINK_TRACE");
    return JarTest.finish(pb.start());
  }

  /**
   * A "standard" libsteplink.so installed on java.library.path (here a library that marks its
   * loading) is taken for the standard variant and never for start200, which gets the jar's copy;
   * a libsteplink-start200.so there is taken for start200; a bad variant loads nothing, and a
 * wrong -Dsteplink.library falls back to nothing.
   */
  static int variantOrder() throws Exception {
    Path work = Files.createTempDirectory(
        Files.createDirectories(Path.of(System.getProperty("steplink.work"))), "variant-order");
    Path installed = Files.createDirectory(work.resolve("jni"));
    Files.copy(Path.of(System.getProperty("steplink.planted")), installed.resolve("libsteplink.so"));

    Path cache = work.resolve("start200");
    JarTest.Child c = probe(cache, installed, "-Dsteplink.variant=start200");
    JarTest.check(c.exit() == 0 && c.output().contains("/linux-x86_64/start200/libsteplink-"),
        "start200 comes from the jar, not the installed standard library: " + c.output());
    JarTest.check(!Files.exists(cache.resolve("marker")), "the installed standard library was"
        + " not loaded for start200");

    cache = work.resolve("standard");
    c = probe(cache, installed);
    JarTest.check(Files.exists(cache.resolve("marker")),
        "the standard variant takes the installed library on java.library.path: " + c.output());

    cache = work.resolve("bad");
    c = probe(cache, installed, "-Dsteplink.variant=fast");
    JarTest.check(c.exit() == 3 && c.output().contains("start200")
            && !Files.exists(cache.resolve("marker")),
        "a bad variant is an error before anything is loaded: " + c.output());

    cache = work.resolve("named-file");
    c = probe(cache, installed, "-Dsteplink.library=" + work.resolve("missing.so"));
    JarTest.check(c.exit() == 3
            && c.output().contains("-Dsteplink.library=" + work.resolve("missing.so")
                + " (used alone when given)")
            && !Files.exists(cache.resolve("marker")) && JarTest.cachedFiles(cache).isEmpty(),
        "a wrong -Dsteplink.library is an error, with no fallback: " + c.output());

    Path start200 = Files.createDirectory(work.resolve("jni-start200"));
    Files.copy(JarTest.cachedFiles(work.resolve("start200")).stream()
        .filter(p -> p.toString().endsWith(".so")).findFirst().orElseThrow(),
        start200.resolve("libsteplink-start200.so"));
    c = probe(work.resolve("named"), start200, "-Dsteplink.variant=start200");
    JarTest.check(c.exit() == 0
            && c.output().contains("loaded java.library.path (libsteplink-start200.so)"),
        "start200 takes its own name on java.library.path: " + c.output());
    return 0;
  }
}
