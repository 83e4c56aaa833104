#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/drives.h"
#include "platform/registry.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

constexpr const char* kFixedTable =
    "/dev/sda1 / ext4 rw,relatime 0 0\n"
    "proc /proc proc rw 0 0\n"
    "server:/export /mnt/nfs nfs4 rw 0 0\n"
    "/dev/sdb1 /mnt/nfs/local ext4 rw 0 0\n"
    "//host/share /mnt/win\\040share cifs rw 0 0\n"
    "/dev/sr0 /media/cd\\040rom iso9660 ro 0 0\n"
    "/dev/sr1 /media/dvd udf ro 0 0\n"
    "u@h: /home/u/remote fuse.sshfs rw 0 0\n"
    "tmpfs /mnt/over tmpfs rw 0 0\n"
    "server:/x /mnt/over nfs rw 0 0\n"
    "broken-line-with-two fields\n"
    "\n";

TEST(MountTable, ParsesFieldsAndUndoesEscapes) {
  auto table = parse_mount_table("a\\134b /x\\011y\\012z\\040 vfat rw 0 0\nshort line\n  tmpfs   /t tmpfs rw 0 0");
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].source, "a\\b");
  EXPECT_EQ(table[0].mount_point, "/x\ty\nz ");
  EXPECT_EQ(table[0].fs_type, "vfat");
  EXPECT_EQ(table[1].mount_point, "/t");
}

TEST(MountTable, ClassifiesPathsByTheMountHoldingThem) {
  auto table = parse_mount_table(kFixedTable);
  struct Case {
    const char* path;
    bool mount_point_or_root;
    bool network;
    bool cdrom;
  };
  const Case cases[] = {
      {"/", true, false, false},
      {"/home/user", false, false, false},
      {"/proc", true, false, false},
      {"/mnt/nfs", true, true, false},
      {"/mnt/nfs/", true, true, false},
      {"//mnt//nfs//", true, true, false},
      {"/mnt/nfs/dir/file", false, true, false},
      {"/mnt/nfsx/file", false, false, false},    // a name prefix is no parent
      {"/mnt/nfs/local/x", false, false, false},  // a local disk mounted inside the share
      {"/mnt/nfs/local/../x", false, true, false},
      {"/mnt/win share/docs", false, true, false},
      {"/mnt/win", false, false, false},
      {"/media/cd rom", true, false, true},
      {"/media/cd rom/./a/b", false, false, true},
      {"/media/dvd/video", false, false, true},
      {"/home/u/remote/x", false, true, false},
      {"/mnt/over/x", false, true, false},  // the later mount on the same point wins
      {"relative/path", false, false, false},
      {"", false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_mount_point_or_root(table, c.path), c.mount_point_or_root) << c.path;
    EXPECT_EQ(is_network_path(table, c.path), c.network) << c.path;
    EXPECT_EQ(is_cdrom_path(table, c.path), c.cdrom) << c.path;
  }
  EXPECT_FALSE(mount_holding({}, "/x"));
}

TEST(MountTable, LiveTableResolvesLinksAndMissingTails) {
  std::string dir = zyp::testing::make_temp_folder("mounts");
  EXPECT_TRUE(is_mount_point_or_root("/"));
  EXPECT_TRUE(is_mount_point_or_root("/proc/"));
  EXPECT_FALSE(is_mount_point_or_root(dir));
  EXPECT_FALSE(is_mount_point_or_root(dir + "/not/yet/there"));
  ASSERT_EQ(symlink("/proc", (dir + "/link").c_str()), 0);
  EXPECT_TRUE(is_mount_point_or_root(dir + "/link"));
  EXPECT_FALSE(is_cdrom_path(dir + "/file"));
}

TEST(VolumeSerial, EightUpperCaseHexDigits) {
  EXPECT_EQ(format_volume_serial(0), "00000000");
  EXPECT_EQ(format_volume_serial(0x1a), "0000001A");
  EXPECT_EQ(format_volume_serial(0xABCDEF12u), "ABCDEF12");
}

constexpr const char* kDrives = "SOFTWARE\\Quillmarsh\\Drives";

TEST(KeyDisk, AbsentUntilConfiguredAndPresent) {
  EXPECT_FALSE(key_disk_folder());
  EXPECT_FALSE(key_disk_present());
  EXPECT_FALSE(key_disk_volume_serial());

  std::string missing = zyp::testing::test_root() + "/no-disk";
  ASSERT_EQ(reg::set_string(reg::Root::LocalMachine, kDrives, "A", missing), 0u);
  EXPECT_EQ(key_disk_folder(), missing);
  EXPECT_FALSE(key_disk_present());
  EXPECT_FALSE(key_disk_volume_serial());

  std::string disk = zyp::testing::make_temp_folder("keydisk");
  ASSERT_EQ(reg::set_string(reg::Root::LocalMachine, kDrives, "A", disk), 0u);
  EXPECT_TRUE(key_disk_present());
  struct statvfs info {};
  ASSERT_EQ(statvfs(disk.c_str(), &info), 0);
  EXPECT_EQ(key_disk_volume_serial(), static_cast<uint32_t>(info.f_fsid));
}

TEST(SystemDrive, IsHomeUnlessConfigured) {
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(system_drive_folder(), "/home/someone");
  ASSERT_EQ(reg::set_string(reg::Root::LocalMachine, kDrives, "C", "/srv/c-drive"), 0u);
  EXPECT_EQ(system_drive_folder(), "/srv/c-drive");
}

}  // namespace
}  // namespace zyp::platform
