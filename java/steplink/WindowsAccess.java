// The Windows side of the native cache's trust rules: the cache's folders and the extracted DLL
// must be this user's and writable by no one but this user, SYSTEM and the Administrators, as
// their access lists say. NativeCache calls it where the file system has access lists, not modes.
package steplink;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.UserPrincipal;
import java.util.EnumSet;
import java.util.List;
import java.util.Locale;
import java.util.Set;

/** Access-list checks of the cache on Windows (NTFS). */
final class WindowsAccess {
  private WindowsAccess() {}

  /** Rights that let their holder replace, rename or rewrite a file or a folder's entries. */
  static final Set<AclEntryPermission> CHANGING =
      EnumSet.of(AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
          AclEntryPermission.DELETE, AclEntryPermission.DELETE_CHILD,
          AclEntryPermission.WRITE_ACL, AclEntryPermission.WRITE_OWNER);

  /** Principals that may hold those rights besides this user: the system and the machine's admins. */
  static boolean isSystemPrincipal(UserPrincipal p) {
    String name = p.getName().toLowerCase(Locale.ROOT);
    return name.equals("nt authority\\system") || name.equals("builtin\\administrators")
        || name.equals("system") || name.equals("administrators")
        || name.equals("nt service\\trustedinstaller");
  }

  /**
   * Why {@code path} (whose owner and access list are given) could be changed by someone else, or
   * null when only {@code me}, SYSTEM and the Administrators can change it. Pure, for the tests.
   */
  static String problem(Path path, UserPrincipal owner, List<AclEntry> acl, UserPrincipal me) {
    if (!owner.equals(me) && !isSystemPrincipal(owner)) {
      return path + " belongs to " + owner.getName() + ", not to " + me.getName();
    }
    for (AclEntry entry : acl) {
      if (entry.type() != AclEntryType.ALLOW) continue;
      UserPrincipal who = entry.principal();
      if (who.equals(me) || isSystemPrincipal(who)) continue;
      Set<AclEntryPermission> granted = EnumSet.noneOf(AclEntryPermission.class);
      granted.addAll(entry.permissions());
      granted.retainAll(CHANGING);
      if (!granted.isEmpty()) {
        return path + " can be changed by " + who.getName() + " (its access list grants "
            + granted.toString().toLowerCase(Locale.ROOT) + ")";
      }
    }
    return null;
  }

  /**
   * Checks one file or folder on a file system with access lists (NTFS): nothing when it has
   * none (FAT, a network share's view), an IOException naming it and who could change it else.
   */
  static void check(Path path, String what, String advice) throws IOException {
    AclFileAttributeView view =
        Files.getFileAttributeView(path, AclFileAttributeView.class, LinkOption.NOFOLLOW_LINKS);
    if (view == null) return;
    UserPrincipal me = path.getFileSystem().getUserPrincipalLookupService()
        .lookupPrincipalByName(System.getProperty("user.name", ""));
    String problem = problem(path, view.getOwner(), view.getAcl(), me);
    if (problem != null) {
      throw new IOException("the " + what + " " + problem + "; natives are loaded only from"
          + " folders that only you, SYSTEM and the Administrators can change" + advice);
    }
  }
}
