// Reads the table section of a live status block in /dev/shm for Table's progress: finds this
// process's block (STEPLINK_SIM's status=NAME, else steplink-proc-PID-*), reads it under its
// sequence lock by positional reads. Offsets from the generated StatusLayout; JDK file API only.
package steplink;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.List;

/**
 * A status block opened for reading. Reads go through the file descriptor (no mapping), so a
 * block truncated or removed under the reader gives no fault, only no reading.
 */
final class StatusBlock implements AutoCloseable {
  /** Where POSIX shared memory lives on Linux. */
  static final Path SHM = Path.of("/dev/shm");

  /** One consistent copy of the table section. */
  record Table(long sequence, int x, int y, int z, int aux, long ticks, long totalSteps) {
    double seconds() {
      return ticks * StatusLayout.TICK_SECONDS;
    }
  }

  /**
   * The G-code plan's entry in progress as the job section carries it: its 1-based number (0
   * none) of {@code entries}, its number among the plan's calls (0 a dwell or pause), the plan's
   * machine position as it began and machine zero in the table's steps (when known).
   */
  record Plan(long sequence, int entry, int entries, int call, boolean zeroKnown, int[] fromSteps,
      int[] zeroSteps) {}

  private final FileChannel channel;
  private final Path path;
  private final ByteBuffer section;
  private final ByteBuffer sequence = ByteBuffer.allocate(8).order(ByteOrder.LITTLE_ENDIAN);

  private StatusBlock(FileChannel channel, Path path) {
    this.channel = channel;
    this.path = path;
    int size = StatusLayout.JOB - StatusLayout.TABLE;
    section = ByteBuffer.allocate(size).order(ByteOrder.LITTLE_ENDIAN);
  }

  Path path() {
    return path;
  }

  /**
   * This process's block: the one named by {@code status=NAME} in {@code STEPLINK_SIM} when it
   * names one, else {@code /dev/shm/steplink-proc-PID-<16 hex>} (the simulated table's block per
   * process) owned by this user and recording this process as its owner. Null when there is none
   * (no simulated table, no /dev/shm, Windows).
   */
  static StatusBlock find(String simSettings) {
    long pid = ProcessHandle.current().pid();
    String named = settingValue(simSettings, "status");
    if (named != null) return named.isEmpty() ? null : open(SHM.resolve(named), -1);
    if (!Files.isDirectory(SHM)) return null;
    List<Path> candidates = new ArrayList<>();
    try (DirectoryStream<Path> list = Files.newDirectoryStream(SHM, "steplink-proc-" + pid + "-*")) {
      for (Path p : list) {
        if (p.getFileName().toString().matches("steplink-proc-" + pid + "-[0-9a-f]{16}")) {
          candidates.add(p);
        }
      }
    } catch (IOException e) {
      return null;
    }
    int uid = NativeCache.currentUid();
    for (Path p : candidates) {
      try {
        int owner = (Integer) Files.getAttribute(p, "unix:uid", LinkOption.NOFOLLOW_LINKS);
        if (uid >= 0 && owner != uid) continue;
      } catch (IOException | UnsupportedOperationException e) {
        continue;
      }
      StatusBlock block = open(p, pid);
      if (block != null) return block;
    }
    return null;
  }

  /** The block at {@code path} when it is a status block (of owner {@code pid} unless -1). */
  static StatusBlock open(Path path, long pid) {
    FileChannel channel = null;
    try {
      if (!Files.isRegularFile(path, LinkOption.NOFOLLOW_LINKS)) return null;
      channel = FileChannel.open(path, StandardOpenOption.READ, LinkOption.NOFOLLOW_LINKS);
      ByteBuffer header = ByteBuffer.allocate(12).order(ByteOrder.LITTLE_ENDIAN);
      if (channel.size() != StatusLayout.SIZE || channel.read(header, 0) != 12) {
        channel.close();
        return null;
      }
      boolean ok = header.getInt(StatusLayout.MAGIC_OFFSET) == StatusLayout.MAGIC
          && header.getInt(StatusLayout.VERSION_OFFSET) == StatusLayout.VERSION
          && (pid < 0 || Integer.toUnsignedLong(header.getInt(StatusLayout.OWNER_PID)) == pid);
      if (!ok) {
        channel.close();
        return null;
      }
      return new StatusBlock(channel, path);
    } catch (IOException e) {
      try {
        if (channel != null) channel.close();
      } catch (IOException ignored) {
        // Nothing was read; nothing to keep.
      }
      return null;
    }
  }

  /**
   * A consistent copy of the table section under its sequence lock: the sequence, the section,
   * the sequence again, retried while the writer is inside an update. Null when the block can no
   * longer be read (truncated, or the writer died inside an update).
   */
  Table read() {
    try {
      for (int attempt = 0; attempt < 10_000; attempt++) {
        sequence.clear();
        if (channel.read(sequence, StatusLayout.TABLE) != 8) return null;
        long before = sequence.getLong(0);
        if ((before & 1) != 0) {
          Thread.onSpinWait();
          continue;
        }
        section.clear();
        if (channel.read(section, StatusLayout.TABLE) != section.capacity()) return null;
        sequence.clear();
        if (channel.read(sequence, StatusLayout.TABLE) != 8) return null;
        if (sequence.getLong(0) != before || section.getLong(0) != before) continue;
        int t = StatusLayout.TABLE;
        return new Table(before, section.getInt(StatusLayout.TABLE_X - t),
            section.getInt(StatusLayout.TABLE_Y - t), section.getInt(StatusLayout.TABLE_Z - t),
            section.getInt(StatusLayout.TABLE_AUX - t), section.getLong(StatusLayout.TABLE_TICKS - t),
            section.getLong(StatusLayout.TABLE_TOTAL_STEPS - t));
      }
    } catch (IOException e) {
      return null;
    }
    return null;
  }

  /**
   * A consistent copy of the job section's plan fields under the section's sequence lock; null
   * when the block can no longer be read.
   */
  Plan readPlan() {
    ByteBuffer job = ByteBuffer.allocate(StatusLayout.JOB_SIZE).order(ByteOrder.LITTLE_ENDIAN);
    int j = StatusLayout.JOB;
    try {
      for (int attempt = 0; attempt < 10_000; attempt++) {
        job.clear();
        if (channel.read(job, j) != job.capacity()) return null;
        long before = job.getLong(0);
        if ((before & 1) != 0) {
          Thread.onSpinWait();
          continue;
        }
        sequence.clear();
        if (channel.read(sequence, j) != 8 || sequence.getLong(0) != before) continue;
        int[] from = new int[3];
        int[] zero = new int[3];
        for (int axis = 0; axis < 3; axis++) {
          from[axis] = job.getInt(StatusLayout.JOB_PLAN_FROM - j + 4 * axis);
          zero[axis] = job.getInt(StatusLayout.JOB_MACHINE_ZERO - j + 4 * axis);
        }
        return new Plan(before, job.getInt(StatusLayout.JOB_PLAN_ENTRY - j),
            job.getInt(StatusLayout.JOB_PLAN_COUNT - j), job.getInt(StatusLayout.JOB_PLAN_CALL - j),
            job.getInt(StatusLayout.JOB_MACHINE_ZERO_KNOWN - j) != 0, from, zero);
      }
    } catch (IOException e) {
      return null;
    }
    return null;
  }

  @Override
  public void close() {
    try {
      channel.close();
    } catch (IOException e) {
      // A read-only descriptor: nothing is lost.
    }
  }

  /**
   * The value of {@code key} in a STEPLINK_SIM-style list ({@code key=value} items separated by
   * commas, blanks around keys and values ignored, {@code \,} a comma and {@code \\} a backslash
   * inside a value), or null when the key is absent. The last item of the key counts.
   */
  static String settingValue(String settings, String key) {
    if (settings == null) return null;
    String found = null;
    StringBuilder item = new StringBuilder();
    for (int i = 0; i <= settings.length(); i++) {
      char c = i < settings.length() ? settings.charAt(i) : ',';
      if (c == '\\' && i + 1 < settings.length()) {
        item.append(settings.charAt(++i));
        continue;
      }
      if (c != ',') {
        item.append(c);
        continue;
      }
      int eq = item.indexOf("=");
      if (eq > 0 && item.substring(0, eq).trim().equals(key)) {
        found = item.substring(eq + 1).trim();
      }
      item.setLength(0);
    }
    return found;
  }
}
