// The per-user cache of the jar's natives: which folders are trusted, the exclusive extraction of
// a library file under its SHA-256, and the last check before it is loaded. NativeLoader calls it;
// it uses only the JDK's file API.
package steplink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.AccessDeniedException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
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
import java.util.Map;

/**
 * The cache of extracted natives. Why a file it returns cannot be swapped by another user before
 * it is loaded: every folder from {@code /} down to the file's folder was checked to be owned by
 * root or this user and writable by no one else (a root-owned sticky folder such as {@code /tmp}
 * excepted: there no one can rename or remove another user's entries), and the file's own folder
 * is this user's, mode 0700. Renaming, replacing or linking any part of that path needs write
 * access to one of those folders, which only this user and root have; so once the bytes are
 * verified and the file is checked to be a regular file owned by this user (not a link), what
 * {@code System.load} opens by that path is the verified file. Group or other write bits also
 * show a POSIX ACL that grants write access to someone else (they hold the ACL's mask).
 */
final class NativeCache {
  private static final FileAttribute<?>[] NONE = new FileAttribute<?>[0];

  private NativeCache() {}

  /**
   * Returns the cached copy of a jar entry whose bytes have the SHA-256 {@code sha}, writing it
   * first when it is missing or damaged. Safe against other JVMs of this user doing the same at
   * once: each writes its own temporary file (created exclusively) and renames it over the final
   * name, which only ever holds a complete, verified file. The path returned has no links in it.
   *
   * @throws IOException when a folder on the way is not trusted, when the cache cannot be written
   *     (a full disk says "no space left on device"), or when the jar's entry is damaged
   */
  static Path extract(String resource, String sha, Path root) throws IOException {
    String[] parts = resource.split("/");
    String name = parts[3];
    int dot = name.lastIndexOf('.');
    String fileName = name.substring(0, dot) + "-" + sha + name.substring(dot);
    Path dir = root.resolve(parts[1]).resolve(parts[2]);

    // Nothing is created below a folder that another user could change.
    checkTrusted(existingPart(dir));
    Path target = dir.resolve(fileName);
    if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS)) {
      Path real = checkCache(root, dir).resolve(fileName);
      if (sha.equals(sha256(real))) return checkLoadable(real);
    }
    makePrivateDirectories(root, dir);
    Path realDir = checkCache(root, dir);
    target = realDir.resolve(fileName);

    byte[] bytes;
    try (InputStream in = NativeCache.class.getResourceAsStream("/" + resource)) {
      if (in == null) throw new IOException("the entry is listed but missing from the jar");
      bytes = in.readAllBytes();
    }
    if (!sha.equals(sha256(bytes))) {
      throw new IOException("the jar's copy does not match the SHA-256 recorded at build time ("
          + sha + "): the jar is damaged; download or build it again");
    }
    removeStaleTemporaries(realDir, fileName);
    Path temp;
    try {
      temp = Files.createTempFile(realDir, "." + fileName + ".", ".tmp", privateMode(realDir));
    } catch (AccessDeniedException e) {
      throw new IOException("cannot write the cache folder " + realDir + " (permission denied)", e);
    } catch (IOException e) {
      throw writeFailure(realDir, bytes.length, e);
    }
    try {
      write(temp, bytes, realDir);
      if (!sha.equals(sha256(temp))) {
        throw new IOException("the copy written to " + temp + " reads back other bytes than the"
            + " jar's (SHA-256 " + sha + "): the disk or its file system is failing");
      }
      try {
        Files.move(temp, target, StandardCopyOption.ATOMIC_MOVE,
            StandardCopyOption.REPLACE_EXISTING);
      } catch (AtomicMoveNotSupportedException e) {
        throw new IOException("the cache folder " + realDir + " cannot rename files atomically", e);
      } catch (IOException e) {
        // Windows cannot replace a DLL that another JVM has loaded; that copy is the right one
        // when it verifies.
        if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS)
            && sha.equals(sha256(target))) {
          return checkLoadable(target);
        }
        throw new IOException("cannot move the extracted copy to " + target + ": " + e, e);
      }
    } finally {
      // Nothing partial stays behind: after a successful rename there is no temporary file.
      Files.deleteIfExists(temp);
    }
    if (!sha.equals(sha256(target))) {
      throw new IOException("the extracted copy " + target + " does not match its SHA-256 " + sha);
    }
    return checkLoadable(target);
  }

  /** Writes all of {@code bytes} to {@code file} and forces them to the disk; every write checked. */
  private static void write(Path file, byte[] bytes, Path dir) throws IOException {
    try (FileChannel out = FileChannel.open(file, StandardOpenOption.WRITE,
        StandardOpenOption.TRUNCATE_EXISTING, LinkOption.NOFOLLOW_LINKS)) {
      ByteBuffer buffer = ByteBuffer.wrap(bytes);
      while (buffer.hasRemaining()) {
        if (out.write(buffer) <= 0) {
          throw new IOException("No space left on device (a write made no progress)");
        }
      }
      out.force(true);
    } catch (IOException e) {
      throw writeFailure(dir, bytes.length, e);
    }
  }

  /** A write error as the user should read it: a full disk says so, with what was needed. */
  static IOException writeFailure(Path dir, long needed, IOException e) {
    String reason = e instanceof FileSystemException f && f.getReason() != null
        ? f.getReason() : String.valueOf(e.getMessage());
    long free = -1;
    try {
      free = Files.getFileStore(dir).getUsableSpace();
    } catch (IOException | SecurityException ignored) {
      // The free space is only a hint in the message.
    }
    boolean full = reason.contains("No space left") || reason.contains("quota")
        || (free >= 0 && free < needed);
    if (full) {
      return new IOException("no space left on device: the cache folder " + dir + " needs "
          + needed + " bytes for the library" + (free >= 0 ? " (" + free + " bytes free)" : "")
          + "; free some space there or use a cache folder on another disk", e);
    }
    return new IOException("cannot write the library into the cache folder " + dir + ": "
        + reason, e);
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

  private static FileAttribute<?>[] privateMode(Path dir) {
    return posix(dir)
        ? new FileAttribute<?>[] {
          PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"))
        }
        : NONE;
  }

  /** The deepest folder of {@code dir}'s path that exists (at least the file system's root). */
  private static Path existingPart(Path dir) {
    Path p = dir.toAbsolutePath();
    while (p.getParent() != null && !Files.exists(p)) p = p.getParent();
    return p;
  }

  private static void makePrivateDirectories(Path root, Path dir) throws IOException {
    FileAttribute<?>[] attrs = privateMode(dir);
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
          // Another JVM made it in the meantime, or it is not a directory: checkCache says.
        } catch (IOException e) {
          throw new IOException("cannot create the cache folder " + p + ": " + describe(e), e);
        }
      }
      if (p.equals(end)) break;
    }
  }

  private static String describe(IOException e) {
    if (e instanceof AccessDeniedException) return "permission denied";
    if (e instanceof FileSystemException f && f.getReason() != null) return f.getReason();
    return e.toString();
  }

  /**
   * Checks the cache's own folders ({@code root} down to {@code dir}: real directories owned by
   * this user, writable by it alone) and every folder above them; returns {@code dir}'s real path.
   */
  private static Path checkCache(Path root, Path dir) throws IOException {
    if (!posix(dir)) {
      // Windows: the cache's own folders, by their owners and access lists.
      for (Path p = root; ; p = p.resolve(dir.getName(p.getNameCount()))) {
        if (Files.exists(p, LinkOption.NOFOLLOW_LINKS)) {
          if (!Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)) {
            throw new IOException("the cache path " + p + " is not a directory");
          }
          WindowsAccess.check(p, "cache folder", advice());
        }
        if (p.equals(dir)) break;
      }
      return dir;
    }
    int uid = currentUid();
    for (Path p = root; ; p = p.resolve(dir.getName(p.getNameCount()))) {
      if (Files.exists(p, LinkOption.NOFOLLOW_LINKS)) {
        if (!Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)) {
          throw new IOException("the cache path " + p + " is not a directory");
        }
        Map<String, Object> a = Files.readAttributes(p, "unix:uid,mode", LinkOption.NOFOLLOW_LINKS);
        int owner = (Integer) a.get("uid");
        int mode = (Integer) a.get("mode");
        if (uid >= 0 && owner != uid) {
          throw new IOException("the cache folder " + p + " belongs to another user ("
              + ownerText(p, owner) + ", mode " + modeText(mode) + ")" + advice());
        }
        if ((mode & 0022) != 0) {
          throw new IOException("the cache folder " + p + " is writable by other users (owner "
              + ownerText(p, owner) + ", mode " + modeText(mode) + ")" + advice());
        }
      }
      if (p.equals(dir)) break;
    }
    Path real = dir.toRealPath();
    checkTrusted(real);
    return real;
  }

  /**
   * Refuses a folder that someone other than this user or root could change, or any folder above
   * it: each from the file system's root down must be owned by root or this user and not
   * writable by group or others, unless it is root's and sticky (like {@code /tmp}). Links on the
   * way are resolved first, and the real path is checked.
   */
  static void checkTrusted(Path dir) throws IOException {
    if (!posix(dir)) return;
    int uid = currentUid();
    // Prefix by prefix, so that the highest untrusted folder is named before anything below it
    // is even looked at (below it, another user may be renaming things meanwhile).
    Path abs = dir.toAbsolutePath();
    Path prefix = abs.getRoot();
    checkFolder(prefix, uid);
    for (Path name : abs) {
      prefix = prefix.resolve(name);
      Path real = prefix.toRealPath();
      Path p = real.getRoot();
      for (Path part : real) {
        p = p.resolve(part);
        checkFolder(p, uid);
      }
    }
  }

  private static void checkFolder(Path p, int uid) throws IOException {
    Map<String, Object> a = Files.readAttributes(p, "unix:uid,mode", LinkOption.NOFOLLOW_LINKS);
    int owner = (Integer) a.get("uid");
    int mode = (Integer) a.get("mode");
    boolean ownerOk = owner == 0 || owner == uid;
    boolean stickyRoot = owner == 0 && (mode & 01000) != 0;
    if (!ownerOk) {
      throw new IOException("the folder " + p + " belongs to another user (" + ownerText(p, owner)
          + ", mode " + modeText(mode) + "), who could replace the cache below it; natives are"
          + " loaded only from folders that only you or root can change" + advice());
    }
    if ((mode & 0022) != 0 && !stickyRoot) {
      throw new IOException("the folder " + p + " is writable by other users (owner "
          + ownerText(p, owner) + ", mode " + modeText(mode) + "), who could replace the cache"
          + " below it; natives are loaded only from folders that only you or root can change"
          + advice());
    }
  }

  private static String advice() {
    return ". Use a cache folder of your own (XDG_CACHE_HOME=DIR, a folder only you can write,"
        + " or unset it for ~/.cache), or load the library from a path with -D"
        + NativeLoader.LIBRARY_PROPERTY + "=PATH";
  }

  /**
   * The last check before loading: {@code file} is a regular file (not a link) owned by this user
   * and writable by no one else. Nothing can replace it afterwards (see the class description).
   */
  static Path checkLoadable(Path file) throws IOException {
    if (!posix(file)) {
      if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)) {
        throw new IOException("the cached library " + file + " is not a regular file");
      }
      WindowsAccess.check(file, "cached library", advice());
      return file;
    }
    Map<String, Object> a =
        Files.readAttributes(file, "unix:uid,mode,isRegularFile", LinkOption.NOFOLLOW_LINKS);
    int owner = (Integer) a.get("uid");
    int mode = (Integer) a.get("mode");
    int uid = currentUid();
    if (!(Boolean) a.get("isRegularFile")) {
      throw new IOException("the cached library " + file + " is not a regular file");
    }
    if (uid >= 0 && owner != uid) {
      throw new IOException("the cached library " + file + " belongs to another user ("
          + ownerText(file, owner) + ")" + advice());
    }
    if ((mode & 0022) != 0) {
      throw new IOException("the cached library " + file + " is writable by other users (mode "
          + modeText(mode) + ")" + advice());
    }
    return file;
  }

  private static String ownerText(Path p, int uid) {
    try {
      return Files.getOwner(p, LinkOption.NOFOLLOW_LINKS).getName() + ", uid " + uid;
    } catch (IOException | UnsupportedOperationException e) {
      return "uid " + uid;
    }
  }

  private static String modeText(int mode) {
    return String.format("%04o", mode & 07777);
  }

  /** This process's user id on a POSIX system, or -1 when it cannot be told. */
  static int currentUid() {
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
